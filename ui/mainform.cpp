#include "ui/mainform.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionMenuItem>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>

#include "image/failures.h"
#include "link/port_names.h"
#include "link/powersock.h"
#include "ui/dbgdlg.h"
#include "ui/dialogs.h"
#include "ui/dowloadfrm.h"
#include "ui/hexdump.h"
#include "ui/syncdlg.h"

namespace velkorn::ui {

namespace {

constexpr int kPanelWidths[3] = {50, 80, 50};
constexpr int kValueLabelWidth = 32;
constexpr const char* kNoLinkPanel = "---";
constexpr const char* kBaudRates[] = {"300",  "600",   "1200",  "2400",  "4800",
                                      "9600", "19200", "38400", "57600", "115200"};
constexpr const char* kHotKeyDefaults[kHotKeys] = {"KP01001", "KP02001", "AM0105",
                                                   "QS0105",  "DOWNLOAD", ""};
constexpr int kGroupChipCommands = 1;  // menu group of the chip commands

QString fromEngine(const std::string& text) { return QString::fromStdString(text); }

QLabel* valueLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setFixedWidth(kValueLabelWidth);
  label->setAlignment(Qt::AlignCenter);
  label->setAutoFillBackground(true);
  QPalette pal = label->palette();
  pal.setColor(QPalette::Window, Qt::black);
  pal.setColor(QPalette::WindowText, Qt::yellow);
  label->setPalette(pal);
  return label;
}

QLabel* captionLabel(const char* name, const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

// The device path shown beside a COM entry: where a pinning link points, else the device.
QString displayedDevice(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  return info.isSymLink() ? info.symLinkTarget() : info.filePath();
}

// Draws the menu bar's default item in bold: the bar itself ignores an entry's font.
class DefaultItemStyle final : public QProxyStyle {
 public:
  explicit DefaultItemStyle(const QAction* defaultItem) : item_(defaultItem) {}

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    if (element == CE_MenuBarItem && isDefault(option)) {
      painter->save();
      painter->setFont(boldOf(painter->font()));
      QProxyStyle::drawControl(element, option, painter, widget);
      painter->restore();
      return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
  }

  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override {
    QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
    if (type == CT_MenuBarItem && widget && isDefault(option)) {
      const QString text = static_cast<const QStyleOptionMenuItem*>(option)->text;
      const QFontMetrics normal(widget->font()), bold(boldOf(widget->font()));
      result.rwidth() += bold.size(Qt::TextShowMnemonic, text).width() - normal.size(Qt::TextShowMnemonic, text).width();
    }
    return result;
  }

 private:
  static QFont boldOf(QFont font) {
    font.setBold(true);
    return font;
  }
  bool isDefault(const QStyleOption* option) const {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    return item && item_ && item->text == item_->text();
  }
  const QAction* item_;
};

}  // namespace

// ==================================================================== construction

TForm1::TForm1(Dialogs* dialogs, QWidget* parent)
    : QMainWindow(parent),
      ownDialogs_(dialogs ? nullptr : std::make_unique<QtDialogs>()),
      dialogs_(dialogs ? *dialogs : *ownDialogs_),
      engine_(*this, *this, clock_) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromLatin1(kProgramTitle));
  resize(760, 540);

  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(kTimer2IntervalMs);
  Timer2->start();

  buildMenus();
  buildTabs();
  buildStatusBar();
  createSocket();
  connectComponents();

  guarded([this] { FormCreate(); });

  // The debug window comes after the main window and lives until the program ends.
  DbgFrm = new TDbgFrm(this);
  qApp->installEventFilter(this);  // key preview: the window sees every key first
}

TForm1::~TForm1() {
  if (qApp) qApp->removeEventFilter(this);
  if (busyCursor_) QApplication::restoreOverrideCursor();
  // The socket's handlers reach the terminal: it goes first, while everything it can call
  // still exists.
  delete sock;
  sock = nullptr;
}

