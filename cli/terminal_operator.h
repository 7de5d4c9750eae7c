#pragma once
// The person at the bench, played by the command line: box texts go to stderr, a retry box
// is answered OK a limited number of times in a row, the synchronisation gives up after the
// configured time, and progress is a bar on a terminal or one line per phase otherwise.
// It also keeps the tally that decides the exit status: which boxes meant failure, which
// success notices came, whether the line was handed back to the terminal.
#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "isp/operator.h"

namespace velkorn::cli {

struct OperatorSettings {
  int retries = 3;
  std::chrono::milliseconds syncTimeout{60000};
  bool quiet = false;
  bool verbose = false;
  bool progressBar = false;  // stderr is a terminal
};

// The box texts the tally needs to recognise.
inline constexpr const char* kSyncFailedText = "Can not synchronize target \"U\"";
inline constexpr const char* kWriteFailedText = "Can not write to COM";

class TerminalOperator final : public isp::Operator {
 public:
  TerminalOperator(OperatorSettings settings, std::ostream& err);

  // ---- wiring
  // The record that the next box is about (the last one written): the same record twice
  // in a row means the engine is retrying it.
  std::function<std::string()> currentRecord;
  // Lock choices of the command line, applied whenever the chip's state has been read
  // (the window's check boxes follow the chip; here the command line decides).
  std::function<void()> onLockBoxes;
  // Raises the engine's download abort flag (Ctrl+C).
  std::function<void()> onInterrupt;
  std::string hexFile;                  // what the open dialog would return
  static std::atomic<bool> interrupted;  // set from the SIGINT / SIGTERM handler

  // ---- tally
  int failures() const { return failures_; }
  bool syncFailed() const { return syncFailed_; }
  bool cancelled() const { return cancelled_; }
  bool terminalShown() const { return terminalShown_; }
  bool sawMessage(const std::string& caption, const std::string& text) const;
  void resetTally();
  std::string field(isp::DeviceField f) const { return fields_[static_cast<int>(f)]; }
  bool chipLock0() const { return chipLock0_; }
  bool chipLock1() const { return chipLock1_; }
  const std::string& panel2() const { return panel2_; }
  // Closes a progress bar or a run of repeated boxes before other output.
  void finishLine();

  // ---- Operator
  isp::Button showError(const std::string& text, bool cancellable) override;
  void showNotice(const std::string& text) override;
  void showMessage(const std::string& caption, const std::string& text) override;
  bool askYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> askHexFileName(const std::string& remembered) override;
  void debugLog(const std::string& line) override;
  void processEvents() override;
  void setBusyCursor(bool) override {}
  void progressShow(const std::string& caption, int maximum) override;
  void progressCaption(const std::string& caption) override;
  void progressPosition(int position) override;
  void progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) override;
  void progressHide() override;
  void syncShow() override;
  bool syncCancelled() override;
  void syncHide() override {}
  void deviceField(isp::DeviceField field, const std::string& text) override;
  void lockBoxes(bool lock0, bool lock1) override;
  void statusPanel2(const std::string& text) override { panel2_ = text; }
  void repaintView(isp::View) override {}
  void setCurrentLine(isp::View, int) override {}
  void showTab(isp::Tab tab) override;
  void setTerminalPoll(bool) override {}
  int terminalBaudRate() override { return kTerminalRate; }
  void reloadAvailable() override {}

 private:
  // The line is handed back at the bootloader's rate: there is no terminal here.
  static constexpr int kTerminalRate = 115200;
  void printBox(const std::string& text);
  void drawBar();
  void showCaption(const std::string& caption);

  OperatorSettings settings_;
  std::ostream& err_;
  int failures_ = 0;
  bool syncFailed_ = false;
  bool cancelled_ = false;
  bool terminalShown_ = false;
  bool writeFailedInSync_ = false;
  std::vector<std::string> messages_;
  std::string lastRetryRecord_;
  int retriesInRow_ = 0;
  std::string lastBox_;
  int repeats_ = 0;
  std::chrono::steady_clock::time_point syncStart_{};
  std::string fields_[8];
  bool chipLock0_ = false;
  bool chipLock1_ = false;
  std::string panel2_;
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
