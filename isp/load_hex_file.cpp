// "&Load File", and the load that Reload, Program & Verify and Verify File start: an Intel
// HEX file into the file image, line by line under the progress window.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "image/failures.h"
#include "image/hex_file.h"
#include "isp/engine.h"

namespace velkorn::isp {

namespace {

constexpr const char* kLoadCaption = "Loadig hex file...";
constexpr std::int32_t kLoadBytesPerStep = 16;  // the rate figure counts one record per line

// The whole text up to the first NUL, which ends it (so a device that never ends, or a
// binary file, is not read further than needed). nullopt: the file cannot be opened.
std::optional<std::string> readHexText(const std::string& name) {
  std::error_code ec;
  if (name.empty() || std::filesystem::is_directory(name, ec)) return std::nullopt;
  std::ifstream in(name, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (in) {
    in.read(chunk, sizeof chunk);
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    const char* end = chunk + got;
    const char* nul = std::find(static_cast<const char*>(chunk), end, '\0');
    text.append(chunk, static_cast<std::size_t>(nul - chunk));
    if (nul != end) break;
  }
  if (in.bad()) return std::nullopt;
  return text;
}

}  // namespace

bool Engine::LoadHexFile() {
  // A load picked from the menu while a chip operation runs (through its message loop)
  // does nothing; the load that a command starts for itself is a nested call and runs.
  CommandGuard guard(*this);
  if (!guard.entered()) return false;
  images_.fileLoaded = false;

  bool chosen = images_.reload;
  if (!chosen) {
    if (auto name = op_.askHexFileName(hexFileName)) {
      hexFileName = *name;
      chosen = true;
    }
  }

  if (chosen) {
    images_.fileImage.fill(kErasedByte);
    const auto text = readHexText(hexFileName);
    // Ends the command that started the load, with the image already erased.
    if (!text) throw FileOpenFailure(hexFileName);
    const std::vector<std::string> lines = splitHexLines(*text);
    const auto lineCount = static_cast<std::int32_t>(lines.size());

    op_.progressShow(kLoadCaption, std::max(lineCount - 1, 0));
    downloadAbort = 0;
    images_.startTick = clock_.tickMs();

    HexLineLoader loader(images_.fileImage);
    bool complete = false;
    // A record whose checksum is wrong is a corrupted file, wherever it stands: even in the
    // last line it must not leave a load that Program & Verify would take as complete.
    bool corrupted = false;
    if (lineCount == 0) {
      // Nothing to program: an empty image would only erase the chip.
      ShowError(hexLineMessage(HexLineError::Format, 1), false);
      downloadAbort = 1;
    }
    for (std::int32_t i = 0; i < lineCount; ++i) {
      UpdateProgress(i, lineCount, kLoadBytesPerStep);
      for (const HexLineError error : loader.load(lines[static_cast<std::size_t>(i)])) {
        ShowError(hexLineMessage(error, i + 1), hexLineErrorCancellable(error));
        downloadAbort = 1;  // whichever button was pressed
        if (error == HexLineError::Checksum) corrupted = true;
      }
      // Every line visited counts as complete, even with an error in the last one.
      if (i + 1 == lineCount) complete = true;
      else if (downloadAbort != 0) break;
    }

    if (complete && !corrupted) {
      images_.fileLoaded = true;
      op_.reloadAvailable();
    }
    images_.hexLineCount = lineCount;
    op_.progressHide();
  }

  op_.repaintView(View::File);
  op_.showTab(Tab::FileData);
  return images_.fileLoaded;
}

}  // namespace velkorn::isp