void TForm1::buildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));

  Com1 = bar->addMenu(QStringLiteral("&Comport"));
  Com1->setObjectName(QStringLiteral("Com1"));
  static const char* const names[kPortEntries] = {"COM11", "COM21", "COM31", "COM41",
                                                  "Com51", "COM61", "COM71", "COM81"};
  for (int n = 1; n <= kPortEntries; ++n) {
    if (n == 5) Com1->addSeparator()->setObjectName(QStringLiteral("N1"));
    QAction* entry = Com1->addAction(QStringLiteral("COM &%1").arg(n));
    entry->setObjectName(QString::fromLatin1(names[n - 1]));
    entry->setData(n);  // the port entry number
    entry->setCheckable(true);
    comEntries_[static_cast<std::size_t>(n - 1)] = entry;
  }
  Com1->addSeparator()->setObjectName(QStringLiteral("N2"));
  MTCP = Com1->addAction(QStringLiteral("&TCP/Winsock"));
  MTCP->setObjectName(QStringLiteral("MTCP"));
  MTCP->setData(0);
  MTCP->setCheckable(true);
  Com1->addSeparator()->setObjectName(QStringLiteral("N3"));
  Exit1 = Com1->addAction(QStringLiteral("&Exit"));
  Exit1->setObjectName(QStringLiteral("Exit1"));

  auto topLevel = [&](const char* name, const char* caption, bool enabled, int group) {
    auto* action = new QAction(QString::fromLatin1(caption), this);
    action->setObjectName(QString::fromLatin1(name));
    action->setEnabled(enabled);
    action->setProperty("GroupIndex", group);
    if (group == kGroupChipCommands) group1_.push_back(action);
    return action;
  };
  LoadFile1 = topLevel("LoadFile1", "&Load File", true, 0);
  MRead = topLevel("MRead", "&Read Chip", false, kGroupChipCommands);
  CompareFile = topLevel("CompareFile", "Verify File", false, kGroupChipCommands);
  MProg = topLevel("MProg", "&Program && Verify", false, kGroupChipCommands);
  MErase = topLevel("MErase", "Full Chip &Erase", false, kGroupChipCommands);
  MBSB = topLevel("MBSB", "Program SSB+&BSB", false, kGroupChipCommands);
  Debug1 = topLevel("Debug1", "Debug", true, kGroupChipCommands);
  MReload = topLevel("MReload", "Reload", false, kGroupChipCommands);

  QFont bold = MProg->font();
  bold.setBold(true);
  MProg->setFont(bold);  // the menu's default item
  auto* style = new DefaultItemStyle(MProg);
  style->setParent(bar);
  bar->setStyle(style);
  Debug1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  MReload->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));

  for (QAction* action : {LoadFile1, MRead, CompareFile, MProg, MErase, MBSB}) bar->addAction(action);
  // "Debug" never shows in the bar: it lives on the window, so only its short cut reaches it.
  addAction(Debug1);
  bar->addAction(MReload);
}

void TForm1::buildTabs() {
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  auto sheet = [&](const char* name, const char* caption) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromLatin1(name));
    PageControl1->addTab(page, QString::fromLatin1(caption));
    return page;
  };
  TabSheet1 = sheet("TabSheet1", "&File Data");
  TabSheet2 = sheet("TabSheet2", "Chip Data");
  TabSheet3 = sheet("TabSheet3", "&Terminal");
  TabSheet4 = sheet("TabSheet4", "Device");
  setCentralWidget(PageControl1);

  auto* terminalLayout = new QVBoxLayout(TabSheet3);
  terminalLayout->setContentsMargins(0, 0, 0, 0);
  terminal_ = new TTerminal(*this, TabSheet3);
  terminalLayout->addWidget(terminal_);
  Timer1 = terminal_->cycleTimer();  // the cyclic sender's timer lives with its button
  buildDeviceTab();
}

