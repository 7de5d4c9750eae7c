// The chip commands: full chip erase, program & verify, reload, read-back and comparison,
// and the boot configuration.
#include <algorithm>
#include <exception>
#include <string>

#include "image/hex_codec.h"
#include "isp/engine.h"

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

constexpr char kStopNone = '\0';   // the first read that brings nothing ends the wait
constexpr char kStopErase = '.';   // only "." or "X" end the erase's wait
constexpr char kStopBlank = '\n';  // the blank check answer may end in a line feed
constexpr char kStopData = '\x01'; // data records: only "." or "X"

// The two answers of a blank chip to the blank check.
constexpr const char* kBlankDot = ".";
constexpr const char* kBlankLine = "FC00\r\n";

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
constexpr int kCompareBelow = 0xFC00;    // blocks from here on (the bootloader's own) are not compared
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

}  // namespace

// ---------------------------------------------------------------- erase

bool Engine::EraseChip() {
  CommandGuard guard(*this);
  if (!guard.entered()) return false;
  return eraseChip();
}

bool Engine::eraseChip() {
  op_.debugLog("Erase Chip");
  op_.setBusyCursor(true);
  OnUnwind restoreCursor([this] { op_.setBusyCursor(false); });
  FlushInput();
  const std::string answer = ExchangeRecord(kEraseRecord, true, kStopErase);
  const bool accepted = !answer.empty() && answer.front() == '.';
  readDeviceInfo(true);
  op_.setBusyCursor(false);
  return accepted;
}

void Engine::MEraseClick() {
  CommandGuard guard(*this);
  if (!guard.entered()) return;
  if (!syncTarget()) {
    op_.setBusyCursor(false);
    return;
  }
  op_.setBusyCursor(true);
  OnUnwind restoreCursor([this] { op_.setBusyCursor(false); });
  if (eraseChip()) {
    op_.setBusyCursor(false);
    op_.showMessage("Erase", "completed successfully");
    images_.chipImage.fill(kErasedByte);
    op_.setCurrentLine(View::Chip, 0);
  }
  op_.setBusyCursor(false);
}

// ---------------------------------------------------------------- program & verify

void Engine::MProgClick() {
  CommandGuard guard(*this);
  if (!guard.entered()) return;
  progClick();
}

void Engine::MReloadClick() {
  CommandGuard guard(*this);
  if (!guard.entered()) return;
  images_.reload = true;
  struct ClearReload {
    MemoryImages& images;
    ~ClearReload() { images.reload = false; }
  } clearReload{images_};
  loadHexFileNested();
  progClick();
}

void Engine::progClick() {
  if (!syncTarget()) return;
  if (!images_.fileLoaded && !loadHexFileNested()) return;

  replyLimit = 0;
  FlushInput();
  const std::string blank = ExchangeRecord(kBlankCheckRecord, true, kStopBlank);
  if (blank != kBlankLine && blank != kBlankDot && !images_.reload &&
      !op_.askYesNo("Confirmation", "Device is not blank. Erase and program?")) {
    programBootConfig();
    return;
  }

  OnUnwind hideProgress([this] { op_.progressHide(); });
  UpdateProgress(0, 0, 0);
  downloadAbort = 0;
  op_.progressShow("Erasing...", images_.hexLineCount - 1);
  op_.processEvents();
  eraseChip();  // a refused erase is not reported: the data records' answers decide
  op_.progressCaption("Programming...");
  op_.processEvents();

  const int chipSize = chipBytes(images_);
  int address = 0;
  int recordsSent = 0;  // retries count again
  do {
    UpdateProgress(recordsSent, images_.hexLineCount - 1, kDataBlockBytes);
    const auto first = images_.fileImage.begin() + address;
    if (std::all_of(first, first + kDataBlockBytes, [](std::uint8_t b) { return b == kErasedByte; })) {
      address += kDataBlockBytes;  // erased flash already holds these bytes
    } else {
      ++recordsSent;
      const std::string answer = ExchangeRecord(dataRecord(images_.fileImage, address), true, kStopData);
      if (answer == ".") address += kDataBlockBytes;
      else ShowError("Ack Error Retry! s=\"" + answer + "\"", true);  // OK: the same record again
    }
  } while (address < chipSize && downloadAbort == 0);
  op_.progressHide();
  if (address < chipSize) return;

  if (!readChip("Verifying...", true)) return;

  // The top 1 KiB holds the bootloader's area and is left out of the final comparison.
  const auto end = images_.fileImage.begin() + std::max(chipSize - kFinalCompareSpare, 0);
  if (std::equal(images_.fileImage.begin(), end, images_.chipImage.begin())) programBootConfig();
  else ShowError("Verify FAILED !!!", false);
}

// ---------------------------------------------------------------- read-back

bool Engine::ReadChip(const std::string& title, bool compare) {
  CommandGuard guard(*this);
  if (!guard.entered()) return false;
  return readChip(title, compare);
}

