// Command records and their exchange with the bootloader, synchronisation, device
// information, the progress figures and the error box.
#include "isp/engine.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

#include "image/hex_codec.h"
#include "isp/device_facts.h"
#include "isp/records.h"

namespace velkorn::isp {

namespace {

constexpr int kDefaultReplyLimit = 1024;  // reply length limit when the stored one is 0
constexpr int kFlushReadLimit = 1001;     // a line that never falls silent costs this many reads
// Every wait on the line lets the window's messages run this often: the window is drawn,
// and Abort, Exit and tab clicks are seen while a slow answer (the erase) is awaited.
constexpr std::uint32_t kEventsEveryMs = 50;

// Device-information records (type 05 reads), without checksum.
constexpr const char* kReadManufacturer = ":020000050000";
constexpr const char* kReadFamily = ":020000050001";
constexpr const char* kReadMemoryCode = ":020000050002";
constexpr const char* kReadProduct = ":020000050003";
constexpr const char* kReadSecurity = ":020000050700";  // software security byte
constexpr const char* kReadBootStatus = ":020000050701";  // BSB
constexpr const char* kReadBootVector = ":020000050702";  // SBV

// A device-information record asked this often without two agreeing answers is given up
// on whatever the boxes say (InfoCheck::Confirmed).
constexpr int kInfoAskLimit = 16;

constexpr std::uint32_t kSecurityLock0Bit = 0x01;  // clear: erase and programming locked
constexpr std::uint32_t kSecurityLock1Bit = 0x10;  // clear: read and blank check locked too

// The known devices: identification bytes and where each keeps its hardware security byte
// and bootloader version.
struct KnownDevice {
  std::uint32_t manufacturer, family, product;
  const char* hsbRecord;
  const char* versionRecord;
};
constexpr KnownDevice kKnownDevices[] = {
    {0x58, 0xD7, 0xFF, ":020000050703", ":020000050800"},
    {0x58, 0xD7, 0xEF, ":020000050B00", ":020000050F00"},
};

// How long an answer whose stop character is not 0 may keep the exchange waiting; a silent
// target would otherwise hold it for ever.
std::chrono::milliseconds answerLimit(char stop) {
  switch (stop) {
    case kStopErase: return kEraseAnswerLimit;
    case kStopBlank: return kBlankAnswerLimit;
    case kStopData: return kDataAnswerLimit;
    default: return kDataAnswerLimit;
  }
}

}  // namespace

Engine::Engine(Link& link, Prompts& prompts, Progress& progress, DeviceState& device, Clock& clock)
    : link_(link), prompts_(prompts), progress_(progress), deviceState_(device), clock_(clock) {}

// ---------------------------------------------------------------- waits

class Engine::Wait {
 public:
  explicit Wait(Engine& engine)
      : engine_(engine), lastEventsMs_(engine.clock_.tickMs()), raisedBefore_(engine.downloadAbort.raised()) {}

  // Called at each turn of the wait. True once the abort flag has risen during this wait: a
  // flag that a box or an earlier step raised before it began (a HEX line's box ahead of
  // Reload's synchronisation) does not cut an answer short.
  bool aborted(std::uint32_t nowMs) {
    if (engine_.stopRequested()) return true;
    if (nowMs - lastEventsMs_ < kEventsEveryMs) return false;
    lastEventsMs_ = nowMs;
    engine_.progress_.processEvents();
    if (raisedBefore_ || !engine_.downloadAbort.raised()) return false;
    engine_.run_.waitAborted = true;
    return true;
  }