void TForm1::buildDeviceTab() {
  auto* grid = new QGridLayout(TabSheet4);

  GroupBox1 = new QGroupBox(QStringLiteral("&Identification"), TabSheet4);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  auto* ident = new QGridLayout(GroupBox1);
  lManu = valueLabel("lManu", GroupBox1);
  lDevFam = valueLabel("lDevFam", GroupBox1);
  lMem = valueLabel("lMem", GroupBox1);
  lProduct = valueLabel("lProduct", GroupBox1);
  const struct {
    const char *name, *caption;
    QLabel* value;
    const char *refName, *reference;
  } identRows[] = {
      {"Label9", "Manufactor Id", lManu, "Label20", "(58)"},
      {"Label10", "Device family ", lDevFam, "Label21", "(D7)"},
      {"Label12", "Mem size/type", lMem, "Label22", "(FC)"},
      {"Label14", "Product Id", lProduct, "Label23", "(FF)"},
  };
  int row = 0;
  for (const auto& r : identRows) {
    ident->addWidget(captionLabel(r.name, r.caption, GroupBox1), row, 0);
    ident->addWidget(r.value, row, 1);
    ident->addWidget(captionLabel(r.refName, r.reference, GroupBox1), row, 2);
    ++row;
  }

  auto* GroupBox3 = new QGroupBox(QStringLiteral("&Boot"), TabSheet4);
  GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
  auto* boot = new QGridLayout(GroupBox3);
  lBSB = valueLabel("lBSB", GroupBox3);
  lSBV = valueLabel("lSBV", GroupBox3);
  lBVersion = valueLabel("lBVersion", GroupBox3);
  lHSB = valueLabel("lHSB", GroupBox3);
  const struct {
    const char *name, *caption;
    QLabel* value;
  } bootRows[] = {
      {"Label24", "Status(BSB)", lBSB},
      {"Label25", "Vector(SBV)", lSBV},
      {"Label26", "Bootloader version", lBVersion},
      {"Label27", "HW security (HSB)", lHSB},
  };
  row = 0;
  for (const auto& r : bootRows) {
    boot->addWidget(captionLabel(r.name, r.caption, GroupBox3), row, 0);
    boot->addWidget(r.value, row, 1);
    ++row;
  }

  auto* GroupBox2 = new QGroupBox(QStringLiteral("&Software security"), TabSheet4);
  GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
  auto* security = new QVBoxLayout(GroupBox2);
  cblock1 = new QCheckBox(QStringLiteral("Lock Erase, Prog., Read, Blank Check"), GroupBox2);
  cblock1->setObjectName(QStringLiteral("cblock1"));
  cbLock0 = new QCheckBox(QStringLiteral("Lock Erase, Prog."), GroupBox2);
  cbLock0->setObjectName(QStringLiteral("cbLock0"));
  cbBLJB = new QCheckBox(QStringLiteral("BLJB"), GroupBox2);
  cbBLJB->setObjectName(QStringLiteral("cbBLJB"));
  cbBLJB->setChecked(true);
  for (QCheckBox* box : {cblock1, cbLock0, cbBLJB}) security->addWidget(box);

  rgBaudBox = new QGroupBox(QStringLiteral("&Baudrate"), TabSheet4);
  rgBaudBox->setObjectName(QStringLiteral("rgBaud"));
  auto* rates = new QGridLayout(rgBaudBox);
  rgBaud = new QButtonGroup(rgBaudBox);
  constexpr int kRows = 5;  // two columns of five
  for (int i = 0; i < 10; ++i) {
    auto* button = new QRadioButton(QString::fromLatin1(kBaudRates[i]), rgBaudBox);
    button->setObjectName(QStringLiteral("rgBaud%1").arg(i));
    rgBaud->addButton(button, i);
    rates->addWidget(button, i % kRows, i / kRows);
  }
  rgBaud->button(kDefaultBaudIndex)->setChecked(true);

  auto* GroupBox4 = new QGroupBox(QStringLiteral("&IP address of module"), TabSheet4);
  GroupBox4->setObjectName(QStringLiteral("GroupBox4"));
  auto* module = new QVBoxLayout(GroupBox4);
  eIP = new QLineEdit(QString::fromLatin1(kDefaultModuleHost), GroupBox4);
  eIP->setObjectName(QStringLiteral("eIP"));
  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload), QStringLiteral("Sync"), GroupBox4);
  BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_FileDialogDetailedView),
                            QStringLiteral("Terminal Font"), GroupBox4);
  BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
  module->addWidget(eIP);
  module->addWidget(BitBtn1);
  module->addWidget(BitBtn2);

  grid->addWidget(GroupBox1, 0, 0);
  grid->addWidget(GroupBox3, 1, 0);
  grid->addWidget(GroupBox2, 0, 1);
  grid->addWidget(GroupBox4, 1, 1);
  grid->addWidget(rgBaudBox, 0, 2, 2, 1);
  grid->setColumnStretch(3, 1);
  grid->setRowStretch(2, 1);
}

