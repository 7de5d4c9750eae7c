#pragma once
// The main window: its widgets and handlers, the engine with its two images, the two hex
// views, the terminal with its timers and the settings binding. Its lines (serial port,
// network server, module) belong to WindowLines; the engine's boxes, progress, helper
// windows and device state to WindowOperator. It turns each command's outcome into the
// closing box, the tab changes and the hand-back to the terminal.
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
#include "ui/outcome_policy.h"
#include "ui/program_title.h"
#include "file/settings_file.h"
#include "ui/settings_binding.h"
#include "ui/terminal.h"
#include "ui/window_lines.h"
#include "ui/window_memory.h"
#include "ui/window_operator.h"

class QAction;
class QButtonGroup;
class QLineEdit;
class QTabWidget;
class QTimer;

namespace velkorn::link {
class TPowersock;
}

namespace velkorn::ui {

class BootloaderBox;
class THexDump;

inline constexpr int kTimer2IntervalMs = 200;    // the terminal's receive poll
// Read Chip asks a block again this many times after the confirming read before its bytes
// count as not read, as the command line does by default.
inline constexpr int kReadRetries = 3;
// The question before a close that would end a running command.
inline constexpr const char* kAbortAndQuitText = "A command is running. Abort it and quit?";

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  // `dialogs` answers every box; null means the real Qt boxes.
  explicit TForm1(Dialogs* dialogs = nullptr, QWidget* parent = nullptr);
  ~TForm1() override;

  isp::Engine& engine() { return engine_; }
  // The rate rgBaudClick last chose for the terminal; 0 before it ran (a restored selection
  // that did not run it leaves 0).
  int terminalRate() const { return terminalBaud_; }
  // The terminal memo's font (BitBtn2Click, the settings file).
  QFont terminalFont() const;
  void setTerminalFont(const QFont& font);
  TTerminal* terminal() const { return terminal_; }

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

  // ---- settings file
  void LoadSettings();
  void SaveSettings();

  // Sends one line of the terminal (SendTerminalLine); the function keys use it.
  std::function<void(const QString&)> sendTerminalLine;

  ModuleSocket& moduleSocket() { return lines_.module(); }
  // The network serial server's link while "&TCP/Winsock" has one open, else null.
  link::NetworkLink* networkLink() const { return lines_.networkLink(); }

  // ---- components, by the names the other parts use
  // The Device tab's rate group and module host field, which the settings binding reads and
  // restores.
  QButtonGroup* rgBaud = nullptr;
  QLineEdit* eIP = nullptr;
  // The socket to the network module (ReportLevel 0), owned by moduleSocket(); null only
  // when the socket layer could not be started, which was reported at start.
  link::TPowersock* sock = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The caption of hot key F(index + 1), as the terminal shows it.
  QString HotKeyCaption(int index) const;
  // Makes the tab the active page and runs PageControl1Change, as every tab change made
  // by the program does.
  void showPage(QWidget* sheet);
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
  // What the command's outcome shows (closingOf): the result panel, the closing box, the
  // hand-back to the terminal, or the lost line once the command has returned.
  void report(Command command, const isp::Outcome& outcome);
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
  // A HEX load ran to its end: the File Data view shows it, and a complete one enables
  // Reload.
  void fileLoadFinished(bool complete);
  // What a rate change did, on status panel 1 (and, with `refusal` in the debug log, the
  // box of a refused rate).
  void rateChanged(int rate, const Status& result);
  void setTabVisibleQuietly(QWidget* sheet, bool visible);
  void setCurrentTabQuietly(QWidget* sheet);
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


  // The window's components, by the names the handlers use.
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;  // "&File Data"
  QWidget* TabSheet2 = nullptr;  // "Chip Data"
  QWidget* TabSheet3 = nullptr;  // "&Terminal"
  QWidget* TabSheet4 = nullptr;  // "Device"
  THexDump* fileView = nullptr;
  THexDump* chipView = nullptr;
  QTimer* Timer1 = nullptr;  // the cyclic sender
  QTimer* Timer2 = nullptr;  // the terminal's receive poll
  // The menu bar's and the Device tab's components, by the names the handlers use.
  MainMenu menu_;
  DeviceTab device_;
  std::unique_ptr<Dialogs> ownDialogs_;
  DialogsGate gate_;   // shut while a close request waits for the running command
  Dialogs& dialogs_;
  WindowLines lines_;
  WindowOperator operator_;  // the engine's person: boxes, progress, sync and debug windows
  isp::SystemClock clock_;
  isp::Engine engine_;
  SettingsBinding settings_;
  int terminalBaud_ = 0;  // written only by rgBaudClick (and the first open, see OpenLink)
  TTerminal* terminal_ = nullptr;

  std::array<QLabel*, 3> panels_{};
  QLabel* resultPanel_ = nullptr;
  std::string uncomparedNoted_;  // the file whose data beyond the comparison was last said
  WindowMemory memory_;
  QString lastSaved_;  // where "Save Chip As..." last wrote
  // Why the line failed during a command, and where its read stopped: said once the command
  // has returned.
  std::optional<LineLoss> lineLostDuringCommand_;
  QTimer* lineWatch_ = nullptr;  // notices a line that died while no command runs
  QTimer* commandTick_ = nullptr;  // the running command's elapsed time, once a second
  QString resetChecked_;           // the reset field's text last checked
  QString runningStatus_;          // what the title and result panel last showed of it
  QString resultBefore_;           // the result panel before the command began

  bool commandRunning_ = false;
  bool programTabChange_ = false;   // the program, not the operator, changes the tab
  bool tabChangeDuringCommand_ = false;
  bool reloadDuringCommand_ = false;
  bool destroyed_ = false;
  // Key preview: one key press reaches the filter once per widget it propagates through.
  const QEvent* previewedKey_ = nullptr;
  quint64 previewedKeyTime_ = 0;
};

}  // namespace velkorn::ui
