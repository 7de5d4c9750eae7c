#include "cli/terminal_operator.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace velkorn::cli {
namespace {

// Boxes whose OK makes the engine send the same request again. Every other error box tells
// of a failure that OK cannot repair: a format error in a read answer is skipped on OK (the
// bytes of that line stay unread), a mismatch stays a mismatch.
bool isRetryBox(const std::string& text) {
  static const char* const kRetryPrefixes[] = {"Ack Error Retry! s=", "Read record length unexpected "};
  return std::any_of(std::begin(kRetryPrefixes), std::end(kRetryPrefixes),
                     [&text](const char* p) { return text.rfind(p, 0) == 0; });
}

// Debug lines and box texts carry raw replies (CR LF inside read answers): keep stderr one
// line each.
std::string visible(const std::string& line) {
  std::string out;
  for (unsigned char c : line) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

constexpr int kBarWidth = 30;
constexpr std::chrono::milliseconds kBarRedrawInterval{100};

}  // namespace

std::atomic<bool> TerminalOperator::interrupted{false};

TerminalOperator::TerminalOperator(OperatorSettings settings, std::ostream& err)
    : settings_(settings), err_(err) {}

bool TerminalOperator::sawMessage(const std::string& caption, const std::string& text) const {
  return std::find(messages_.begin(), messages_.end(), caption + "|" + text) != messages_.end();
}

void TerminalOperator::resetTally() {
  failures_ = 0;
  syncFailed_ = cancelled_ = terminalShown_ = false;
  messages_.clear();
  lastRetryRecord_.clear();
  retriesInRow_ = 0;
}

void TerminalOperator::finishLine() {
  if (barShown_) {
    err_ << '\n';
    barShown_ = false;
    drawnPercent_ = -1;
  }
  if (repeats_ > 0) {
    err_ << "(the last message came " << repeats_ << " more times)\n";
    repeats_ = 0;
  }
  lastBox_.clear();
  err_.flush();
}

void TerminalOperator::printBox(const std::string& text) {
  // A dead line repeats the same box once per attempt: print it once and count the rest.
  if (text == lastBox_) {
    ++repeats_;
    return;
  }
  finishLine();
  // Read-back boxes quote the chip's answer with its CR LF: escaped, each box keeps one line.
  err_ << visible(text) << '\n';
  err_.flush();
  lastBox_ = text;
}

isp::Button TerminalOperator::showError(const std::string& text, bool cancellable) {
  printBox(text);
  if (text == kSyncFailedText) syncFailed_ = true;
  if (text == kWriteFailedText) writeFailedInSync_ = true;
  if (!cancellable) {
    ++failures_;
    return isp::Button::Ok;
  }
  // A box whose OK goes on without the data it complains of (a malformed read line) fails
  // the command whatever the answer; a retry box fails it only when the retries run out.
  if (!isRetryBox(text)) ++failures_;
  const std::string record = currentRecord ? currentRecord() : std::string();
  retriesInRow_ = (record == lastRetryRecord_) ? retriesInRow_ + 1 : 1;
  lastRetryRecord_ = record;
  if (retriesInRow_ > settings_.retries || interrupted) {
    if (isRetryBox(text)) ++failures_;
    cancelled_ = true;
    return isp::Button::Cancel;
  }
  return isp::Button::Ok;
}

void TerminalOperator::showNotice(const std::string& text) { printBox(text); }

void TerminalOperator::showMessage(const std::string& caption, const std::string& text) {
  messages_.push_back(caption + "|" + text);
  // The box's text alone, as the window shows it (its caption is the title bar's).
  if (!settings_.quiet) printBox(text);
}

bool TerminalOperator::askYesNo(const std::string& caption, const std::string& text) {
  // No command of the command line asks; should one, it goes on as the window's default.
  printBox(caption + ": " + text + " Yes");
  return true;
}

std::optional<std::string> TerminalOperator::askHexFileName(const std::string&) {
  if (hexFile.empty()) return std::nullopt;
  return hexFile;
}

void TerminalOperator::debugLog(const std::string& line) {
  if (!settings_.verbose) return;
  finishLine();
  err_ << "debug: " << visible(line) << '\n';
}

void TerminalOperator::processEvents() {
  if (interrupted && onInterrupt) onInterrupt();
}

void TerminalOperator::progressShow(const std::string& caption, int maximum) {
  shown_ = true;
  maximum_ = maximum;
  position_ = 0;
  timeLeft_.clear();
  bytesPerSecond_.clear();
  showCaption(caption);
}

void TerminalOperator::progressCaption(const std::string& caption) {
  // A caption set while the window is hidden only shows when the window does.
  if (!shown_ || caption == caption_) {
    caption_ = caption;
    return;
  }
  showCaption(caption);
}

void TerminalOperator::showCaption(const std::string& caption) {
  caption_ = caption;
  if (settings_.quiet) return;
  finishLine();
  if (settings_.progressBar) {
    drawBar();
  } else {
    err_ << caption << '\n';
    err_.flush();
  }
}

void TerminalOperator::progressPosition(int position) {
  position_ = position;
  if (shown_ && !settings_.quiet && settings_.progressBar) drawBar();
}

void TerminalOperator::progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) {
  timeLeft_ = timeLeft;
  bytesPerSecond_ = bytesPerSecond;
}

void TerminalOperator::progressHide() {
  if (barShown_) finishLine();
  shown_ = false;
  caption_.clear();
}

void TerminalOperator::drawBar() {
  // Programming counts records against the file's line count, retries included: the
  // position can pass the maximum.
  const int percent =
      maximum_ > 0 ? static_cast<int>(std::clamp<long long>(100LL * position_ / maximum_, 0, 100)) : 0;
  const auto now = std::chrono::steady_clock::now();
  if (barShown_ && percent == drawnPercent_ && now - drawnAt_ < kBarRedrawInterval) return;
  drawnPercent_ = percent;
  drawnAt_ = now;
  const int filled = percent * kBarWidth / 100;
  std::string line = "\r\033[K" + caption_ + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                     std::to_string(percent) + "%";
  if (!bytesPerSecond_.empty()) line += "  " + bytesPerSecond_ + " B/s";
  if (!timeLeft_.empty()) line += "  " + timeLeft_ + "left";
  err_ << line;
  err_.flush();
  barShown_ = true;
  lastBox_.clear();
}

void TerminalOperator::syncShow() {
  syncStart_ = std::chrono::steady_clock::now();
  writeFailedInSync_ = false;
  if (!settings_.quiet) {
    finishLine();
    err_ << "Synchronize...\n";
    err_.flush();
  }
}

bool TerminalOperator::syncCancelled() {
  // A port that refuses every write has gone away: waiting out the limit cannot help.
  if (writeFailedInSync_ || interrupted) return true;
  return std::chrono::steady_clock::now() - syncStart_ >= settings_.syncTimeout;
}

void TerminalOperator::deviceField(isp::DeviceField field, const std::string& text) {
  fields_[static_cast<int>(field)] = text;
}

void TerminalOperator::lockBoxes(bool lock0, bool lock1) {
  chipLock0_ = lock0;
  chipLock1_ = lock1;
  if (onLockBoxes) onLockBoxes();
}

void TerminalOperator::showTab(isp::Tab tab) {
  if (tab == isp::Tab::Terminal) terminalShown_ = true;
}

}  // namespace velkorn::cli