void TForm1::buildStatusBar() {
  QStatusBar* sb1 = statusBar();
  sb1->setObjectName(QStringLiteral("sb1"));
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QLabel(sb1);
    panel->setObjectName(QStringLiteral("sb1Panel%1").arg(i));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    if (i < 2) {
      panel->setFixedWidth(kPanelWidths[i]);
      sb1->addWidget(panel);
    } else {
      // The last panel reaches to the window's edge, as status bars draw their last panel.
      panel->setMinimumWidth(kPanelWidths[i]);
      sb1->addWidget(panel, 1);
    }
    panels_[static_cast<std::size_t>(i)] = panel;
  }
  setPanel(0, QString::fromLatin1(kNoLinkPanel));
}

void TForm1::connectComponents() {
  for (QAction* entry : comEntries_)
    connect(entry, &QAction::triggered, this, [this, entry] { guarded([&] { COM11Click(entry); }); });
  // The TCP entry runs the same selection with entry number 0.
  connect(MTCP, &QAction::triggered, this, [this] { guarded([this] { COM11Click(MTCP); }); });
  connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
  connect(LoadFile1, &QAction::triggered, this, &TForm1::LoadFile1Click);
  connect(MRead, &QAction::triggered, this, &TForm1::MReadClick);
  connect(CompareFile, &QAction::triggered, this, &TForm1::CompareFileClick);
  connect(MProg, &QAction::triggered, this, &TForm1::MProgClick);
  connect(MErase, &QAction::triggered, this, &TForm1::MEraseClick);
  connect(MBSB, &QAction::triggered, this, &TForm1::MBSBClick);
  connect(Debug1, &QAction::triggered, this, &TForm1::Debug1Click);
  connect(MReload, &QAction::triggered, this, &TForm1::MReloadClick);

  // Only the operator's picks arrive here; the program's own tab changes run the handler
  // explicitly where they should.
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int) {
    if (programTabChange_) return;
    if (commandRunning_) {
      // A chip command owns the line's rate and the receive poll until it ends.
      tabChangeDuringCommand_ = true;
      return;
    }
    guarded([this] { PageControl1Change(); });
  });

  connect(rgBaud, &QButtonGroup::idClicked, this, [this](int) { guarded([this] { rgBaudClick(); }); });
  connect(cbLock0, &QCheckBox::toggled, this, [this](bool on) { engine_.device().lock0 = on; });
  connect(cblock1, &QCheckBox::toggled, this, [this](bool on) { engine_.device().lock1 = on; });
  connect(cbBLJB, &QCheckBox::toggled, this, [this](bool on) { engine_.device().bljb = on; });
  connect(BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &TForm1::BitBtn2Click);
  connect(eIP, &QLineEdit::textChanged, this, &TForm1::eIPChange);
  connectTerminal();
}