 private:
  Engine& engine_;
  std::uint32_t lastEventsMs_;
  bool raisedBefore_;
};

bool Engine::stopRequested() {
  if (!progress_.stopRequested()) return run_.waitAborted;
  run_.waitAborted = true;
  downloadAbort.raise();
  return true;
}

// ---------------------------------------------------------------- command guard

Engine::CommandGuard::CommandGuard(Engine& engine) : engine_(engine) {
  if (engine_.busy_) return;
  entered_ = engine_.busy_ = true;
  engine_.run_ = Run{};
  // A flag left raised by the last command (an aborted read) would otherwise keep this
  // one's Abort and Exit from ending its waits.
  engine_.downloadAbort.lower();
}

Engine::CommandGuard::~CommandGuard() {
  if (!entered_) return;
  engine_.busy_ = false;
  engine_.run_ = Run{};
}

Outcome Engine::finish(Outcome outcome) const {
  if (run_.linkFailed()) outcome.lineError = run_.linkFailure->message;
  // A refusal, a difference, an abort or an answer that never came right on a line that
  // failed its calls was the line's doing: a hang-up or an end of the line's data at any
  // point of any command is a lost line. A file error keeps its own kind and box.
  const bool lineCaused = outcome.kind != OutcomeKind::Done && outcome.kind != OutcomeKind::FileError;
  if (lineCaused && run_.linkFailed()) {
    const Step step = outcome.step;
    const bool bootWritten = outcome.bootWritten;
    outcome = Outcome::ofKind(OutcomeKind::LinkLost, step);
    outcome.detail = run_.linkFailure->message;
    outcome.lineError = outcome.detail;
    outcome.bootWritten = bootWritten;
  }
  // What followed an answer cut short by Abort says nothing about the chip; a difference
  // already found and a line that failed still do.
  if (run_.waitAborted && outcome.kind != OutcomeKind::Mismatch && outcome.kind != OutcomeKind::LinkLost) {
    const bool bootWritten = outcome.bootWritten;
    outcome = Outcome::ofKind(OutcomeKind::Aborted, outcome.step);
    outcome.bootWritten = bootWritten;
  }
  outcome.echoErrors = run_.echoErrors;
  outcome.infoIncomplete = run_.infoIncomplete;
  return outcome;
}

// ---------------------------------------------------------------- records and exchange

void Engine::linkCallFailed(const Error& error) {
  run_.linkFailure = error;
  progress_.lineFailed(error);
}

void Engine::FlushInput() {
  if (run_.waitAborted) return;
  Wait wait(*this);
  for (int reads = 0; reads < kFlushReadLimit; ++reads) {
    const Result<LinkRead> r = link_.readByte();
    if (!r) return linkCallFailed(r.error());
    if (r->count != 1 || wait.aborted(clock_.tickMs())) return;
  }
}

int Engine::drain(std::chrono::milliseconds silence, std::chrono::milliseconds limit, bool watchSyncCancel) {
  if (run_.waitAborted) return 0;
  Wait wait(*this);
  const std::uint32_t startMs = clock_.tickMs();
  std::uint32_t lastByteMs = startMs;
  int drained = 0;
  for (int reads = 0;; ++reads) {
    const Result<LinkRead> r = link_.readByte();
    const std::uint32_t now = clock_.tickMs();
    if (!r) {
      linkCallFailed(r.error());
      break;
    }
    if (r->count == 1) {
      ++drained;
      lastByteMs = now;
    } else if (now - lastByteMs >= static_cast<std::uint32_t>(silence.count())) {
      break;
    }
    // A read that returns at once on a line that never pauses still costs no more than
    // kFlushReadLimit reads a slice.
    if (now - startMs >= static_cast<std::uint32_t>(limit.count()) || reads >= kFlushReadLimit * 4) break;
    if (watchSyncCancel && progress_.syncCancelled()) break;
    if (wait.aborted(now)) break;
  }
  return drained;
}

std::string Engine::AppendChecksum(std::string_view record) { return appendChecksum(record); }

void Engine::SendRecord(std::string& record, bool withChecksum) {
  if (withChecksum) record = AppendChecksum(record);
  // What answered too late for the exchange before a box must not be read as the answer
  // to this record.
  if (drainPending_) {
    drainPending_ = false;
    if (const int dropped = drain(kDrainSilence, kDrainLimit, false); dropped > 0)
      progress_.debugLog("(" + std::to_string(dropped) + " late bytes dropped)");
  }
  lastRecord_ = record;
  // A failed write shows up as a missing echo.
  if (const Status written = link_.writeBytes(record); !written) linkCallFailed(written.error());
  progress_.debugLog(record);
}

std::string Engine::ExchangeRecord(const std::string& record, bool withChecksum, char stop) {
  return exchange(record, withChecksum, stop).reply;
}

Engine::Exchanged Engine::exchange(const std::string& record, bool withChecksum, char stop) {
  if (replyLimit == 0) replyLimit = kDefaultReplyLimit;
  // Once Abort has ended a wait, the records still to come would only reach a chip that may
  // be busy erasing; a line that failed a call carries nothing more.
  if (stopRequested() || run_.linkFailed()) return {};
  std::string sent = record;
  SendRecord(sent, withChecksum);
  // The echo follows the record at the line's pace; a reply limit below the default is the
  // whole length of a healthy reply (a read answer), which follows the same way.
  const std::size_t healthyReply = replyLimit < kDefaultReplyLimit ? static_cast<std::size_t>(replyLimit) : 0;
  link_.expectBytes(std::max(sent.size(), healthyReply));

  const auto stopByte = static_cast<std::uint8_t>(stop);
  const auto limitMs = static_cast<std::uint32_t>(answerLimit(stop).count());
  const auto gapMs = static_cast<std::uint32_t>(kAnswerGapLimit.count());
  const auto answerStartMs = static_cast<std::uint32_t>(std::max(link_.answerStartLimit(), kAnswerGapLimit).count());
  const std::uint32_t sentMs = clock_.tickMs();
  std::uint32_t lastByteMs = sentMs;
  std::string reply;
  std::int32_t count = 0;
  Wait wait(*this);
  bool cut = false;
  for (;;) {
    std::uint8_t last = 0;
    const Result<LinkRead> r = link_.readByte();
    const std::uint32_t now = clock_.tickMs();
    const bool got = r && r->count == 1;
    if (got) {
      last = r->byte;
      reply.push_back(static_cast<char>(last));
      ++count;
      lastByteMs = now;
    }
    if ((got && (last == kAccepted || last == kRefused || last == stopByte)) || count >= replyLimit) break;
    // A read call that fails (no port, a vanished adapter) will not bring anything later.
    if (!r) {
      linkCallFailed(r.error());
      break;
    }
    // Stop character 0: a pause ends the answer.
    if (stop == kStopNone && !got && now - lastByteMs >= (count == 0 ? answerStartMs : gapMs)) break;
    if (now - sentMs >= limitMs) break;
    if (wait.aborted(now)) {
      cut = true;
      break;
    }
  }

  const std::size_t echo = reply.find(sent);
  if (cut) {
    // No box: the operator ended the wait, and the answer was not yet due in full.
    if (echo != std::string::npos) reply.erase(0, echo + sent.size());
    progress_.debugLog("->" + reply + " (wait ended by Abort)");
    return {reply};
  }
  if (echo == std::string::npos) {
    ++run_.echoErrors;
    ShowError("Error in cmd " + sent, false);
    return {reply, true};
  }
  reply.erase(0, echo + sent.size());
  progress_.debugLog("->" + reply);
  return {reply};
}

std::string Engine::ReplyValue(const std::string& reply) {
  if (reply.empty()) return {};
  if (reply.back() == static_cast<char>(kAccepted)) return reply.substr(0, reply.size() - 1);
  return "X";
}

// ---------------------------------------------------------------- synchronisation

Outcome Engine::sync() {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  return finish(syncTarget());
}

Outcome Engine::syncTarget() {
  drain(std::chrono::milliseconds(1), kSyncFlushSlice, false);
  // What the rate change did is the line owner's to show (it hears of it); a line that
  // cannot set a rate or refused it is still tried.
  (void)link_.setBaudRate(bootloaderRate);
  progress_.syncShow();
  std::optional<Outcome> synced;
  do {
    // On a noisy line a plain flush would read for seconds between two looks at the
    // Cancel button and the time limit.
    drain(std::chrono::milliseconds(1), kSyncFlushSlice, true);
    if (stopRequested()) break;
    if (const Status written = link_.writeBytes(std::string(1, kAutobaud)); !written) {
      linkCallFailed(written.error());
      ShowError("Can not write to COM", false);
    } else {
      const Result<LinkRead> r = readAutobaudAnswer();
      if (!r) {
        linkCallFailed(r.error());
      } else if (r->count == 1 && r->byte == static_cast<std::uint8_t>(kAutobaud)) {
        progress_.syncHide();
        // A device-information answer that is no number ends the command that synchronised.
        synced = readInfo(false);
        if (!synced->done()) return *synced;
      }
    }
    progress_.processEvents();  // the window's Cancel button and its time limit
    // A line that failed a call will not answer "U" later: the command ends with its cause.
  } while (!synced && !progress_.syncCancelled() && !run_.linkFailed());
  progress_.syncHide();
  if (synced) return *synced;
  return Outcome::ofKind(OutcomeKind::NoSync, Step::Sync);
}

Result<LinkRead> Engine::readAutobaudAnswer() {
  // One read on a serial line; over a network the "U" comes back a round trip later, and
  // the next attempt's flush would take it.
  const auto limitMs = static_cast<std::uint32_t>(link_.answerStartLimit().count());
  const std::uint32_t sentMs = clock_.tickMs();
  Wait wait(*this);
  for (;;) {
    Result<LinkRead> r = link_.readByte();
    const std::uint32_t now = clock_.tickMs();
    if (!r || r->count == 1 || now - sentMs >= limitMs || wait.aborted(now)) return r;
  }
}

// ---------------------------------------------------------------- device information

namespace {

// Exactly a value in two hex digits and ".", or the refusal "X".
bool wellFormedValue(const std::string& answer) {
  auto hexDigit = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  if (answer.size() == 1) return answer[0] == static_cast<char>(kRefused);
  return answer.size() == 3 && hexDigit(answer[0]) && hexDigit(answer[1]) && answer[2] == static_cast<char>(kAccepted);
}

}  // namespace

Engine::InfoAnswer Engine::askInfo(const char* record) {
  Exchanged x = exchange(record, true, kStopNone);
  const bool wellFormed = !x.echoMissing && wellFormedValue(x.reply);
  return {std::move(x.reply), wellFormed};
}

std::optional<std::string> Engine::confirmedValue(const char* record, std::string* answer) {
  // These answers carry no checksum, and a digit garbled into another digit still looks
  // well-formed: only two answers that agree count.
  std::optional<std::string> candidate;
  for (int asked = 0; asked < kInfoAskLimit && !run_.linkFailed(); ++asked) {
    const InfoAnswer a = askInfo(record);
    *answer = a.reply;
    std::string box = "Device information answer unexpected [" + a.reply + "]";
    if (a.wellFormed) {
      const std::string value = ReplyValue(a.reply);
      if (candidate == value) return value;
      const bool first = !candidate.has_value();
      box = "Device information answers disagree [" + *candidate + "] [" + value + "]";
      candidate = value;
      if (first) continue;
    }
    // OK asks again, after the drain that the box arranges.
    if (ShowError(box, true) == Button::Cancel) break;
  }
  return std::nullopt;
}

std::optional<std::string> Engine::readValue(const char* record, DeviceField field, std::string DeviceInfo::*member,
                                             std::string* answer) {
  std::optional<std::string> value;
  if (infoCheck == InfoCheck::Confirmed) {
    value = confirmedValue(record, answer);
  } else {
    const InfoAnswer a = askInfo(record);
    *answer = a.reply;
    value = ReplyValue(a.reply);
    if (!a.wellFormed) run_.infoIncomplete = true;
  }
  if (!value) {
    run_.infoIncomplete = true;
    return std::nullopt;
  }
  device_.*member = *value;
  deviceState_.deviceField(field, *value);
  return value;
}

Outcome Engine::readDeviceInfo(bool quiet) {
  CommandGuard guard(*this);
  if (!guard.entered()) return Outcome::ofKind(OutcomeKind::Aborted, Step::None);
  return finish(readInfo(quiet));
}

Outcome Engine::readInfo(bool quiet) {
  auto badAnswer = [](const std::string& text) {
    Outcome o = Outcome::ofKind(OutcomeKind::BadAnswer, Step::DeviceInfo);
    o.detail = text;
    return o;
  };
  std::string answer;
  // A record that never got a trusted answer (InfoCheck::Confirmed): it is named.
  auto untrusted = [&answer](const char* record) {
    Outcome o = Outcome::ofKind(OutcomeKind::BadAnswer, Step::DeviceInfo);
    o.record = AppendChecksum(record);
    o.detail = answer;
    return o;
  };
  progress_.debugLog("Load Misc");
  FlushInput();
  const struct {
    const char* record;
    DeviceField field;
    std::string DeviceInfo::*member;
  } identification[] = {
      {kReadManufacturer, DeviceField::Manu, &DeviceInfo::manu},
      {kReadFamily, DeviceField::DevFam, &DeviceInfo::devFam},
      {kReadMemoryCode, DeviceField::Mem, &DeviceInfo::mem},
      {kReadProduct, DeviceField::Product, &DeviceInfo::product},
  };
  for (const auto& id : identification) {
    if (!readValue(id.record, id.field, id.member, &answer)) return untrusted(id.record);
  }

  // Never set back: the chip size stays for the rest of the run.
  if (is32KPart(device_.mem)) images_.chipSize = kChipSize32K;

  // Software security: a refused answer ("X") counts as 0, so both lock boxes get ticked;
  // anything else that is not hex ends the command here.
  std::string security;
  if (infoCheck == InfoCheck::Confirmed) {
    const auto value = confirmedValue(kReadSecurity, &answer);
    if (!value) {
      run_.infoIncomplete = true;
      return untrusted(kReadSecurity);
    }
    security = *value;
  } else {
    const InfoAnswer a = askInfo(kReadSecurity);
    if (!a.wellFormed) run_.infoIncomplete = true;
    security = ReplyValue(a.reply);
  }
  std::uint32_t securityByte = 0;
  if (security != "X") {
    const auto value = parseHex(security);
    if (!value) return badAnswer(security);
    securityByte = *value;
  }
  device_.lock0 = (securityByte & kSecurityLock0Bit) == 0;
  device_.lock1 = (securityByte & kSecurityLock1Bit) == 0;
  deviceState_.lockBoxes(device_.lock0, device_.lock1);

  if (!readValue(kReadBootStatus, DeviceField::BSB, &DeviceInfo::bsb, &answer)) return untrusted(kReadBootStatus);
  if (!readValue(kReadBootVector, DeviceField::SBV, &DeviceInfo::sbv, &answer)) return untrusted(kReadBootVector);

  if (device_.manu == "X") return {};

  // The identification values in order; the first that does not convert and all after it
  // count as 0, the decision still runs, then the conversion failure ends the command.
  std::optional<std::string> failed;
  auto number = [&failed](const std::string& text) -> std::uint32_t {
    if (failed) return 0;
    const auto value = parseHex(text);
    if (!value) {
      failed = text;
      return 0;
    }
    return *value;
  };
  const std::uint32_t manufacturer = number(device_.manu);
  const std::uint32_t family = number(device_.devFam);
  const std::uint32_t product = number(device_.product);

  const KnownDevice* known = nullptr;
  for (const KnownDevice& d : kKnownDevices) {
    if (d.manufacturer == manufacturer && d.family == family && d.product == product) known = &d;
  }
  device_.known = known != nullptr;
  if (known) {
    if (!readValue(known->hsbRecord, DeviceField::HSB, &DeviceInfo::hsb, &answer)) return untrusted(known->hsbRecord);
    if (!readValue(known->versionRecord, DeviceField::BVersion, &DeviceInfo::bversion, &answer))
      return untrusted(known->versionRecord);
  } else if (!quiet) {
    prompts_.showNotice("unkonown Device - check manufactor, family, revision code");
  }
  if (failed) return badAnswer(*failed);
  return {};
}

// ---------------------------------------------------------------- progress and errors

void Engine::UpdateProgress(std::int32_t position, std::int32_t total, std::int32_t bytesPerStep) {
  if (position == 0) {
    run_.startTick = clock_.tickMs();
    progress_.progressFigures("", "");
  }
  // Unsigned 32-bit difference, so a tick count that wrapped still gives the right time.
  const std::int64_t elapsed = static_cast<std::uint32_t>(clock_.tickMs() - run_.startTick);
  progress_.progressPosition(position);
  if (elapsed > 0 && position > 0) {
    // 64-bit product: elapsed x remaining exceeds 32 bits after a minute on a slow link.
    const std::int64_t secondsLeft = elapsed * (std::int64_t{total} - position) / position / 1000;
    const std::int64_t bytesPerSecond = std::int64_t{position} * bytesPerStep * 1000 / elapsed;
    if (elapsed > 1000) progress_.progressFigures(std::to_string(secondsLeft) + "s ", std::to_string(bytesPerSecond));
  }
  progress_.processEvents();
}

Button Engine::ShowError(const std::string& text, bool cancellable) {
  // After Abort ended a wait, every box would be about an answer that was cut short; after a
  // line failed a call, about answers that cannot come. The outcome says why, once.
  if (run_.waitAborted || run_.linkFailed()) {
    downloadAbort.raise();
    return cancellable ? Button::Cancel : Button::Ok;
  }
  drainPending_ = true;
  // An OK-only box has no Cancel: whatever closed it counts as OK.
  const Button b = prompts_.showError(text, cancellable) == Button::Cancel && cancellable ? Button::Cancel : Button::Ok;
  if (b == Button::Cancel) downloadAbort.raise();
  return b;
}

}  // namespace velkorn::isp
