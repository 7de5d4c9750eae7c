#pragma once
// The person at the bench, played by the command line: box texts go to stderr, a
// cancellable box is answered OK a limited number of times in a row, the synchronisation
// gives up after the configured time, progress is a bar on a terminal or one line per phase
// otherwise, and the security and boot choice comes from the command line's options.
// It shows; it never judges: whether a command succeeded is its Outcome's business.
#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include "isp/person.h"

namespace velkorn::cli {

struct OperatorSettings {
  int retries = 3;
  std::chrono::milliseconds syncTimeout{60000};
  bool quiet = false;
  bool verbose = false;
  bool progressBar = false;  // stderr is a terminal
  isp::BootChoice bootChoice;
};

// Every line velkorn-cli writes on stderr starts with this.
inline constexpr const char* kStderrPrefix = "velkorn-cli: ";

class TerminalOperator final : public isp::Headless {
 public:
  TerminalOperator(OperatorSettings settings, std::ostream& err);
  ~TerminalOperator() override;
  TerminalOperator(const TerminalOperator&) = delete;
  TerminalOperator& operator=(const TerminalOperator&) = delete;

  // ---- wiring
  // The record that the next box is about (the engine's last record): the same record in
  // two boxes in a row means the engine is retrying it.
  std::function<std::string()> currentRecord;
  // Raises the engine's download abort flag (Ctrl+C).
  std::function<void()> onInterrupt;
  // Whether the line has failed a write since the port was opened: a port that refuses
  // writes has gone away, and waiting out the synchronisation limit cannot help.
  std::function<bool()> lineFailed;
  static std::atomic<bool> interrupted;  // set from the SIGINT / SIGTERM handler
  // When set, the phase and its progress go here (one status line among several boards)
  // instead of a bar or a line per phase; percent is -1 in a phase without figures.
  std::function<void(const std::string& phase, int percent, const std::string& timeLeft)> onStatus;

  // One line on stderr, prefixed, after closing a progress bar or a run of repeated boxes.
  void say(const std::string& text);
  // Differing addresses that were counted but not printed (beyond the first few).
  int unshownDifferences() const;
  // Closes a progress bar or a run of repeated boxes before other output.
  void finishLine();

  // ---- Prompts
  isp::Button showError(const std::string& text, bool cancellable) override;
  void showNotice(const std::string& text) override;
  bool askYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> askHexFileName(const std::string& remembered) override;

  // ---- Progress
  void debugLog(const std::string& line) override;
  void processEvents() override;
  bool stopRequested() override { return interrupted; }
  void progressShow(const std::string& caption, int maximum) override;
  void progressCaption(const std::string& caption) override;
  void progressPosition(int position) override;
  void progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) override;
  void progressHide() override;
  void syncShow() override;
  bool syncCancelled() override;

  // ---- DeviceState: what the chip says is in engine.device(); the choice is the options'.
  isp::BootChoice bootChoice() override { return settings_.bootChoice; }

 private:
  void printBox(const std::string& text);
  std::string boxLine() const;
  void drawBar();
  int percentDone() const;
  void showCaption(const std::string& caption);

  OperatorSettings settings_;
  std::ostream& err_;
  std::string lastRetryRecord_;
  int retriesInRow_ = 0;
  int differenceBoxes_ = 0;  // "Chip does not match file at" boxes of the run
  std::string lastBox_;  // the box shown last, while nothing else came after it
  int boxCount_ = 0;     // ... and how many times in a row
  bool boxOpen_ = false;  // on a terminal: its line is the last one, not ended yet
  std::chrono::steady_clock::time_point syncStart_{};
  // progress
  bool shown_ = false;  // between progressShow and progressHide
  std::string caption_;
  int maximum_ = 0;
  int position_ = 0;
  std::string timeLeft_, bytesPerSecond_;
  bool barShown_ = false;
  int drawnPercent_ = -1;
  std::chrono::steady_clock::time_point drawnAt_{};
};

}  // namespace velkorn::cli
