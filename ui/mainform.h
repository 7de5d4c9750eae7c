#pragma once
// The main window: owner of the serial port, the socket to the network module, the engine
// with its two images and the device state, the two hex views, the terminal with its timers
// and the three helper windows. It is the engine's Link (on its serial port) and its
// Operator (boxes, progress and sync windows, debug log, views), and the terminal's link
// (serial port or socket); the menu handlers hand the chip commands to the engine.
#include <QFont>
#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "isp/clock.h"
#include "isp/engine.h"
#include "isp/link.h"
#include "isp/operator.h"
#include "link/serial_port.h"
#include "ui/settings.h"
#include "ui/terminal.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTabWidget;
class QTimer;

namespace velkorn::link {
class TPowersock;
}

namespace velkorn::ui {

class Dialogs;
class TDbgFrm;
class TDownLoadDlg;
class TSyncMessage;
class THexDump;

inline constexpr const char* kProgramTitle = "Velkorn RD2 / ED2 v0.98";
inline constexpr const char* kProgramVersion = "0.98";
inline constexpr int kPortEntries = 8;           // COM1 to COM8
inline constexpr int kTimer2IntervalMs = 200;    // the terminal's receive poll
inline constexpr int kDefaultBaudIndex = 9;      // "115200", selected in the layout
inline constexpr int kHotKeys = 6;               // F1 to F6
inline constexpr const char* kDefaultModuleHost = "IP";
// The fixed text of the failed TCP connect box, naming the module by its default host name.
inline constexpr const char* kConnectFailedText = "Can not connect to the module \"IP\"";

class TForm1 : public QMainWindow, public isp::Link, public isp::Operator, public TerminalLink {
  Q_OBJECT

 public:
  // `dialogs` answers every box; null means the real Qt boxes.
  explicit TForm1(Dialogs* dialogs = nullptr, QWidget* parent = nullptr);
  ~TForm1() override;

  isp::Engine& engine() { return engine_; }
  link::SerialPort& serialPort() { return port_; }
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
  // The COM entry for port n (1..8).
  QAction* comEntry(int n) const { return comEntries_[static_cast<std::size_t>(n - 1)]; }
  // The top-level entries of group 1 (chip commands, Debug, Reload) in menu order.
  const std::vector<QAction*>& chipCommandEntries() const { return group1_; }
  // Number of system beeps sounded by the function keys.
  int beeps() const { return beeps_; }

  // ---- handlers
  void ProbePorts();
  bool OpenLink(int n);
  void SetBaudRate(int rate);
  void rgBaudClick();
  // Selects a rate entry by program (a settings restore); runs rgBaudClick like a click.
  void selectBaudIndex(int index);
  void COM11Click(QAction* sender);
  void PageControl1Change();
  void Exit1Click();
  void Debug1Click();
  isp::Button ShowError(const QString& text, bool cancellable);
  // Function keys: returns whether the key was one of F1..F6 that sent a line.
  bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
  void LoadFile1Click();
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

  // ---- settings file
  void LoadSettings();
  void SaveSettings();
  // The values SaveSettings writes, taken from the window as it stands.
  Settings currentSettings() const;

  // ---- hooks for the terminal
  // Sends one line of the terminal (SendTerminalLine); the function keys use it.
  std::function<void(const QString&)> sendTerminalLine;
  // The captions of the six hot-key buttons; unset: the built-in defaults.
  std::function<QString(int index)> hotKeyCaption;
  // Moves the keyboard focus to the terminal memo.
  std::function<void()> focusTerminalMemo;
  QString HotKeyCaption(int index) const;
  static QString defaultHotKeyCaption(int index);

  // ---- isp::Link on the serial port
  bool isOpen() const override;
  bool writeBytes(std::string_view bytes) override;   // WriteLinkBytes
  isp::LinkRead readByte() override;                  // ReadLinkByte
  void setBaudRate(int rate) override { SetBaudRate(rate); }

  // ---- TerminalLink: the open serial port, else the connected socket
  bool serialOpen() const override { return port_.isOpen(); }
  void serialWrite(std::string_view bytes) override { port_.write(bytes); }
  link::ReadResult serialReadByte() override { return port_.readByte(); }
  bool socketConnected() const override;
  void socketWrite(const std::string& text) override;
  std::string socketRead() override;
  bool linkBusy() const override { return commandRunning_ || engine_.busy(); }

