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
#include "isp/read_answer.h"
#include "isp/records.h"
#include "isp/unwind.h"

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

// The chip size as a bound for the 64 KiB images, whatever was stored in it.
int chipBytes(const MemoryImages& images) { return std::clamp(images.chipSize, 0, kImageSize); }

std::string dataRecord(const Image& image, int address) {
  std::string record = ":10" + hexWord(static_cast<std::uint16_t>(address)) + "00";
  for (int i = 0; i < kDataBlockBytes; ++i) record += hexByte(image[static_cast<std::size_t>(address + i)]);
  return record;
}

Outcome refused(const char* record, const std::string& answer, Step step) {
  Outcome o = Outcome::ofKind(OutcomeKind::Refused, step);
  o.record = appendChecksum(record);
  o.answer = answer;
  return o;
}

}  // namespace

// ---------------------------------------------------------------- the file and the chip

Outcome Engine::fileFits(bool needsData) const {
  const auto isData = [](std::uint8_t b) { return b != kErasedByte; };
  const auto& file = images_.fileImage;
  const auto past = std::find_if(file.begin() + chipBytes(images_), file.end(), isData);
  Outcome o = Outcome::ofKind(OutcomeKind::FileError, Step::Load);
  o.file = hexFileName;
  if (past != file.end()) {
    o.fileFault = FileFault::PastChip;
    o.address = static_cast<int>(past - file.begin());
    o.count = chipBytes(images_);
    return o;
  }
  if (needsData && std::none_of(file.begin(), file.end(), isData)) {
    o.fileFault = FileFault::NoData;
    return o;
  }
  return {};
}

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
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = asking == Asking::Never;
  return finish(programImage(verification));
}

Outcome Engine::reload(Verification verification) {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = true;
  const Outcome loaded = loadFile();
  // A file that cannot be opened ends the command; any other load goes on to programming,
  // which gives up when the file is not loaded completely.
  if (loaded.kind == OutcomeKind::FileError && loaded.line == 0) return finish(loaded);
  return finish(programImage(verification));
}

Outcome Engine::programImage(Verification verification) {
  if (Outcome synced = syncTarget(); !synced.done()) return synced;
  if (!images_.fileLoaded) {
    const Outcome loaded = loadFile();
    if (!images_.fileLoaded) return loaded;
  }
  // Refused before the chip is touched: a file that does not fit would leave a chip without
  // part of its program, and a file without data would only erase it.
  if (Outcome unfit = fileFits(true); !unfit.done()) return unfit;

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
  downloadAbort.lower();
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
  } while (address < chipSize && !downloadAbort.raised());
  progress_.progressHide();
  if (address < chipSize) return stopped;

  bool complete = false;
  const Outcome read = verification == Verification::DataOnly ? verifyDataOnly("Verifying...", &complete)
                                                               : readBack("Verifying...", true, &complete);
  // Lines that could not be read leave older bytes in the chip image: the final comparison
  // would judge those, so the command ends here.
  if (!complete || read.kind == OutcomeKind::NotVerified) return read;

  // The top 1 KiB holds the bootloader's area and is left out of the final comparison.
  const auto end = images_.fileImage.begin() + comparisonLimit(chipSize);
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
  std::string settingRecord, settingAnswer;
  auto setting = [&](const char* record) {
    const std::string answer = ExchangeRecord(record, true, kStopNone);
    if (answer != kAcceptedAnswer && settingRecord.empty()) {
      settingRecord = appendChecksum(record);
      settingAnswer = answer;
    }
  };
  if (choice.lock0) setting(kLock0Record);
  if (choice.lock1) setting(kLock1Record);
  setting(choice.bljb ? kBljbSetRecord : kBljbClearRecord);
  const std::string answer = ExchangeRecord(kBootConfigEndRecord, true, kStopNone);
  if (answer != kAcceptedAnswer) return refused(kBootConfigEndRecord, answer, Step::BootConfig);
  Outcome written = readInfo(true);
  written.bootWritten = written.done();
  written.settingRecord = settingRecord;
  written.settingAnswer = settingAnswer;
  return written;
}

}  // namespace velkorn::isp
