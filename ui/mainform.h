#pragma once
// The main window: its widgets and handlers, the engine with its two images, the two hex
// views, the terminal with its timers, the settings binding and the three helper windows.
// Its lines (serial port, network server, module) belong to WindowLines. It shows the
// engine's boxes, progress and device state (Prompts, Progress, DeviceState), and turns
// each command's outcome into the closing box, the tab changes and the hand-back to the
// terminal.
#include <QElapsedTimer>
#include <QFont>
#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "isp/clock.h"
#include "isp/engine.h"
#include "isp/outcome.h"
#include "isp/person.h"
#include "link/serial_port.h"
#include "ui/device_tab.h"
#include "ui/dialogs.h"
#include "ui/main_menu.h"
#include "ui/program_title.h"
#include "ui/settings.h"
#include "ui/settings_binding.h"
#include "ui/terminal.h"
#include "ui/window_lines.h"
#include "ui/window_memory.h"

class QAction;
class QTabWidget;
class QTimer;

namespace velkorn::link {
class TPowersock;
}

namespace velkorn::ui {

class TDbgFrm;
class TDownLoadDlg;
class TSyncMessage;
class THexDump;

inline constexpr int kTimer2IntervalMs = 200;    // the terminal's receive poll
inline constexpr int kHotKeys = 6;               // F1 to F6
// Read Chip asks a block again this many times after the confirming read before its bytes
// count as not read, as the command line does by default.
inline constexpr int kReadRetries = 3;
// The question before a close that would end a running command.
inline constexpr const char* kAbortAndQuitText = "A command is running. Abort it and quit?";

// The menu's and the Device tab's widgets are the window's own by name (MProg, lManu, ...).
class TForm1 : public QMainWindow,
               public MainMenu,
               public DeviceTab,
               public isp::Prompts,
               public isp::Progress,
               public isp::DeviceState {
  Q_OBJECT

 public:
  // `dialogs` answers every box; null means the real Qt boxes.
  explicit TForm1(Dialogs* dialogs = nullptr, QWidget* parent = nullptr);
  ~TForm1() override;

  isp::Engine& engine() { return engine_; }
  link::SerialPort& serialPort() { return lines_.serialPort(); }
  TDbgFrm* debugWindow() const { return DbgFrm; }
  TDownLoadDlg* downloadWindow() const { return DownLoadDlg; }
  TSyncMessage* syncWindow() const { return SyncMessage; }
  int terminalRate() const { return terminalBaud_; }
  // The terminal memo's font (BitBtn2Click, the settings file).
  QFont terminalFont() const;
  void setTerminalFont(const QFont& font);
  TTerminal* terminal() const { return terminal_; }
  // The text of a status bar panel (0 to 2).
  QString panelText(int panel) const;
  // The last command's result and its time, kept until the next command ends.
  QString resultText() const;
  // Number of system beeps sounded by the function keys.
  int beeps() const { return beeps_; }

  // ---- handlers
  // Which of COM1 to COM8 can be opened: each entry enabled exactly then, its device path
  // after the tab, and why it cannot be opened beside the path and in its tool tip.
  void ProbePorts();
  bool OpenLink(int n);
  void SetBaudRate(int rate);
  void rgBaudClick();
  // Selects a rate entry by program (a settings restore); runs rgBaudClick like a click.
  void selectBaudIndex(int index);
  void COM11Click(QAction* sender);
  // "Network &Host...": the host field's text in a box, then the network entry opened on it.
  void MHostClick();
  void PageControl1Change();
  void Exit1Click();
  void Debug1Click();
  isp::Button ShowError(const QString& text, bool cancellable);
  // Function keys: returns whether the key was one of F1..F6 that sent a line.
  bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
  void LoadFile1Click();
  // Loads this file as "&Load File" would after the operator picked it in the dialog (a
  // file dropped on the window, the file named on the command line). False when a command
  // runs and nothing was loaded.
  bool loadHexFileNamed(const QString& path);
  void MReadClick();
  void CompareFileClick();
  void MProgClick();
  void MEraseClick();
  void MBSBClick();
  void MReloadClick();
  void BitBtn1Click();
  void BitBtn2Click();
  void GroupBox1DblClick();
  void eIPChange();
  void FormDestroy();

  // ---- what the window remembers between runs (mainform_memory.cpp)
  // Loads a file of the "Rece&nt" menu as a dropped file loads; one that is gone leaves it.
  void RecentFileClick(const QString& path);
  // Writes what the last read got to a file the operator picks: Intel HEX, or binary when
  // the whole chip was read.
  void SaveChipClick();
  const WindowMemory& memory() const { return memory_; }

  // ---- settings file
  void LoadSettings();
  void SaveSettings();
  // The values SaveSettings writes, taken from the window as it stands.
  Settings currentSettings() const;

  // Sends one line of the terminal (SendTerminalLine); the function keys use it.
  std::function<void(const QString&)> sendTerminalLine;
  // The caption of hot key F(index + 1), as the terminal shows it.
  QString HotKeyCaption(int index) const;

  // Makes the tab the active page and runs PageControl1Change, as every tab change made
  // by the program does.
  void showPage(QWidget* sheet);
  ModuleSocket& moduleSocket() { return lines_.module(); }
  // The network serial server's link while "&TCP/Winsock" has one open, else null.
  link::NetworkLink* networkLink() const { return lines_.networkLink(); }

  // ---- isp::Prompts
  isp::Button showError(const std::string& text, bool cancellable) override;
  void showNotice(const std::string& text) override;
  bool askYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> askHexFileName(const std::string& remembered) override;

  // ---- isp::Progress
  void debugLog(const std::string& line) override;
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

  // ---- components, by the names the handlers and the other parts use
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;  // "&File Data"
  QWidget* TabSheet2 = nullptr;  // "Chip Data"
  QWidget* TabSheet3 = nullptr;  // "&Terminal"
  QWidget* TabSheet4 = nullptr;  // "Device"
  THexDump* fileView = nullptr;
  THexDump* chipView = nullptr;
  QTimer* Timer1 = nullptr;  // the cyclic sender
  QTimer* Timer2 = nullptr;  // the terminal's receive poll
  // The socket to the network module (ReportLevel 0), owned by moduleSocket(); null only
  // when the socket layer could not be started, which was reported at start.
  link::TPowersock* sock = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildTabs();
  void buildStatusBar();
  void connectComponents();
  void FormCreate();
  void connectTerminal();
  // Runs a handler so that a failure escaping it ends in an error box with its text, and
  // the window goes on.
  void guarded(const std::function<void()>& handler);
  // Runs a chip command or a HEX load with the commands that could start another one
  // disabled, and restores them afterwards.
  void runCommand(const std::function<void()>& command);
  // A chip command: with no line open it says so at once instead of seeking the target.
  void runChipCommand(const std::function<void()>& command);
  // The line failed: it is dropped, the window shows no line, and one box says why; the
  // status bar adds `note` (where a read stopped).
  void lineLost(const std::string& why, const QString& note = {});
  // The window's face without a line: no port in the status bar, chip commands disabled.
  void showNoLine();
  // The closing box of a command that did not end done (most of its boxes came while it
  // ran).
  void report(const isp::Outcome& outcome);
  // Program & Verify, Reload and the boot configuration: the success box (when wanted and
  // done) and the hand-back once the boot configuration is written, else the report.
  void closeBootConfig(const isp::Outcome& outcome, bool successBox, const QString& doneText);
  void noteResult(const QString& text);
  // Program & Verify, Verify File and Reload: the data's blocks and blank checks, or every
  // block when the operator chose to read back the whole chip.
  isp::Verification verification() const;
  // A change of line: what the window knows of the board (the Device tab, the chip data,
  // the chip size, the last result) was another board's until this one is read.
  void forgetBoard();
  // The Device tab's "Bootloader line" box, from and into the window's memory.
  void startBootloaderBox();
  void bootRateEdited();
  void resetSequenceEdited();
  // The modem-line steps chosen for the reset, run on the open line before the first "U".
  void runResetSequence();
  // What a running command does ("Programming... 42%", "Erasing... 12 s"), in the window's
  // title (and so the task bar) and in the result panel; the title without it afterwards.
  void refreshRunningStatus();
  // The running step has ended: the title and the result panel as they were.
  void endRunningStatus();
  void refreshTitle();
  // The line goes back to the terminal: its rate, its receive poll, its tab.
  void handBack();
  // What a rate change did, on status panel 1 (and, with `refusal` in the debug log, the
  // box of a refused rate).
  void rateChanged(int rate, const Status& result);
  void setTabVisibleQuietly(QWidget* sheet, bool visible);
  void setCurrentTabQuietly(QWidget* sheet);
  THexDump* viewOf(isp::View view) const;
  void setPanel(int panel, const QString& text);
  // What the window remembers: read at start, the last port reopened (mainform_memory.cpp).
  void startMemory();
  void refreshRecentMenu();
  // "Save Chip As..." is there while the last read got a byte.
  void refreshSaveChip();
  // After the operator chose a line: a COM entry that opened is remembered, else none.
  void rememberLine();
  void reopenLastPort();
  void rememberLoadedFile(const isp::Outcome& loaded);

  // Raises the download abort and sync cancel flags, so that a running command ends at its
  // next look at them.
  void raiseStopFlags();
  // A box the synchronisation loop asks for (a failed write): shown on the waiting window.
  void syncLineFailed(const std::string& text);

  std::unique_ptr<Dialogs> ownDialogs_;
  DialogsGate gate_;   // shut while a close request waits for the running command
  Dialogs& dialogs_;
  WindowLines lines_;
  isp::SystemClock clock_;
  isp::Engine engine_;
  SettingsBinding settings_;
  int terminalBaud_ = 0;  // written only by rgBaudClick (and the first open, see OpenLink)
  TTerminal* terminal_ = nullptr;

  TDbgFrm* DbgFrm = nullptr;
  TDownLoadDlg* DownLoadDlg = nullptr;
  TSyncMessage* SyncMessage = nullptr;
  std::array<QLabel*, 3> panels_{};
  QLabel* resultPanel_ = nullptr;
  std::string uncomparedNoted_;  // the file whose data beyond the comparison was last said
  WindowMemory memory_;
  QString lastSaved_;  // where "Save Chip As..." last wrote
  // Why the line failed during a command, and where its read stopped: said once the command
  // has returned.
  std::optional<std::pair<std::string, QString>> lineLostDuringCommand_;
  QTimer* lineWatch_ = nullptr;  // notices a line that died while no command runs
  QTimer* commandTick_ = nullptr;  // the running command's elapsed time, once a second
  QElapsedTimer phaseClock_;       // since the running step began
  QString resetChecked_;           // the reset field's text last checked
  QString phase_;                  // the running step's caption; empty between commands
  QString runningStatus_;          // what the title and result panel last showed of it
  QString resultBefore_;           // the result panel before the command began
  bool eraseCommand_ = false;      // "Full Chip &Erase" runs: its wait gets the progress window

  int beeps_ = 0;
  bool busyCursor_ = false;
  bool commandRunning_ = false;
  bool programTabChange_ = false;   // the program, not the operator, changes the tab
  bool tabChangeDuringCommand_ = false;
  bool reloadDuringCommand_ = false;
  bool destroyed_ = false;
  bool closeRequested_ = false;  // the window was closed while a command ran
  std::optional<QString> chosenFile_;  // answers the next open dialog without showing it
  bool syncing_ = false;         // the synchronisation window waits for the target
  std::string lastSyncFailure_;  // the reason last logged during this wait
  QElapsedTimer sinceEvents_;    // since pending messages last ran for the engine
  // Key preview: one key press reaches the filter once per widget it propagates through.
  const QEvent* previewedKey_ = nullptr;
  quint64 previewedKeyTime_ = 0;
};

}  // namespace velkorn::ui