void TForm1::FormCreate() {
  // 1. Only "&File Data" is shown at start.
  setTabVisibleQuietly(TabSheet2, false);
  setTabVisibleQuietly(TabSheet3, false);
  setTabVisibleQuietly(TabSheet4, false);
  // 2. Which of COM1 to COM8 can be opened.
  ProbePorts();
  // 3. The synchronisation and progress windows, hidden until an operation shows them.
  SyncMessage = new TSyncMessage(this);
  DownLoadDlg = new TDownLoadDlg(&engine_.downloadAbort, this);
  // 4., 5. The chip data view and the file data view show the images in place.
  MemoryImages& images = engine_.images();
  // "Courier New", bold, at the sheets' 11-pixel height; any fixed-pitch face stands in
  // where Courier New is not installed.
  QFont viewFont(QStringLiteral("Courier New"));
  viewFont.setStyleHint(QFont::TypeWriter);
  viewFont.setFixedPitch(true);
  viewFont.setPixelSize(11);
  viewFont.setBold(true);
  chipView = CreateHexDump(TabSheet2);
  chipView->setObjectName(QStringLiteral("ChipDump"));
  chipView->setDataPointer(images.chipImage.data());
  chipView->setDataSize(images.chipSize);
  chipView->setFont(viewFont);
  fileView = CreateHexDump(TabSheet1);
  fileView->setObjectName(QStringLiteral("FileDump"));
  fileView->setDataPointer(images.fileImage.data());
  fileView->setDataSize(images.chipSize);
  fileView->setFont(viewFont);
  // 6. No port is open.
  port_.close();
  // 7. What arrives from the module goes to the terminal.
  if (sock) sock->OnDataAvailable = [this](link::TPowersock&) { terminal_->SockDataAvailable(); };
  // 8. The operator's choices of the last run.
  LoadSettings();
  // 9.
  images.reload = false;
}

void TForm1::FormDestroy() {
  // 1. The serial port is left to the end of the process. A connect still waiting for the
  //    module would keep the closing window alive until the network gives up on it.
  if (connecting_) {
    connectSuperseded_ = true;
    sock->Cancel();
  }
  if (sock && sock->Connected()) guarded([this] { sock->Disconnect(); });
  // 2.
  SaveSettings();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (!destroyed_) {
    destroyed_ = true;
    guarded([this] { FormDestroy(); });
  }
  QMainWindow::closeEvent(event);
}

// ==================================================================== small helpers

void TForm1::guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& failure) {
    // The run-time's top-level handler: the failure's text in an error box, then go on.
    dialogs_.error(this, QString::fromStdString(failure.what()), false);
  }
}

void TForm1::runCommand(const std::function<void()>& command) {
  if (commandRunning_ || engine_.busy()) return;
  commandRunning_ = true;
  tabChangeDuringCommand_ = false;
  reloadDuringCommand_ = false;

  std::vector<std::pair<QAction*, bool>> saved;
  std::vector<QAction*> locked = {LoadFile1, MRead, CompareFile, MProg, MErase, MBSB, MReload, MTCP};
  locked.insert(locked.end(), comEntries_.begin(), comEntries_.end());
  for (QAction* action : locked) {
    saved.emplace_back(action, action->isEnabled());
    action->setEnabled(false);
  }

  guarded(command);

  for (const auto& [action, enabled] : saved) action->setEnabled(enabled);
  if (reloadDuringCommand_) MReload->setEnabled(true);
  commandRunning_ = false;
  if (tabChangeDuringCommand_) guarded([this] { PageControl1Change(); });
}

void TForm1::setTabVisibleQuietly(QWidget* sheet, bool visible) {
  const bool before = programTabChange_;
  programTabChange_ = true;
  PageControl1->setTabVisible(PageControl1->indexOf(sheet), visible);
  programTabChange_ = before;
}

void TForm1::setCurrentTabQuietly(QWidget* sheet) {
  const bool before = programTabChange_;
  programTabChange_ = true;
  PageControl1->setCurrentWidget(sheet);
  programTabChange_ = before;
}