bool Engine::readChip(const std::string& title, bool compare) {
  UpdateProgress(0, 0, 0);
  op_.debugLog("Reading Chip");
  matchFlag = true;
  downloadAbort = 0;
  const int chipSize = chipBytes(images_);
  op_.progressShow(title, images_.chipSize);
  OnUnwind hideProgress([this] { op_.progressHide(); });
  int block = 0;
  op_.setCurrentLine(View::Chip, 0);
  FlushInput();
  replyLimit = kReadReplyLimit;

  do {
    UpdateProgress(block, chipSize - 1, 1);
    const std::string answer = ExchangeRecord(readRequest(block), true, kStopNone);
    if (answer.size() != static_cast<std::size_t>(kReadAnswerChars)) {
      // OK asks for the same block again.
      ShowError("Read record length unexpected " + std::to_string(answer.size()), true);
      continue;
    }
    std::size_t rest = 0;  // start of the unread rest of the answer
    // After a line fails its form or address check the rest is not consumed, so every later
    // line of the block fails on the same text with the same box. A line whose address reads
    // one line too far must not be taken for the next line: its bytes would land 16
    // addresses off.
    std::string failedBox;
    for (int k = 0; k < kReadLines; ++k) {
      if (!failedBox.empty()) {
        ShowError(failedBox, true);
        continue;
      }
      const std::string restText = answer.substr(rest);
      const std::string_view line = std::string_view(answer).substr(rest, kReadLineChars);
      if (line.size() < kReadLineChars || line[0] != '\r' || line[1] != '\n' || line[kReadLineEqualsAt] != '=') {
        failedBox = "Read record format unexpected [" + restText + "]";
        ShowError(failedBox, true);
        continue;
      }
      const auto lineAddress = parseHex(line.substr(kReadLineAddressAt, 4));
      if (!lineAddress) {
        failedBox = "Read record addr error [" + restText + "]";
        ShowError(failedBox, true);
        continue;
      }
      const int lineStart = block + k * kReadLineBytes;
      if (*lineAddress != static_cast<std::uint32_t>(lineStart)) {
        failedBox = "Read record format unexpected [" + restText + "]";
        ShowError(failedBox, true);
        continue;
      }
      rest += kReadLineChars;
      for (int i = 0; i < kReadLineBytes; ++i) {
        const auto value = parseHex(line.substr(kReadLineDataAt + 2 * i, 2));
        if (!value) {
          ShowError("Read record data error [" + answer.substr(rest - kReadLineChars + kReadLineDataAt) + "]", true);
          break;  // the rest of this line is skipped
        }
        const auto at = static_cast<std::size_t>(lineStart + i);
        images_.chipImage[at] = static_cast<std::uint8_t>(*value);
        if (compare && block < kCompareBelow && images_.chipImage[at] != images_.fileImage[at]) {
          ShowError("Chip does not match file at @" + hexWord(static_cast<std::uint16_t>(at)), false);
          matchFlag = false;
          downloadAbort = 1;  // the read ends after this block
        }
      }
    }
    if (block == 0) op_.repaintView(View::Chip);
    block += kReadBlockBytes;
  } while (block < chipSize && downloadAbort == 0);

  const bool complete = block >= chipSize;
  op_.progressHide();
  op_.repaintView(View::Chip);
  return complete;
}

void Engine::MReadClick() {
  CommandGuard guard(*this);
  if (!guard.entered()) return;
  op_.showTab(Tab::ChipData);
  if (syncTarget()) readChip("Reading data...", false);
}

void Engine::CompareFileClick() {
  CommandGuard guard(*this);
  if (!guard.entered()) return;
  if (!images_.fileLoaded && !loadHexFileNested()) return;
  op_.showTab(Tab::ChipData);
  if (!syncTarget()) return;
  if (readChip("Verifying file...", true) && matchFlag) op_.showMessage("Verifying...", "Matched OK!!!");
}

// ---------------------------------------------------------------- boot configuration

void Engine::MBSBClick() {
  CommandGuard guard(*this);
  if (!guard.entered()) return;
  programBootConfig();
}

void Engine::programBootConfig() {
  op_.debugLog("Program BSB");
  FlushInput();
  // The answers to these are judged only by the echo check; the closing record decides.
  if (device_.lock0) ExchangeRecord(kLock0Record, true, kStopNone);
  if (device_.lock1) ExchangeRecord(kLock1Record, true, kStopNone);
  ExchangeRecord(device_.bljb ? kBljbSetRecord : kBljbClearRecord, true, kStopNone);
  const std::string answer = ExchangeRecord(kBootConfigEndRecord, true, kStopNone);
  if (answer != ".") {
    ShowError("Programm BSB FAILED!", false);
    return;
  }
  readDeviceInfo(true);
  if (!images_.reload) op_.showMessage("Programm BSB", "completed successfully");
  // Hand the line back to the terminal.
  FlushInput();
  link_.setBaudRate(op_.terminalBaudRate());
  op_.setTerminalPoll(true);
  op_.showTab(Tab::Terminal);
}

}  // namespace velkorn::isp