  // ---- isp::Operator
  isp::Button showError(const std::string& text, bool cancellable) override;
  void showNotice(const std::string& text) override;
  void showMessage(const std::string& caption, const std::string& text) override;
  bool askYesNo(const std::string& caption, const std::string& text) override;
  std::optional<std::string> askHexFileName(const std::string& remembered) override;
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
  void deviceField(isp::DeviceField field, const std::string& text) override;
  void lockBoxes(bool lock0, bool lock1) override;
  void statusPanel2(const std::string& text) override;
  void repaintView(isp::View view) override;
  void setCurrentLine(isp::View view, int line) override;
  void showTab(isp::Tab tab) override;
  void setTerminalPoll(bool on) override;
  int terminalBaudRate() override { return terminalBaud_; }
  void reloadAvailable() override;

  // ---- components, by the names the handlers and the other parts use
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;  // "&File Data"
  QWidget* TabSheet2 = nullptr;  // "Chip Data"
  QWidget* TabSheet3 = nullptr;  // "&Terminal"
  QWidget* TabSheet4 = nullptr;  // "Device"
  THexDump* fileView = nullptr;
  THexDump* chipView = nullptr;
  QMenu* Com1 = nullptr;  // "&Comport"
  QAction* MTCP = nullptr;
  QAction* Exit1 = nullptr;
  QAction* LoadFile1 = nullptr;
  QAction* MRead = nullptr;
  QAction* CompareFile = nullptr;
  QAction* MProg = nullptr;
  QAction* MErase = nullptr;
  QAction* MBSB = nullptr;
  QAction* Debug1 = nullptr;
  QAction* MReload = nullptr;
  QTimer* Timer1 = nullptr;  // the cyclic sender
  QTimer* Timer2 = nullptr;  // the terminal's receive poll
  QGroupBox* GroupBox1 = nullptr;
  QLabel* lManu = nullptr;
  QLabel* lDevFam = nullptr;
  QLabel* lMem = nullptr;
  QLabel* lProduct = nullptr;
  QLabel* lBSB = nullptr;
  QLabel* lSBV = nullptr;
  QLabel* lBVersion = nullptr;
  QLabel* lHSB = nullptr;
  QCheckBox* cblock1 = nullptr;
  QCheckBox* cbLock0 = nullptr;
  QCheckBox* cbBLJB = nullptr;
  QGroupBox* rgBaudBox = nullptr;
  QButtonGroup* rgBaud = nullptr;
  QLineEdit* eIP = nullptr;
  QPushButton* BitBtn1 = nullptr;  // "Sync"
  QPushButton* BitBtn2 = nullptr;  // "Terminal Font"
  // The socket to the network module (ReportLevel 0); null only when the socket layer
  // could not be started, which was reported at start.
  link::TPowersock* sock = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildMenus();
  void buildTabs();
  void buildDeviceTab();
  void buildStatusBar();
  void connectComponents();
  void FormCreate();
  void createSocket();
  void connectTerminal();
  void applySettings(const LoadedSettings& loaded);
  // Gives the socket the host and port of a host field text ("host" or "host:port").
  void setModuleAddress(const std::string& text);
  // The TCP branch of OpenLink: connects the socket, or shows the "ERROR" box.
  bool connectModule();
  // Runs a handler the way the run-time's top-level handler would: a failure that escapes
  // it is shown in an error box and the program goes on.
  void guarded(const std::function<void()>& handler);
  // Runs a chip command or a HEX load with the commands that could start another one
  // disabled, and restores them afterwards.
  void runCommand(const std::function<void()>& command);
  void setTabVisibleQuietly(QWidget* sheet, bool visible);
  void setCurrentTabQuietly(QWidget* sheet);
  QWidget* sheetOf(isp::Tab tab) const;
  THexDump* viewOf(isp::View view) const;
  void setPanel(int panel, const QString& text);

  std::unique_ptr<Dialogs> ownDialogs_;
  Dialogs& dialogs_;
  link::SerialPort port_;
  isp::SystemClock clock_;
  isp::Engine engine_;
  int terminalBaud_ = 0;  // written only by rgBaudClick (and the first open, see OpenLink)
  TTerminal* terminal_ = nullptr;
  // The host field text last given to the socket, port included; the socket's Host holds
  // only the host part.
  std::string moduleAddress_;
  bool connecting_ = false;       // the socket's Connect waits for the module
  bool connectSuperseded_ = false;  // another link choice or the close ended that wait

  TDbgFrm* DbgFrm = nullptr;
  TDownLoadDlg* DownLoadDlg = nullptr;
  TSyncMessage* SyncMessage = nullptr;
  std::array<QAction*, kPortEntries> comEntries_{};
  std::vector<QAction*> group1_;
  std::array<QLabel*, 3> panels_{};

  int beeps_ = 0;
  bool busyCursor_ = false;
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
