// The chip commands: full chip erase, program & verify, reload, read-back and comparison,
// and the boot configuration.
#include <algorithm>
#include <exception>
#include <functional>
#include <numeric>
#include <optional>
#include <array>
#include <string>

#include "image/hex_codec.h"
#include "isp/engine.h"
#include "isp/records.h"

namespace velkorn::isp {

namespace {

// Records without checksum; the checksum pair is appended when they are sent.
constexpr const char* kEraseRecord = ":0100000307";             // full chip erase
constexpr const char* kBlankCheckRecord = ":050000040000FFBF01";  // blank check 0000..FFBF
constexpr const char* kLock0Record = ":020000030500";           // lock erase and programming
constexpr const char* kLock1Record = ":020000030501";           // lock read and blank check too
constexpr const char* kBljbSetRecord = ":030000030A0401";       // BLJB box ticked
constexpr const char* kBljbClearRecord = ":030000030A0400";     // BLJB box not ticked
constexpr const char* kBootConfigEndRecord = ":03000003060000";  // closes the boot configuration

// The two answers of a blank chip to the blank check.
constexpr const char* kBlankDot = ".";
constexpr const char* kBlankLine = "FC00\r\n";
constexpr const char* kAcceptedAnswer = ".";  // a data or closing record was accepted

constexpr int kDataBlockBytes = 16;      // bytes per data record
constexpr int kReadBlockBytes = 256;     // bytes per read request
constexpr int kReadLineBytes = 16;       // bytes per line of a read answer
constexpr int kReadLines = kReadBlockBytes / kReadLineBytes;
constexpr int kReadLineChars = 39;       // CR LF AAAA = and 32 data digits
constexpr int kReadAnswerChars = 626;    // 16 lines plus 2 characters not examined
constexpr int kReadReplyLimit = 647;     // the 21-character echo plus the answer
constexpr int kReadLineAddressAt = 2;    // four hex digits
constexpr int kReadLineEqualsAt = 6;
constexpr int kReadLineDataAt = 7;
constexpr int kFinalCompareSpare = 1024; // the final comparison stops this far below the chip size

// The chip size as a bound for the 64 KiB images, whatever was stored in it.
int chipBytes(const MemoryImages& images) { return std::clamp(images.chipSize, 0, kImageSize); }

std::string dataRecord(const Image& image, int address) {
  std::string record = ":10" + hexWord(static_cast<std::uint16_t>(address)) + "00";
  for (int i = 0; i < kDataBlockBytes; ++i) record += hexByte(image[static_cast<std::size_t>(address + i)]);
  return record;
}

std::string readRequest(int block) {
  return ":05000004" + hexWord(static_cast<std::uint16_t>(block)) +
         hexWord(static_cast<std::uint16_t>(block + kReadBlockBytes - 1)) + "00";
}

Outcome refused(const char* record, const std::string& answer, Step step) {
  Outcome o = Outcome::ofKind(OutcomeKind::Refused, step);
  o.record = appendChecksum(record);
  o.answer = answer;
  return o;
}

// Runs `undo` when the scope is left by an exception, so a failed command does not leave
// the hourglass or the progress window behind.
template <class F>
class OnUnwind {
 public:
  explicit OnUnwind(F undo) : undo_(undo), exceptions_(std::uncaught_exceptions()) {}
  ~OnUnwind() {
    if (std::uncaught_exceptions() > exceptions_) undo_();
  }
  OnUnwind(const OnUnwind&) = delete;
  OnUnwind& operator=(const OnUnwind&) = delete;

 private:
  F undo_;
  int exceptions_;
};

// What a read-back saw, block by block.
struct ReadTally {
  int mismatches = 0, firstMismatch = -1;
  int unreadLines = 0, firstUnread = -1;  // lines whose bytes were not all stored
  bool cancelled = false;                 // Cancel in one of its boxes

