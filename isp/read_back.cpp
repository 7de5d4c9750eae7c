// Reading the chip back: "&Read Chip", "Verify File" and the verification of "&Program &&
// Verify", either every block of the chip or only the blocks that hold data, with the
// bootloader's blank check vouching for the rest.
#include <algorithm>
#include <optional>
#include <string>

#include "image/hex_codec.h"
#include "isp/engine.h"
#include "isp/read_answer.h"
#include "isp/records.h"
#include "isp/unwind.h"

namespace velkorn::isp {

// What a read-back saw, block by block.
struct Engine::ReadTally {
  int mismatches = 0, firstMismatch = -1;
  int unreadLines = 0, firstUnread = -1;  // lines whose bytes were not all stored
  bool cancelled = false;                 // Cancel in one of its boxes

  void unread(int address, int lines) {
    if (lines <= 0) return;
    if (firstUnread < 0 || address < firstUnread) firstUnread = address;
    unreadLines += lines;
  }
};

namespace {

// The chip size as a bound for the 64 KiB images, whatever was stored in it.
int chipBytes(const MemoryImages& images) { return std::clamp(images.chipSize, 0, kImageSize); }

bool holdsData(const Image& image, int block) {
  const auto first = image.begin() + block;
  return std::any_of(first, first + kReadBlockBytes, [](std::uint8_t b) { return b != kErasedByte; });
}

}  // namespace

int comparisonLimit(int chipSize) { return std::clamp(chipSize, 0, kCompareBelow); }

// ---------------------------------------------------------------- one block

Engine::BlockRead Engine::readBlock(int block, bool compare, const ReadCheck& check, ReadTally& tally) {
  auto box = [this, &tally](const std::string& text) {
    if (ShowError(text, true) == Button::Cancel) tally.cancelled = true;
  };
  const std::string answer = ExchangeRecord(readRequest(block), true, kStopNone);
  if (answer.size() != static_cast<std::size_t>(kReadAnswerChars)) {
    // OK asks for the same block again.
    box("Read record length unexpected " + std::to_string(answer.size()));
    if (tally.cancelled) tally.unread(block, kReadLines);
    return BlockRead::Again;
  }
  int blockUnread = 0, blockFirstUnread = -1;
  auto unread = [&](int address) {
    if (blockFirstUnread < 0) blockFirstUnread = address;
    ++blockUnread;
  };
  std::size_t rest = 0;  // start of the unread rest of the answer
  // After a line fails its form or address check the rest is not consumed, so every later
  // line of the block fails on the same text with the same box.
  std::string failedBox;
  for (int k = 0; k < kReadLines; ++k) {
    const int lineStart = block + k * kReadLineBytes;
    if (failedBox.empty()) {
      const ReadLine line = parseReadLine(std::string_view(answer).substr(rest, kReadLineChars), lineStart);
      if (line.fault == LineFault::Format) failedBox = "Read record format unexpected [" + answer.substr(rest) + "]";
      if (line.fault == LineFault::Address) failedBox = "Read record addr error [" + answer.substr(rest) + "]";
      if (failedBox.empty()) {
        rest += kReadLineChars;
        for (int i = 0; i < line.readable; ++i) {
          const auto at = static_cast<std::size_t>(lineStart + i);
          images_.chipImage[at] = line.bytes[static_cast<std::size_t>(i)];
          images_.chipRead.set(at);
          if (compare && block < kCompareBelow && images_.chipImage[at] != images_.fileImage[at]) {
            ShowError("Chip does not match file at @" + hexWord(static_cast<std::uint16_t>(at)), false);
            if (tally.mismatches++ == 0) tally.firstMismatch = static_cast<int>(at);
            downloadAbort.raise();  // the read ends after this block
          }
        }
        if (line.fault == LineFault::Data) {
          unread(lineStart);
          // The rest of this line is skipped.
          box("Read record data error [" + answer.substr(rest - kReadLineChars + 7) + "]");
        }
        continue;
      }
    }
    unread(lineStart);
    box(failedBox);
  }
  if (check.twice && !compare) {
    // Agreeing answers stand for the block; without them none of its bytes can be trusted.
    const bool agreed = confirmBlock(block, blockUnread == 0, check.retries);
    for (int i = 0; i < kReadBlockBytes; ++i) images_.chipRead.set(static_cast<std::size_t>(block + i), agreed);
    blockUnread = agreed ? 0 : kReadLines;
    blockFirstUnread = block;
  }
  tally.unread(blockFirstUnread, blockUnread);
  return BlockRead::Done;
}

bool Engine::confirmBlock(int block, bool firstComplete, int retries) {
  const auto first = images_.chipImage.begin() + block;
  std::optional<BlockBytes> previous;
  if (firstComplete) {
    previous.emplace();
    std::copy(first, first + kReadBlockBytes, previous->begin());
  }
  // The confirming read, then up to `retries` more until two answers in a row agree.
  for (int read = 0; read <= retries && !downloadAbort.raised(); ++read) {
    const auto bytes = parseReadAnswer(ExchangeRecord(readRequest(block), true, kStopNone), block);
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

// ---------------------------------------------------------------- blank checks

Engine::BlankRun Engine::blankCheck(int first, int last) {
  const std::string record = blankCheckRequest(first, last);
  while (!downloadAbort.raised()) {
    const std::string answer = ExchangeRecord(record, true, kStopBlank);
    if (answer == std::string(1, static_cast<char>(kRefused))) return {BlankRun::Refused};
    const auto parsed = parseBlankCheckAnswer(answer);
    if (parsed && parsed->blank) return {BlankRun::Blank};
    if (parsed && parsed->address >= first && parsed->address <= last) return {BlankRun::DataAt, parsed->address};
    // The answer carries no checksum: one that is not in form, or names an address outside
    // the range, is asked for again once the line has been drained.
    if (ShowError("Blank check answer unexpected [" + answer + "]", true) == Button::Cancel) break;
  }
  return {BlankRun::Cancelled};
}

Engine::BlankRun Engine::agreedBlankCheck(int first, int last, int retries) {
  std::optional<BlankRun> previous;
  for (int asked = 0; asked < retries + 2; ++asked) {
    const BlankRun run = blankCheck(first, last);
    if (run.kind == BlankRun::Refused || run.kind == BlankRun::Cancelled) return run;
    // An address in the first block claims no blank bytes: that block is read anyway.
    if (run.kind == BlankRun::DataAt && run.address - first < kReadBlockBytes) return run;
    if (previous && previous->kind == run.kind && previous->address == run.address) return run;
    previous = run;
  }
  return {BlankRun::Unsure};
}

void Engine::markErased(int from, int to) {
  std::fill(images_.chipImage.begin() + from, images_.chipImage.begin() + std::max(from, to), kErasedByte);
  for (int at = from; at < to; ++at) images_.chipRead.set(static_cast<std::size_t>(at));
}

// ---------------------------------------------------------------- read-back

void Engine::startRead(const std::string& title, int total) {
  UpdateProgress(0, 0, 0);
  progress_.debugLog("Reading Chip");
  downloadAbort.lower();
  images_.chipRead.reset();
  progress_.progressShow(title, total);
  progress_.setCurrentLine(View::Chip, 0);
  FlushInput();
  replyLimit = kReadReplyLimit;
}

Outcome Engine::endRead(const ReadTally& tally, bool complete) {
  progress_.progressHide();
  progress_.repaintView(View::Chip);
  return tallied(tally, complete);
}

Outcome Engine::readBack(const std::string& title, bool compare, bool* complete, ReadCheck check) {
  const int chipSize = chipBytes(images_);
  OnUnwind hideProgress([this] { progress_.progressHide(); });
  startRead(title, images_.chipSize);
  ReadTally tally;
  const bool skipBlank = check.skipBlank && !compare;
  bool checksRefused = false;
  int dataBlock = -1;  // a block the blank checks found data in, read next
  int block = 0;
  do {
    UpdateProgress(block, chipSize - 1, 1);
    if (skipBlank && !checksRefused && block != dataBlock) {
      const BlankRun run = agreedBlankCheck(block, chipSize - 1, check.retries);
      switch (run.kind) {
        case BlankRun::Blank:
          markErased(block, chipSize);
          block = chipSize;
          continue;
        case BlankRun::DataAt:
          dataBlock = run.address - run.address % kReadBlockBytes;
          markErased(block, dataBlock);
          block = dataBlock;
          break;
        case BlankRun::Refused: checksRefused = true; break;
        case BlankRun::Unsure: dataBlock = block; break;  // the checks disagree: read it
        case BlankRun::Cancelled:
          tally.unread(block, (chipSize - block) / kReadLineBytes);
          continue;
      }
      UpdateProgress(block, chipSize - 1, 1);
    }
    if (readBlock(block, compare, check, tally) == BlockRead::Again) continue;
    if (block == 0) progress_.repaintView(View::Chip);
    block += kReadBlockBytes;
  } while (block < chipSize && !downloadAbort.raised());

  *complete = block >= chipSize;
  return endRead(tally, *complete);
}

Outcome Engine::verifyDataOnly(const std::string& title, bool* complete) {
  const int limit = comparisonLimit(images_.chipSize);
  OnUnwind hideProgress([this] { progress_.progressHide(); });
  startRead(title, limit);
  ReadTally tally;
  bool checksRefused = false;
  int block = 0;
  while (block < limit && !downloadAbort.raised()) {
    UpdateProgress(block, limit - 1, 1);
    if (checksRefused || holdsData(images_.fileImage, block)) {
      if (readBlock(block, true, {}, tally) == BlockRead::Done) block += kReadBlockBytes;
      continue;
    }
    int runEnd = block + kReadBlockBytes;
    while (runEnd < limit && !holdsData(images_.fileImage, runEnd)) runEnd += kReadBlockBytes;
    BlankRun run = blankCheck(block, runEnd - 1);
    // The answer carries no checksum, and a "." vouches for every byte of the run: it
    // counts only when a second check of the same run says the same. An address is proved
    // or disproved by reading its block.
    if (run.kind == BlankRun::Blank) run = blankCheck(block, runEnd - 1);
    switch (run.kind) {
      case BlankRun::Blank:
        markErased(block, runEnd);
        block = runEnd;
        break;
      case BlankRun::DataAt: {
        // The file wants the erased value there: reading the named block shows the difference.
        const int named = run.address - run.address % kReadBlockBytes;
        const int seen = tally.mismatches + tally.unreadLines;
        if (readBlock(named, true, {}, tally) == BlockRead::Again) break;
        markErased(block, named);
        if (tally.mismatches + tally.unreadLines > seen) {
          block = named + kReadBlockBytes;
        } else if (ShowError("Blank check named @" + hexWord(static_cast<std::uint16_t>(run.address)) +
                                 ", which reads as blank",
                             true) == Button::Cancel) {
          tally.unread(block, (runEnd - block) / kReadLineBytes);
        }
        break;
      }
      case BlankRun::Refused: checksRefused = true; break;
      case BlankRun::Unsure: break;
      case BlankRun::Cancelled: tally.unread(block, (runEnd - block) / kReadLineBytes); break;
    }
  }
  *complete = block >= limit;
  return endRead(tally, *complete);
}

Outcome Engine::tallied(const ReadTally& tally, bool complete) const {
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
  if (!complete) return Outcome::ofKind(OutcomeKind::Aborted, Step::ReadBack);
  return {};
}

Outcome Engine::readChip(ReadCheck check) {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  if (Outcome synced = syncTarget(); !synced.done()) return finish(synced);
  bool complete = false;
  return finish(readBack("Reading data...", false, &complete, check));
}

Outcome Engine::verify(Asking asking, Verification verification) {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  run_.reload = asking == Asking::Never;
  if (!images_.fileLoaded) {
    const Outcome loaded = loadFile();
    if (!images_.fileLoaded) return finish(loaded);
  }
  if (Outcome synced = syncTarget(); !synced.done()) return finish(synced);
  // Bytes the chip cannot hold can never match: such a file is not compared at all.
  if (Outcome unfit = fileFits(false); !unfit.done()) return finish(unfit);
  bool complete = false;
  if (verification == Verification::DataOnly) return finish(verifyDataOnly("Verifying file...", &complete));
  return finish(readBack("Verifying file...", true, &complete));
}

}  // namespace velkorn::isp
