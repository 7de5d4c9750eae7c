#pragma once
// The person at the bench as the engine reaches them in the window: the boxes, the progress
// window, the synchronisation window, the debug window, the views and the Device tab. The
// main window owns it and hands it to the engine; what only the main window has (its views,
// its title and status panels, its terminal poll, the board's reset, the line's last error)
// it asks for through its hooks.
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "isp/person.h"
#include "isp/stop_flag.h"

class QWidget;

namespace velkorn::ui {

class DeviceTab;
class Dialogs;
class TDbgFrm;
class TDownLoadDlg;
class TSyncMessage;
class THexDump;

class WindowOperator final : public isp::Prompts, public isp::Progress, public isp::DeviceState {
 public:
  // What the operator asks of the main window; an empty hook asks nothing.
  struct Hooks {
    std::function<THexDump*(isp::View)> view;
    // The running step began or moved (title and result panel), or it ended.
    std::function<void()> stepChanged;
    std::function<void()> stepEnded;
    // What a device value says of the chip (status panel 2).
    std::function<void(const QString&)> deviceNote;
    // The synchronisation is about to wait for the target: the terminal's poll would take
    // the bootloader's bytes.
    std::function<void()> syncStarts;
    // The synchronisation window waits: the board's reset and bootloader-entry pins.
    std::function<void()> resetBoard;
    std::function<void(bool complete)> loadFinished;
  };

  // Boxes go through `dialogs` with `owner` as their window; `device` is the Device tab.
  WindowOperator(Dialogs& dialogs, QWidget* owner, DeviceTab& device);
  ~WindowOperator() override;
  WindowOperator(const WindowOperator&) = delete;
  WindowOperator& operator=(const WindowOperator&) = delete;

  void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  // The progress and synchronisation windows, hidden until an operation shows them; the
  // progress window's Abort raises `abort`.
  void createWindows(isp::StopFlag* abort);
  // The debug window, which lives until the program ends; a line logged before it is made
  // goes nowhere.
  void createDebugWindow();
  void showDebugWindow();

  // Raises the download abort and sync cancel flags, so that a running command ends at its
  // next look at them.
  void raiseStopFlags();
  // The window was closed while a command runs: the command is stopped at every turn and
  // nothing new shows until it has returned.
  void setClosing(bool closing) { closing_ = closing; }
  bool closing() const { return closing_; }
  // Answers the next open dialog with this file without showing it (nullopt: ask again).
  void chooseFile(std::optional<QString> path) { chosenFile_ = std::move(path); }
  // "Full Chip &Erase" runs: its wait behind the busy cursor gets the progress window.
  void setEraseRunning(bool running) { eraseRunning_ = running; }

  // What the running step does ("Programming... 42%", "Erasing... 12 s"); empty between
  // steps. A step that moves no bar shows its elapsed time in the progress window too.
  QString stepStatus();
  void endStep() { phase_.clear(); }
  // A pause in the synchronisation that Cancel (or the time-out) ends early.
  void pauseInSync(int ms);
  // A line under the synchronisation window's Cancel button.
  void syncStatus(const QString& text);

  // ---- isp::Prompts
  isp::Button showError(const std::string& text, bool cancellable) override;
  void showNotice(const std::string& text) override;
  bool askYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> askHexFileName(const std::string& remembered) override;

  // ---- isp::Progress
  void debugLog(const std::string& line) override;
  void lineFailed(const Error& error) override { lineFailure_ = error.message; }
  void processEvents() override;
  void setBusyCursor(bool busy) override;
  void progressShow(const std::string& caption, int maximum) override;
  void progressCaption(const std::string& caption) override;
  void progressPosition(int position) override;
  void progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) override;
  void progressHide() override;
  void syncShow() override;
  bool syncCancelled() override;
  void syncHide() override;
  void repaintView(isp::View view) override;
  void setCurrentLine(isp::View view, int line) override;
  void loadFinished(bool complete) override;

  // ---- isp::DeviceState
  void deviceField(isp::DeviceField field, const std::string& text) override;
  void lockBoxes(bool lock0, bool lock1) override;
  isp::BootChoice bootChoice() override;

 private:
  // A box the synchronisation loop asks for (a failed write): shown on the waiting window.
  void syncLineFailed(const std::string& text);
  void beginStep(const QString& caption);

  Dialogs& dialogs_;
  QWidget* owner_;
  DeviceTab& device_;
  Hooks hooks_;
  isp::StopFlag* abort_ = nullptr;
  TDbgFrm* DbgFrm = nullptr;
  TDownLoadDlg* DownLoadDlg = nullptr;
  TSyncMessage* SyncMessage = nullptr;

  QString phase_;             // the running step's caption; empty between steps
  QElapsedTimer phaseClock_;  // since the running step began
  bool closing_ = false;
  bool eraseRunning_ = false;
  bool busyCursor_ = false;
  std::optional<QString> chosenFile_;
  bool syncing_ = false;         // the synchronisation window waits for the target
  std::string lineFailure_;      // why the line's last failed call failed, as the line said
  std::string lastSyncFailure_;  // the reason last logged during this wait
  QElapsedTimer sinceEvents_;    // since pending messages last ran for the engine
};

}  // namespace velkorn::ui