QWidget* TForm1::sheetOf(isp::Tab tab) const {
  switch (tab) {
    case isp::Tab::FileData: return TabSheet1;
    case isp::Tab::ChipData: return TabSheet2;
    case isp::Tab::Terminal: return TabSheet3;
    case isp::Tab::Device: return TabSheet4;
  }
  return TabSheet1;
}

THexDump* TForm1::viewOf(isp::View view) const { return view == isp::View::Chip ? chipView : fileView; }

void TForm1::setPanel(int panel, const QString& text) { panels_[static_cast<std::size_t>(panel)]->setText(text); }

QString TForm1::panelText(int panel) const { return panels_[static_cast<std::size_t>(panel)]->text(); }

// ==================================================================== link

void TForm1::ProbePorts() {
  for (int n = 1; n <= kPortEntries; ++n) {
    QAction* entry = comEntry(n);
    const std::string path = link::comDevicePath(n);
    bool opened = false;
    if (!path.empty()) {
      opened = port_.open(path);
      port_.close();
    }
    entry->setEnabled(opened);
    QString caption = QStringLiteral("COM &%1").arg(n);
    if (!path.empty()) caption += QLatin1Char('\t') + displayedDevice(path);
    entry->setText(caption);
  }
}

bool TForm1::OpenLink(int n) {
  port_.close();
  // A connect still waiting (this choice was made from inside its wait) gives way to it.
  if (connecting_) {
    connectSuperseded_ = true;
    sock->Cancel();
  }
  if (sock && sock->Connected()) sock->Disconnect();
  if (n == 0) {
    Timer2->stop();
    return connectModule();
  }
  const std::string path = link::comDevicePath(n);
  std::string reason;
  if (path.empty() || !port_.open(path, &reason)) {
    debugLog("COM" + std::to_string(n) + ": " +
             (path.empty() ? std::string("no serial device") : path + ": " + reason));
    ShowError(QStringLiteral("Can not open COM %1").arg(n), false);
    return false;
  }
  // Without a saved rate nothing has chosen one yet: the rate group's selection holds.
  if (terminalBaud_ == 0 && rgBaud->checkedId() >= 0)
    terminalBaud_ = rgBaud->checkedButton()->text().toInt();
  SetBaudRate(terminalBaud_);
  // The per-byte read time-out lives in the port's reads, so there is nothing to refuse
  // here ("SetCommTimeOuts failed" cannot arise).
  Timer2->start();
  return true;
}

void TForm1::SetBaudRate(int rate) {
  if (!port_.isOpen()) {
    setPanel(1, QString());
    return;
  }
  if (!port_.setBaudRate(rate))
    dialogs_.information(this, QString::fromLatin1(kProgramTitle), QStringLiteral("SetCommState failed"));
  setPanel(1, QString::number(rate));
}

void TForm1::rgBaudClick() {
  const int index = rgBaud->checkedId();
  if (index < 0) return;
  terminalBaud_ = rgBaud->button(index)->text().toInt();
  SetBaudRate(terminalBaud_);
}

void TForm1::selectBaudIndex(int index) {
  if (QAbstractButton* button = rgBaud->button(index)) {
    button->setChecked(true);
  } else if (QAbstractButton* checked = rgBaud->checkedButton()) {
    rgBaud->setExclusive(false);
    checked->setChecked(false);
    rgBaud->setExclusive(true);
  }
  rgBaudClick();
}

void TForm1::COM11Click(QAction* sender) {
  setPanel(0, QString::fromLatin1(kNoLinkPanel));
  for (QAction* action : group1_) action->setEnabled(false);
  setTabVisibleQuietly(TabSheet2, false);
  setTabVisibleQuietly(TabSheet3, false);
  setTabVisibleQuietly(TabSheet4, false);
  for (QAction* entry : comEntries_) entry->setChecked(false);
  // Any choice drops the TCP link too (OpenLink), so its entry cannot stay checked.
  MTCP->setChecked(false);

  const int n = sender->data().toInt();
  if (!OpenLink(n)) return;

  for (QAction* action : group1_) action->setEnabled(true);
  setTabVisibleQuietly(TabSheet2, true);
  setTabVisibleQuietly(TabSheet3, true);
  setTabVisibleQuietly(TabSheet4, true);
  setCurrentTabQuietly(TabSheet3);
  PageControl1Change();
  sender->setChecked(true);
  setPanel(0, n <= 0 ? QStringLiteral("TCP") : QStringLiteral("COM%1").arg(n));
}