  void unread(int address, int lines) {
    if (lines == 0) return;
    if (firstUnread < 0 || address < firstUnread) firstUnread = address;
    unreadLines += lines;
  }
};

using BlockBytes = std::array<std::uint8_t, kReadBlockBytes>;

// A read answer as the confirming reads see it: every line in form, at its address, with
// readable data; nullopt otherwise.
std::optional<BlockBytes> parseBlock(const std::string& answer, int block) {
  if (answer.size() != static_cast<std::size_t>(kReadAnswerChars)) return std::nullopt;
  BlockBytes bytes{};
  for (int k = 0; k < kReadLines; ++k) {
    const std::string_view line = std::string_view(answer).substr(static_cast<std::size_t>(k) * kReadLineChars, kReadLineChars);
    const auto lineAddress = parseHex(line.substr(kReadLineAddressAt, 4));
    if (line[0] != '\r' || line[1] != '\n' || line[kReadLineEqualsAt] != '=' || !lineAddress ||
        *lineAddress != static_cast<std::uint32_t>(block + k * kReadLineBytes))
      return std::nullopt;
    for (int i = 0; i < kReadLineBytes; ++i) {
      const auto value = parseHex(line.substr(kReadLineDataAt + 2 * i, 2));
      if (!value) return std::nullopt;
      bytes[static_cast<std::size_t>(k * kReadLineBytes + i)] = static_cast<std::uint8_t>(*value);
    }
  }
  return bytes;
}

}  // namespace

// ---------------------------------------------------------------- erase

Outcome Engine::erase() {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  const Outcome synced = syncTarget();
  if (!synced.done()) {
    progress_.setBusyCursor(false);
    return finish(synced);
  }
  progress_.setBusyCursor(true);
  OnUnwind restoreCursor([this] { progress_.setBusyCursor(false); });
  const Outcome erased = eraseChip();
  progress_.setBusyCursor(false);
  return finish(erased);
}

Outcome Engine::eraseChip() {
  progress_.debugLog("Erase Chip");
  progress_.setBusyCursor(true);
  OnUnwind restoreCursor([this] { progress_.setBusyCursor(false); });
  FlushInput();
  const std::string answer = ExchangeRecord(kEraseRecord, true, kStopErase);
  const bool accepted = !answer.empty() && answer.front() == static_cast<char>(kAccepted);
  const Outcome info = readInfo(true);
  progress_.setBusyCursor(false);
  if (!info.done()) return info;
  if (!accepted) return refused(kEraseRecord, answer, Step::Erase);
  return {};
}

// ---------------------------------------------------------------- program & verify

Outcome Engine::program(Asking asking, Verification verification) {
  (void)verification;
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = asking == Asking::Never;
  return finish(programImage());
}

Outcome Engine::reload() {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = true;
  const Outcome loaded = loadFile();
  // A file that cannot be opened ends the command; any other load goes on to programming,
  // which gives up when the file is not loaded completely.
  if (loaded.kind == OutcomeKind::FileError && loaded.line == 0) return finish(loaded);
  return finish(programImage());
}

Outcome Engine::programImage() {
  if (Outcome synced = syncTarget(); !synced.done()) return synced;
  if (!images_.fileLoaded) {
    const Outcome loaded = loadFile();
    if (!images_.fileLoaded) return loaded;
  }

  replyLimit = 0;
  FlushInput();
  const std::string blank = ExchangeRecord(kBlankCheckRecord, true, kStopBlank);
  if (blank != kBlankLine && blank != kBlankDot && !run_.reload &&
      !prompts_.askYesNo("Confirmation", "Device is not blank. Erase and program?")) {
    Outcome kept = bootConfig();
    kept.declined = true;
    return kept;
  }

  OnUnwind hideProgress([this] { progress_.progressHide(); });
  UpdateProgress(0, 0, 0);
  downloadAbort = 0;
  progress_.progressShow("Erasing...", images_.hexLineCount - 1);
  progress_.processEvents();
  // A refused erase is not reported: the data records' answers decide.
  if (const Outcome erased = eraseChip(); erased.kind == OutcomeKind::BadAnswer) {
    progress_.progressHide();
    return erased;
  }
  progress_.progressCaption("Programming...");
  progress_.processEvents();

  const int chipSize = chipBytes(images_);
  int address = 0;
  int recordsSent = 0;  // retries count again
  Outcome stopped = Outcome::ofKind(OutcomeKind::Aborted, Step::Program);
  do {
    UpdateProgress(recordsSent, images_.hexLineCount - 1, kDataBlockBytes);
    const auto first = images_.fileImage.begin() + address;
    if (std::all_of(first, first + kDataBlockBytes, [](std::uint8_t b) { return b == kErasedByte; })) {
      address += kDataBlockBytes;  // erased flash already holds these bytes
    } else {
      ++recordsSent;
      const std::string record = dataRecord(images_.fileImage, address);
      const std::string answer = ExchangeRecord(record, true, kStopData);
      if (answer == kAcceptedAnswer) {
        address += kDataBlockBytes;
      } else if (ShowError("Ack Error Retry! s=\"" + answer + "\"", true) == Button::Cancel) {
        stopped = refused(record.c_str(), answer, Step::Program);  // OK: the same record again
      }
    }
  } while (address < chipSize && downloadAbort == 0);
  progress_.progressHide();
  if (address < chipSize) return stopped;

  bool complete = false;
  const Outcome read = readBack("Verifying...", true, &complete);
  // Lines that could not be read leave older bytes in the chip image: the final comparison
  // would judge those, so the command ends here.
  if (!complete || read.kind == OutcomeKind::NotVerified) return read;

  // The top 1 KiB holds the bootloader's area and is left out of the final comparison.
  const auto end = images_.fileImage.begin() + std::max(chipSize - kFinalCompareSpare, 0);
  const auto differs = std::mismatch(images_.fileImage.begin(), end, images_.chipImage.begin());
  if (differs.first != end) {
    Outcome o = Outcome::ofKind(OutcomeKind::Mismatch, Step::FinalCompare);
    o.address = static_cast<int>(differs.first - images_.fileImage.begin());
    o.count = static_cast<int>(std::inner_product(images_.fileImage.begin(), end, images_.chipImage.begin(), 0,
                                                  std::plus<>(), std::not_equal_to<>()));
    return o;
  }
  Outcome written = bootConfig();
  // A difference that only the read-back saw (in the last block of a 32 KiB part) still
  // leaves the boot configuration written, but the command did not succeed.
  if (written.done() && !read.done()) {
    const bool bootWritten = written.bootWritten;
    written = read;
    written.bootWritten = bootWritten;
  }
  return written;
}

// ---------------------------------------------------------------- read-back

Outcome Engine::readBack(const std::string& title, bool compare, bool* complete, ReadCheck check) {
  UpdateProgress(0, 0, 0);
  progress_.debugLog("Reading Chip");
  downloadAbort = 0;
  const int chipSize = chipBytes(images_);
  progress_.progressShow(title, images_.chipSize);
  OnUnwind hideProgress([this] { progress_.progressHide(); });
  int block = 0;
  progress_.setCurrentLine(View::Chip, 0);
  FlushInput();
  replyLimit = kReadReplyLimit;
  ReadTally tally;
  auto box = [this, &tally](const std::string& text) {
    if (ShowError(text, true) == Button::Cancel) tally.cancelled = true;
  };

  do {
    UpdateProgress(block, chipSize - 1, 1);
    const std::string answer = ExchangeRecord(readRequest(block), true, kStopNone);
    if (answer.size() != static_cast<std::size_t>(kReadAnswerChars)) {
      // OK asks for the same block again.
      box("Read record length unexpected " + std::to_string(answer.size()));
      if (tally.cancelled) tally.unread(block, kReadLines);
      continue;
    }
    int blockUnread = 0, blockFirstUnread = -1;
    auto unread = [&](int address) {
      if (blockFirstUnread < 0) blockFirstUnread = address;
      ++blockUnread;
    };
    std::size_t rest = 0;  // start of the unread rest of the answer
    // After a line fails its form or address check the rest is not consumed, so every later
    // line of the block fails on the same text with the same box. A line whose address reads
    // one line too far must not be taken for the next line: its bytes would land 16
    // addresses off.
    std::string failedBox;
    for (int k = 0; k < kReadLines; ++k) {
      const int lineStart = block + k * kReadLineBytes;
      if (!failedBox.empty()) {
        unread(lineStart);
        box(failedBox);
        continue;
      }
      const std::string restText = answer.substr(rest);
      const std::string_view line = std::string_view(answer).substr(rest, kReadLineChars);
      if (line.size() < kReadLineChars || line[0] != '\r' || line[1] != '\n' || line[kReadLineEqualsAt] != '=') {
        failedBox = "Read record format unexpected [" + restText + "]";
      } else if (const auto lineAddress = parseHex(line.substr(kReadLineAddressAt, 4)); !lineAddress) {
        failedBox = "Read record addr error [" + restText + "]";
      } else if (*lineAddress != static_cast<std::uint32_t>(lineStart)) {
        failedBox = "Read record format unexpected [" + restText + "]";
      }
      if (!failedBox.empty()) {
        unread(lineStart);
        box(failedBox);
        continue;
      }
      rest += kReadLineChars;
      for (int i = 0; i < kReadLineBytes; ++i) {
        const auto value = parseHex(line.substr(kReadLineDataAt + 2 * i, 2));
        if (!value) {
          unread(lineStart);
          box("Read record data error [" + answer.substr(rest - kReadLineChars + kReadLineDataAt) + "]");
          break;  // the rest of this line is skipped
        }
        const auto at = static_cast<std::size_t>(lineStart + i);
        images_.chipImage[at] = static_cast<std::uint8_t>(*value);
        if (compare && block < kCompareBelow && images_.chipImage[at] != images_.fileImage[at]) {
          ShowError("Chip does not match file at @" + hexWord(static_cast<std::uint16_t>(at)), false);
          if (tally.mismatches++ == 0) tally.firstMismatch = static_cast<int>(at);
          downloadAbort = 1;  // the read ends after this block
        }
      }
    }
    if (check.twice && !compare) {
      // Agreeing answers stand for the block; without them none of its bytes can be trusted.
      const bool agreed = confirmBlock(block, blockUnread == 0, check.retries);
      blockUnread = agreed ? 0 : kReadLines;
      blockFirstUnread = block;
    }
    tally.unread(blockFirstUnread, blockUnread);
    if (block == 0) progress_.repaintView(View::Chip);
    block += kReadBlockBytes;
  } while (block < chipSize && downloadAbort == 0);

  *complete = block >= chipSize;
  progress_.progressHide();
  progress_.repaintView(View::Chip);

  if (tally.mismatches > 0) {
    Outcome o = Outcome::ofKind(OutcomeKind::Mismatch, Step::ReadBack);
    o.address = tally.firstMismatch;
    o.count = tally.mismatches;
    return o;
  }
  // Lines that could not be read are not a match, whatever the rest of the block says.
  if (tally.unreadLines > 0) {
    Outcome o = Outcome::ofKind(OutcomeKind::NotVerified, Step::ReadBack);
    o.address = tally.firstUnread;
    o.count = tally.unreadLines;
    return o;
  }
  if (!*complete) return Outcome::ofKind(OutcomeKind::Aborted, Step::ReadBack);
  return {};
}

bool Engine::confirmBlock(int block, bool firstComplete, int retries) {
  const auto first = images_.chipImage.begin() + block;
  std::optional<BlockBytes> previous;
  if (firstComplete) {
    previous.emplace();
    std::copy(first, first + kReadBlockBytes, previous->begin());
  }
  // The confirming read, then up to `retries` more until two answers in a row agree.
  for (int read = 0; read <= retries && downloadAbort == 0; ++read) {
    const auto bytes = parseBlock(ExchangeRecord(readRequest(block), true, kStopNone), block);
    if (bytes && previous && *bytes == *previous) {
      std::copy(bytes->begin(), bytes->end(), first);
      return true;
    }
    previous = bytes;
    progress_.processEvents();  // the Abort button
  }
  progress_.debugLog("Block " + hexWord(static_cast<std::uint16_t>(block)) + ": no two answers agree");
  return false;
}

Outcome Engine::readChip(ReadCheck check) {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  if (Outcome synced = syncTarget(); !synced.done()) return finish(synced);
  bool complete = false;
  return finish(readBack("Reading data...", false, &complete, check));
}

Outcome Engine::verify(Asking asking, Verification verification) {
  (void)verification;
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = asking == Asking::Never;
  if (!images_.fileLoaded) {
    const Outcome loaded = loadFile();
    if (!images_.fileLoaded) return finish(loaded);
  }
  if (Outcome synced = syncTarget(); !synced.done()) return finish(synced);
  bool complete = false;
  return finish(readBack("Verifying file...", true, &complete));
}

// ---------------------------------------------------------------- boot configuration

Outcome Engine::writeBootConfig() {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  return finish(bootConfig());
}

Outcome Engine::bootConfig() {
  progress_.debugLog("Program BSB");
  FlushInput();
  const BootChoice choice = deviceState_.bootChoice();
  // The answers to these are judged only by the echo check; the closing record decides.
  if (choice.lock0) ExchangeRecord(kLock0Record, true, kStopNone);
  if (choice.lock1) ExchangeRecord(kLock1Record, true, kStopNone);
  ExchangeRecord(choice.bljb ? kBljbSetRecord : kBljbClearRecord, true, kStopNone);
  const std::string answer = ExchangeRecord(kBootConfigEndRecord, true, kStopNone);
  if (answer != kAcceptedAnswer) return refused(kBootConfigEndRecord, answer, Step::BootConfig);
  Outcome written = readInfo(true);
  written.bootWritten = written.done();
  return written;
}

}  // namespace velkorn::isp
