#include "cli/terminal_operator.h"

#include "cli/outcome_report.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace velkorn::cli {
namespace {

// Debug lines and box texts carry raw replies (CR LF inside read answers) and names from
// outside: each message keeps one line, and no control character reaches the terminal.
std::string visible(const std::string& line) { return printable(line); }

constexpr int kBarWidth = 30;
constexpr std::chrono::milliseconds kBarRedrawInterval{100};

}  // namespace

std::atomic<bool> TerminalOperator::interrupted{false};

TerminalOperator::TerminalOperator(OperatorSettings settings, std::ostream& err)
    : settings_(settings), err_(err) {}

// A box still held (off a terminal) is printed before the operator goes.
TerminalOperator::~TerminalOperator() { finishLine(); }

void TerminalOperator::finishLine() {
  if (barShown_ || boxOpen_) {
    err_ << '\n';
    barShown_ = false;
    drawnPercent_ = -1;
  } else if (!lastBox_.empty() && !settings_.progressBar) {
    err_ << boxLine() << '\n';
  }
  boxOpen_ = false;
  lastBox_.clear();
  boxCount_ = 0;
  err_.flush();
}

std::string TerminalOperator::boxLine() const {
  std::string line = kStderrPrefix + visible(lastBox_);
  if (boxCount_ > 1) line += " (" + std::to_string(boxCount_) + " times)";
  return line;
}

void TerminalOperator::say(const std::string& text) {
  finishLine();
  // Read-back boxes quote the chip's answer with its CR LF: escaped, each text keeps one line.
  err_ << kStderrPrefix << visible(text) << '\n';
  err_.flush();
}

void TerminalOperator::printBox(const std::string& text) {
  // A dead line repeats the same box once per attempt, a bad HEX line once per unreadable
  // byte: one line with the count says it all. On a terminal the line is shown at once and
  // its count rewritten in place (above the progress bar when one is drawn below it);
  // elsewhere it is held until another line or the end comes.
  if (!lastBox_.empty() && text == lastBox_) {
    ++boxCount_;
    if (!settings_.progressBar) return;
    if (boxOpen_) {
      err_ << "\r\033[K" << boxLine();
    } else {
      err_ << "\r\033[K\033[A\r\033[K" << boxLine() << '\n';
      barShown_ = false;
      drawBar();
    }
    err_.flush();
    return;
  }
  finishLine();
  lastBox_ = text;
  boxCount_ = 1;
  if (!settings_.progressBar) return;
  err_ << boxLine();
  err_.flush();
  boxOpen_ = true;
}

namespace {
// A difference in a whole block is up to 256 boxes, one per byte: the first few say where,
// a count says the rest.
constexpr const char* kDifferenceBox = "Chip does not match file at @";
constexpr int kShownDifferences = 10;
}  // namespace

int TerminalOperator::unshownDifferences() const {
  return settings_.verbose ? 0 : std::max(differenceBoxes_ - kShownDifferences, 0);
}

isp::Button TerminalOperator::showError(const std::string& text, bool cancellable) {
  // Those boxes ask nothing (the read ends after the block), so the rest are only counted.
  if (text.rfind(kDifferenceBox, 0) == 0 && ++differenceBoxes_ > kShownDifferences && !settings_.verbose &&
      !cancellable) {
    return isp::Button::Ok;
  }
  printBox(text);
  if (!cancellable) return isp::Button::Ok;
  // OK sends the same record again, or goes on past what the box complains of; either way
  // the outcome tells whether the command got what it needed.
  const std::string record = currentRecord ? currentRecord() : std::string();
  retriesInRow_ = (record == lastRetryRecord_) ? retriesInRow_ + 1 : 1;
  lastRetryRecord_ = record;
  if (retriesInRow_ > settings_.retries || interrupted) return isp::Button::Cancel;
  return isp::Button::Ok;
}

void TerminalOperator::showNotice(const std::string& text) { printBox(text); }

bool TerminalOperator::askYesNo(const std::string& caption, const std::string& text) {
  // No command of the command line asks; should one, it goes on as the window's default.
  printBox(caption + ": " + text + " Yes");
  return true;
}

std::optional<std::string> TerminalOperator::askHexFileName(const std::string&) {
  // There is no dialog here: the file comes from the command line and is loaded without one.
  return std::nullopt;
}

void TerminalOperator::debugLog(const std::string& line) {
  if (settings_.verbose) say("debug: " + line);
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
  if (onStatus) {
    onStatus(caption, 0, "");
    return;
  }
  if (settings_.progressBar) {
    finishLine();
    drawBar();
  } else {
    say(caption);
  }
}

void TerminalOperator::progressPosition(int position) {
  position_ = position;
  if (shown_ && !settings_.quiet && onStatus) onStatus(caption_, percentDone(), timeLeft_);
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
  const int percent = percentDone();
  const auto now = std::chrono::steady_clock::now();
  if (barShown_ && percent == drawnPercent_ && now - drawnAt_ < kBarRedrawInterval) return;
  drawnPercent_ = percent;
  drawnAt_ = now;
  const int filled = percent * kBarWidth / 100;
  std::string line = "\r\033[K" + std::string(kStderrPrefix) + caption_ + " [" +
                     std::string(static_cast<std::size_t>(filled), '#') +
                     std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
                     std::to_string(percent) + "%";
  if (!bytesPerSecond_.empty()) line += "  " + bytesPerSecond_ + " B/s";
  if (!timeLeft_.empty()) line += "  " + timeLeft_ + "left";
  // A box's line ends here; its repeats are counted on it, above the bar.
  if (boxOpen_) err_ << '\n';
  boxOpen_ = false;
  err_ << line;
  err_.flush();
  barShown_ = true;
}

int TerminalOperator::percentDone() const {
  // Programming counts records against the file's line count, retries included: the
  // position can pass the maximum.
  return maximum_ > 0 ? static_cast<int>(std::clamp<long long>(100LL * position_ / maximum_, 0, 100)) : 0;
}

void TerminalOperator::syncShow() {
  syncStart_ = std::chrono::steady_clock::now();
  if (settings_.quiet) return;
  if (onStatus) {
    onStatus("Synchronize...", -1, "");
  } else {
    say("Synchronize...");
  }
}

bool TerminalOperator::syncCancelled() {
  // A port that refuses writes has gone away: waiting out the limit cannot help.
  if (interrupted || (lineFailed && lineFailed())) return true;
  return std::chrono::steady_clock::now() - syncStart_ >= settings_.syncTimeout;
}

}  // namespace velkorn::cli