void TForm1::PageControl1Change() {
  const bool terminal = PageControl1->currentWidget() == TabSheet3;
  if (terminal) {
    Timer2->start();
    // The synchronisation leaves the port at 115200; the terminal talks at its own rate.
    SetBaudRate(terminalBaud_);
  } else {
    Timer2->stop();
  }
}

bool TForm1::isOpen() const { return port_.isOpen(); }

bool TForm1::writeBytes(std::string_view bytes) { return port_.write(bytes); }

isp::LinkRead TForm1::readByte() {
  const link::ReadResult r = port_.readByte();
  return isp::LinkRead{r.ok, r.count, r.byte};
}

// ==================================================================== small handlers

void TForm1::Exit1Click() { close(); }

void TForm1::Debug1Click() {
  DbgFrm->show();
  DbgFrm->raise();
}

isp::Button TForm1::ShowError(const QString& text, bool cancellable) {
  const isp::Button button = dialogs_.error(this, text, cancellable);
  if (button == isp::Button::Cancel) engine_.downloadAbort = 1;
  return button;
}

QString TForm1::defaultHotKeyCaption(int index) {
  if (index < 0 || index >= kHotKeys) return {};
  return QString::fromLatin1(kHotKeyDefaults[index]);
}

QString TForm1::HotKeyCaption(int index) const {
  return hotKeyCaption ? hotKeyCaption(index) : defaultHotKeyCaption(index);
}

bool TForm1::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  if (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) return false;
  if (key < Qt::Key_F1 || key > Qt::Key_F6) return false;
  const QString caption = HotKeyCaption(key - Qt::Key_F1);
  if (caption.isEmpty()) return false;
  QApplication::beep();
  ++beeps_;
  if (sendTerminalLine) sendTerminalLine(caption);
  // The memo takes the focus only where the operator can see it.
  if (focusTerminalMemo && PageControl1->currentWidget() == TabSheet3) focusTerminalMemo();
  return true;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    auto* key = static_cast<QKeyEvent*>(event);
    // A key the focused control ignores travels on to its parents; preview it only once.
    if (event != previewedKey_ || key->timestamp() != previewedKeyTime_) {
      previewedKey_ = event;
      previewedKeyTime_ = key->timestamp();
      guarded([&] { FormKeyDown(key->key(), key->modifiers()); });
    }
  } else if (event->type() == QEvent::KeyRelease) {
    previewedKey_ = nullptr;
  } else if (event->type() == QEvent::MouseButtonDblClick && watched == GroupBox1) {
    GroupBox1DblClick();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);  // the key is not consumed
}

void TForm1::BitBtn2Click() {
  if (const auto font = dialogs_.chooseFont(this, terminalFont())) setTerminalFont(*font);
}

// ==================================================================== chip commands

void TForm1::LoadFile1Click() { runCommand([this] { engine_.LoadHexFile(); }); }
void TForm1::MReadClick() { runCommand([this] { engine_.MReadClick(); }); }
void TForm1::CompareFileClick() { runCommand([this] { engine_.CompareFileClick(); }); }
void TForm1::MProgClick() { runCommand([this] { engine_.MProgClick(); }); }
void TForm1::MEraseClick() { runCommand([this] { engine_.MEraseClick(); }); }
void TForm1::MBSBClick() { runCommand([this] { engine_.MBSBClick(); }); }
void TForm1::MReloadClick() { runCommand([this] { engine_.MReloadClick(); }); }
void TForm1::BitBtn1Click() { runCommand([this] { engine_.SyncTarget(); }); }
void TForm1::GroupBox1DblClick() { runCommand([this] { engine_.ReadDeviceInfo(false); }); }

