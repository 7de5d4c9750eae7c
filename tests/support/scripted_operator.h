#pragma once
// The person at the bench for engine tests: answers boxes from a script and records
// everything the engine showed, in order, as short text events ("error|text|okcancel",
// "progress|Erasing...|9", "load|complete", ...). The sync window's 60-step limit runs on
// the fake clock; the boot choice is whatever the test sets.
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "isp/person.h"
#include "fake_clock.h"

namespace velkorn::testing {

class ScriptedOperator final : public isp::Prompts, public isp::Progress, public isp::DeviceState {
 public:
  explicit ScriptedOperator(FakeClock& clock) : clock_(clock) {}

  // ---- script
  std::deque<isp::Button> errorAnswers;           // default Ok when empty
  std::deque<bool> yesNoAnswers;                  // default Yes when empty
  std::deque<std::optional<std::string>> fileAnswers;  // default: cancelled
  bool cancelSyncNow = false;                     // the Cancel button of the sync window
  int syncLimitSeconds = 60;                      // the window's bar maximum
  std::function<void()> onProcessEvents;          // e.g. press Abort after n steps
  std::function<bool()> stopWhen;                 // the command line's Ctrl+C, when it says so
  isp::BootChoice choice;                         // what the Device tab's boxes say

  // ---- record
  std::vector<std::string> events;
  std::vector<std::string> log;      // the debug log lines
  int processEventsCalls = 0;
  int progressPositionCalls = 0;
  int lastProgressPosition = -1;
  std::string timeLeft, bytesPerSecond;
  std::string fields[8];
  bool lock0 = false, lock1 = false;  // what the lock boxes were last set to

  // The events of one kind ("error", "message", ...), without the kind.
  std::vector<std::string> of(const std::string& kind) const;
  std::vector<std::string> errors() const { return of("error"); }

  isp::Button showError(const std::string& text, bool cancellable) override;
  void showNotice(const std::string& text) override { events.push_back("notice|" + text); }
  bool askYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> askHexFileName(const std::string& remembered) override;
  void debugLog(const std::string& line) override { log.push_back(line); }
  void processEvents() override {
    ++processEventsCalls;
    if (onProcessEvents) onProcessEvents();
  }
  bool stopRequested() override { return stopWhen && stopWhen(); }
  void setBusyCursor(bool busy) override { events.push_back(busy ? "cursor|busy" : "cursor|normal"); }
  void progressShow(const std::string& caption, int maximum) override {
    events.push_back("progress|" + caption + "|" + std::to_string(maximum));
  }
  void progressCaption(const std::string& caption) override { events.push_back("caption|" + caption); }
  void progressPosition(int position) override {
    ++progressPositionCalls;
    lastProgressPosition = position;
  }
  void progressFigures(const std::string& t, const std::string& cps) override {
    timeLeft = t;
    bytesPerSecond = cps;
  }
  void progressHide() override { events.push_back("progress|hide"); }
  void syncShow() override;
  bool syncCancelled() override;
  void syncHide() override { events.push_back("sync|hide"); }
  void deviceField(isp::DeviceField field, const std::string& text) override {
    fields[static_cast<int>(field)] = text;
  }
  void lockBoxes(bool l0, bool l1) override { lock0 = l0; lock1 = l1; }
  isp::BootChoice bootChoice() override { return choice; }
  void repaintView(isp::View view) override { events.push_back(view == isp::View::Chip ? "repaint|chip" : "repaint|file"); }
  void setCurrentLine(isp::View view, int line) override {
    events.push_back(std::string(view == isp::View::Chip ? "line|chip|" : "line|file|") + std::to_string(line));
  }
  void loadFinished(bool complete) override { events.push_back(complete ? "load|complete" : "load|incomplete"); }

  std::string field(isp::DeviceField f) const { return fields[static_cast<int>(f)]; }

 private:
  FakeClock& clock_;
  std::uint32_t syncShownAt_ = 0;
};

}  // namespace velkorn::testing
