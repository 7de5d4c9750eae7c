// "&Load File", and the load that Reload, Program & Verify and Verify File start: an Intel
// HEX file into the file image, line by line under the progress window.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "image/hex_file.h"
#include "isp/engine.h"

namespace velkorn::isp {

namespace {

constexpr const char* kLoadCaption = "Loadig hex file...";
constexpr std::int32_t kLoadBytesPerStep = 16;  // the rate figure counts one record per line
// A full 64 KiB image is about 180 KB of HEX text; anything this large is not a firmware
// file for this chip, and reading it would only cost time and memory.
constexpr std::uintmax_t kMaxHexFileBytes = 16u * 1024u * 1024u;

struct HexText {
  std::string text;         // the whole text up to the first NUL
  FileFault fault = FileFault::None;
  std::string error;        // why the file cannot be used
  long long nulAt = -1;     // where a NUL byte ended the text early; -1: none
  bool nulHidesData = false;  // something other than padding follows that NUL
};

HexText fileFault(FileFault fault, std::string why) { return {{}, fault, std::move(why), -1, false}; }

// The whole text up to the first NUL, which ends it. Only a regular file is opened: a FIFO or
// a device would hold the load (and the window) until something writes to it.
HexText readHexText(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (name.empty()) return fileFault(FileFault::CannotOpen, std::strerror(ENOENT));
  // Names are UTF-8 here; on Windows the path carries them to the wide file calls.
  const fs::path path(std::u8string(name.begin(), name.end()));
  const fs::file_status status = fs::status(path, ec);
  if (ec) return fileFault(FileFault::CannotOpen, ec.message());
  if (fs::is_directory(status)) return fileFault(FileFault::CannotOpen, std::strerror(EISDIR));
  if (!fs::is_regular_file(status)) return fileFault(FileFault::CannotOpen, "not a regular file");
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return fileFault(FileFault::CannotOpen, ec.message());
  if (size > kMaxHexFileBytes) return fileFault(FileFault::TooLarge, std::to_string(size) + " bytes");
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return fileFault(FileFault::CannotOpen, std::strerror(errno != 0 ? errno : ENOENT));
  HexText result;
  char chunk[4096];
  std::uintmax_t total = 0;
  while (in) {
    in.read(chunk, sizeof chunk);
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    total += static_cast<std::uintmax_t>(got);
    const char* end = chunk + got;
    const char* from = chunk;
    if (result.nulAt < 0) {
      const char* nul = std::find(static_cast<const char*>(chunk), end, '\0');
      result.text.append(chunk, static_cast<std::size_t>(nul - chunk));
      if (nul != end) result.nulAt = static_cast<long long>(result.text.size());
      from = nul;
    }
    // The NUL ends the text; what follows it may only be padding. Records behind it would
    // be lost without a word, so a file whose NUL hides more than that is corrupted.
    if (result.nulAt >= 0 && std::any_of(from, end, [](char c) { return c != '\0' && c != '\r' && c != '\n'; })) {
      result.nulHidesData = true;
      break;
    }
    // A file that grew since it was measured is held to the same limit.
    if (total > kMaxHexFileBytes) return fileFault(FileFault::TooLarge, "it grew while read");
  }
  if (in.bad()) return fileFault(FileFault::CannotOpen, std::strerror(errno != 0 ? errno : EIO));
  return result;
}

// The line of `text` that a byte at its end belongs to, counted as the loader counts lines:
// CR LF, LF and a lone CR each end one.
int lineAtEnd(const std::string& text) {
  int line = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++line;
  }
  return line;
}

}  // namespace

Outcome Engine::loadHexFile(Asking asking) {
  // A load picked from the menu while a chip operation runs (through its message loop)
  // does nothing.
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = asking == Asking::Never;
  return finish(loadFile());
}

Outcome Engine::loadFile() {
  images_.fileLoaded = false;

  bool chosen = run_.reload;
  if (!chosen) {
    if (auto name = prompts_.askHexFileName(hexFileName)) {
      hexFileName = *name;
      chosen = true;
    }
  }
  if (!chosen) {
    progress_.loadFinished(false);
    return Outcome::ofKind(OutcomeKind::Aborted, Step::Load);
  }

  images_.fileImage.fill(kErasedByte);
  HexText read = readHexText(hexFileName);
  if (read.fault != FileFault::None) {
    // Ends the command that started the load, with the image already erased.
    if (read.fault == FileFault::TooLarge) ShowError("Hex file too large: " + hexFileName, false);
    Outcome o = Outcome::ofKind(OutcomeKind::FileError, Step::Load);
    o.fileFault = read.fault;
    o.file = hexFileName;
    o.detail = read.error;
    return o;
  }
  // Editors end files with blank lines: after the last record they are not lines of the file.
  HexLines lines(read.text);
  const auto lineCount = static_cast<std::int32_t>(lines.count());

  progress_.progressShow(kLoadCaption, std::max(lineCount - 1, 0));
  downloadAbort.lower();
  run_.startTick = clock_.tickMs();

  HexLineLoader loader(images_.fileImage);
  bool complete = false;
  // A record whose checksum is wrong or missing is a corrupted file, wherever it stands:
  // even in the last line it must not leave a load that Program & Verify would take as
  // complete.
  bool corrupted = false;
  int firstBadLine = 0;
  if (read.nulHidesData) {
    // A NUL with records behind it: the part before it alone is not the program, so none
    // of the file is loaded.
    firstBadLine = lineAtEnd(read.text);
    ShowError(hexLineMessage(HexLineError::Format, firstBadLine), false);
    downloadAbort.raise();
  } else if (lineCount == 0) {
    // Nothing to program: an empty image would only erase the chip.
    ShowError(hexLineMessage(HexLineError::Format, 1), false);
    downloadAbort.raise();
    firstBadLine = 1;
  }
  for (std::int32_t i = 0; i < lineCount && !read.nulHidesData; ++i) {
    UpdateProgress(i, lineCount, kLoadBytesPerStep);
    std::string_view line;
    lines.next(&line);
    for (const HexLineError error : loader.load(line)) {
      ShowError(hexLineMessage(error, i + 1), hexLineErrorCancellable(error));
      downloadAbort.raise();  // whichever button was pressed
      if (error == HexLineError::Checksum) corrupted = true;
      if (firstBadLine == 0) firstBadLine = i + 1;
    }
    if (loader.cutShort()) corrupted = true;
    // Every line visited counts as complete, even with an error in the last one.
    if (i + 1 == lineCount) complete = true;
    else if (downloadAbort.raised()) break;
  }

  images_.fileLoaded = complete && !corrupted;
  images_.hexLineCount = lineCount;
  progress_.progressHide();
  progress_.loadFinished(images_.fileLoaded);

  // A bad line is a file error even where the load still counts as complete (the last
  // line): the image may lack bytes the file meant to hold.
  if (firstBadLine != 0) {
    Outcome o = Outcome::ofKind(OutcomeKind::FileError, Step::Load);
    o.fileFault = FileFault::BadLine;
    o.file = hexFileName;
    o.line = firstBadLine;
    o.nulAt = read.nulAt;
    return o;
  }
  if (!images_.fileLoaded) return Outcome::ofKind(OutcomeKind::Aborted, Step::Load);
  Outcome loaded;
  loaded.nulAt = read.nulAt;
  return loaded;
}

}  // namespace velkorn::isp