// ==================================================================== isp::Operator

isp::Button TForm1::showError(const std::string& text, bool cancellable) {
  // The engine raises the download abort flag itself on Cancel.
  return dialogs_.error(this, fromEngine(text), cancellable);
}

void TForm1::showNotice(const std::string& text) {
  dialogs_.information(this, QString::fromLatin1(kProgramTitle), fromEngine(text));
}

void TForm1::showMessage(const std::string& caption, const std::string& text) {
  dialogs_.message(fromEngine(caption), fromEngine(text));
}

bool TForm1::askYesNo(const std::string& caption, const std::string& text) {
  return dialogs_.confirm(this, fromEngine(caption), fromEngine(text));
}

std::optional<std::string> TForm1::askHexFileName(const std::string& remembered) {
  const auto name = dialogs_.openHexFile(this, fromEngine(remembered));
  if (!name) return std::nullopt;
  return name->toStdString();
}

void TForm1::debugLog(const std::string& line) {
  // A reply's CR LF pairs would show as empty lines in the memo.
  QString text = fromEngine(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (DbgFrm) DbgFrm->append(text);
}

void TForm1::processEvents() { QCoreApplication::processEvents(); }

void TForm1::setBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TForm1::progressShow(const std::string& caption, int maximum) {
  DownLoadDlg->setWindowTitle(fromEngine(caption));
  DownLoadDlg->progressBar()->setRange(0, maximum);
  DownLoadDlg->progressBar()->setValue(0);
  DownLoadDlg->show();
}

void TForm1::progressCaption(const std::string& caption) { DownLoadDlg->setWindowTitle(fromEngine(caption)); }

void TForm1::progressPosition(int position) { DownLoadDlg->progressBar()->setValue(position); }

void TForm1::progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) {
  DownLoadDlg->timeLabel()->setText(fromEngine(timeLeft));
  DownLoadDlg->rateLabel()->setText(fromEngine(bytesPerSecond));
}

void TForm1::progressHide() { DownLoadDlg->hide(); }

void TForm1::syncShow() { SyncMessage->start(); }

bool TForm1::syncCancelled() { return SyncMessage->cancelled(); }

void TForm1::syncHide() { SyncMessage->hide(); }

void TForm1::deviceField(isp::DeviceField field, const std::string& text) {
  QLabel* label = nullptr;
  switch (field) {
    case isp::DeviceField::Manu: label = lManu; break;
    case isp::DeviceField::DevFam: label = lDevFam; break;
    case isp::DeviceField::Mem: label = lMem; break;
    case isp::DeviceField::Product: label = lProduct; break;
    case isp::DeviceField::BSB: label = lBSB; break;
    case isp::DeviceField::SBV: label = lSBV; break;
    case isp::DeviceField::HSB: label = lHSB; break;
    case isp::DeviceField::BVersion: label = lBVersion; break;
  }
  if (label) label->setText(fromEngine(text));
}

void TForm1::lockBoxes(bool lock0, bool lock1) {
  cbLock0->setChecked(lock0);
  cblock1->setChecked(lock1);
}

void TForm1::statusPanel2(const std::string& text) { setPanel(2, fromEngine(text)); }

void TForm1::repaintView(isp::View view) { viewOf(view)->Invalidate(); }

void TForm1::setCurrentLine(isp::View view, int line) { viewOf(view)->SetCurrentLine(line); }

void TForm1::showTab(isp::Tab tab) {
  setCurrentTabQuietly(sheetOf(tab));
  PageControl1Change();
}

void TForm1::setTerminalPoll(bool on) {
  if (on)
    Timer2->start();
  else
    Timer2->stop();
}

void TForm1::reloadAvailable() {
  if (commandRunning_)
    reloadDuringCommand_ = true;  // applied when the command hands the menu back
  else
    MReload->setEnabled(true);
}

}  // namespace velkorn::ui
