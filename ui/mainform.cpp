#include "ui/mainform.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QTime>
#include <QUrl>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

#include "link/powersock.h"
#include "ui/bootloader_box.h"
#include "ui/dialogs.h"
#include "ui/file_drop.h"
#include "ui/hexdump.h"
#include "ui/latin1.h"
#include "ui/read_note.h"

namespace velkorn::ui {

namespace {

constexpr int kPanelWidths[3] = {50, 80, 50};
constexpr int kLineWatchIntervalMs = 500;

// The last command's result: as wide as the window leaves it, the end elided, the whole of
// it in the tool tip. A long result never makes the window wider than the screen.
class ResultLabel final : public QLabel {
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override { return {fontMetrics().averageCharWidth() * 8, QLabel::minimumSizeHint().height()}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    painter.drawText(area, Qt::AlignVCenter | Qt::AlignLeft, fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
  }
};

// The one local file of a drag, or nothing.
QString droppedFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return {};
  const QList<QUrl> urls = data->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
  return urls.front().toLocalFile();
}

// The device path shown beside a COM entry: where a pinning link points, else the device.
QString displayedDevice(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  return info.isSymLink() ? info.symLinkTarget() : info.filePath();
}

}  // namespace

TForm1::TForm1(Dialogs* dialogs, QWidget* parent)
    : QMainWindow(parent),
      ownDialogs_(dialogs ? nullptr : std::make_unique<QtDialogs>()),
      gate_(dialogs ? *dialogs : *ownDialogs_),
      dialogs_(gate_),
      lines_(dialogs_, this, [this] { return commandRunning_ || engine_.busy(); }),
      operator_(dialogs_, this, device_),
      engine_(lines_.chipLink(), operator_, operator_, operator_, clock_),
      settings_(*this, dialogs_) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromLatin1(kProgramTitle));
  setAcceptDrops(true);
  sock = lines_.module().socket();
  lines_.log = [this](const std::string& line) { operator_.debugLog(line); };
  operator_.setHooks({
      .view = [this](isp::View view) { return view == isp::View::Chip ? chipView : fileView; },
      .stepChanged = [this] { refreshRunningStatus(); },
      .stepEnded = [this] { endRunningStatus(); },
      .deviceNote = [this](const QString& note) { setPanel(2, note); },
      .syncStarts = [this] { Timer2->stop(); },
      .resetBoard = [this] { runResetSequence(); },
      .loadFinished = [this](bool complete) { fileLoadFinished(complete); },
  });
  lines_.onRate = [this](int rate, const Status& result) {
    rateChanged(rate, result);
  };
  resize(760, 540);

  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(kTimer2IntervalMs);
  Timer2->start();
  // A line that dies between commands (an adapter unplugged, a server gone) is noticed here.
  lineWatch_ = new QTimer(this);
  lineWatch_->setInterval(kLineWatchIntervalMs);
  connect(lineWatch_, &QTimer::timeout, this, [this] {
    if (commandRunning_ || engine_.busy()) return;
    if (const auto why = lines_.lostLine()) lineLost(*why);
  });
  lineWatch_->start();
  commandTick_ = new QTimer(this);
  commandTick_->setInterval(1000);
  connect(commandTick_, &QTimer::timeout, this, [this] { refreshRunningStatus(); });

  menu_.buildMenus(menuBar(), this);
  // Wide enough at first for every menu entry to show without the overflow button; a saved
  // size still wins.
  resize(std::max(width(), menuBar()->sizeHint().width()), height());
  buildTabs();
  buildStatusBar();
  connectComponents();

  guarded([this] { FormCreate(); });

  // The debug window comes after the main window and lives until the program ends.
  operator_.createDebugWindow();
  qApp->installEventFilter(this);  // key preview: the window sees every key first
  guarded([this] { startMemory(); });
}

TForm1::~TForm1() {
  if (qApp) qApp->removeEventFilter(this);
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
  terminal_ = new TTerminal(lines_.terminalLink(), TabSheet3);
  terminalLayout->addWidget(terminal_);
  Timer1 = terminal_->cycleTimer();  // the cyclic sender's timer lives with its button
  device_.buildDeviceTab(TabSheet4);
  rgBaud = device_.rgBaud;
  eIP = device_.eIP;
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
  resultPanel_ = new ResultLabel(sb1);
  resultPanel_->setObjectName(QStringLiteral("sb1Result"));
  sb1->addPermanentWidget(resultPanel_, 1);
  setPanel(0, QString::fromLatin1(kNoLinePanel));
}

void TForm1::connectComponents() {
  // Devices come and go, and group memberships change: the entries are probed again each
  // time the menu opens (not while a command owns the line and has locked them).
  menu_.Com1->setToolTipsVisible(true);
  connect(menu_.Com1, &QMenu::aboutToShow, this, [this] {
    if (!commandRunning_ && !engine_.busy()) ProbePorts();
  });
  for (QAction* entry : menu_.comEntries())
    connect(entry, &QAction::triggered, this, [this, entry] {
      guarded([&] {
        COM11Click(entry);
        rememberLine();
      });
    });
  // The TCP entry runs the same selection with entry number 0.
  connect(menu_.MTCP, &QAction::triggered, this, [this] {
    guarded([this] {
      COM11Click(menu_.MTCP);
      rememberLine();
    });
  });
  connect(menu_.MHost, &QAction::triggered, this, [this] {
    guarded([this] {
      MHostClick();
      rememberLine();
    });
  });
  connect(menu_.Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
  connect(menu_.LoadFile1, &QAction::triggered, this, &TForm1::LoadFile1Click);
  connect(menu_.MRead, &QAction::triggered, this, &TForm1::MReadClick);
  connect(menu_.CompareFile, &QAction::triggered, this, &TForm1::CompareFileClick);
  connect(menu_.MProg, &QAction::triggered, this, &TForm1::MProgClick);
  connect(menu_.MErase, &QAction::triggered, this, &TForm1::MEraseClick);
  connect(menu_.MBSB, &QAction::triggered, this, &TForm1::MBSBClick);
  connect(menu_.Debug1, &QAction::triggered, this, &TForm1::Debug1Click);
  connect(menu_.MReload, &QAction::triggered, this, &TForm1::MReloadClick);
  connect(menu_.SaveChip, &QAction::triggered, this, &TForm1::SaveChipClick);

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
  connect(device_.BitBtn1, &QPushButton::clicked, this, &TForm1::BitBtn1Click);
  connect(device_.BitBtn2, &QPushButton::clicked, this, &TForm1::BitBtn2Click);
  connect(eIP, &QLineEdit::textChanged, this, &TForm1::eIPChange);
  connect(device_.bootloaderBox, &BootloaderBox::rateEdited, this, [this] { guarded([this] { bootRateEdited(); }); });
  connect(device_.bootloaderBox, &BootloaderBox::resetEdited, this, [this] { guarded([this] { resetSequenceEdited(); }); });
  connect(device_.bootloaderBox, &BootloaderBox::wholeChipToggled, this, [this](bool on) { memory_.setWholeChip(on); });
  connectTerminal();
}

void TForm1::FormCreate() {
  // Only "&File Data" is shown at start.
  setTabVisibleQuietly(TabSheet2, false);
  setTabVisibleQuietly(TabSheet3, false);
  setTabVisibleQuietly(TabSheet4, false);
  ProbePorts();
  // The synchronisation and progress windows stay hidden until an operation shows them.
  operator_.createWindows(&engine_.downloadAbort);
  // The chip data view and the file data view show the images in place.
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
  // Bytes the last read did not get are drawn apart: they may be another chip's.
  chipView->setByteRead([&images](std::int32_t at) { return images.chipRead.test(static_cast<std::size_t>(at)); });
  chipView->setDataSize(images.chipSize);
  chipView->setFont(viewFont);
  fileView = CreateHexDump(TabSheet1);
  fileView->setObjectName(QStringLiteral("FileDump"));
  fileView->setDataPointer(images.fileImage.data());
  fileView->setDataSize(images.chipSize);
  fileView->setFont(viewFont);
  lines_.onModuleData = [this] { terminal_->SockDataAvailable(); };
  lines_.module().onLog([this](const std::string& line) { operator_.debugLog(line); });
  lines_.module().onReport(
      [this](const std::string& text) { dialogs_.error(this, QString::fromStdString(text), false); });
  LoadSettings();
}

void TForm1::FormDestroy() {
  guarded([this] { lines_.closeAll(); });
  SaveSettings();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (commandRunning_ || engine_.busy()) {
    // Ending a command half-way can leave a half-programmed chip: the operator decides.
    if (!operator_.closing() && !dialogs_.confirm(this, QString::fromLatin1(kProgramTitle),
                                              QString::fromLatin1(kAbortAndQuitText))) {
      event->ignore();
      return;
    }
    // The command still owns the line and the images: it ends at its next look at the
    // flags, without further boxes, and the window closes as soon as it has returned.
    operator_.setClosing(true);
    gate_.shut(true);
    operator_.raiseStopFlags();
    event->ignore();
    return;
  }
  if (!destroyed_) {
    destroyed_ = true;
    guarded([this] { FormDestroy(); });
  }
  QMainWindow::closeEvent(event);
}

void TForm1::guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& failure) {
    dialogs_.error(this, QString::fromStdString(failure.what()), false);
  }
}

void TForm1::runCommand(const std::function<void()>& command) {
  if (commandRunning_ || engine_.busy()) return;
  commandRunning_ = true;
  tabChangeDuringCommand_ = false;
  reloadDuringCommand_ = false;
  endRunningStatus();
  resultBefore_ = resultPanel_->text();
  commandTick_->start();
  // The rate and the reset belong to the run that has begun.
  device_.bootloaderBox->setEnabled(false);

  std::optional<WindowLines::Loan> loan(lines_.lend());
  std::vector<std::pair<QAction*, bool>> saved;
  std::vector<QAction*> locked = {menu_.LoadFile1, menu_.MRead, menu_.CompareFile, menu_.MProg, menu_.MErase, menu_.MBSB, menu_.MReload, menu_.MTCP, menu_.MHost};
  locked.insert(locked.end(), {menu_.Recent->menuAction(), menu_.SaveChip});
  locked.insert(locked.end(), menu_.comEntries().begin(), menu_.comEntries().end());
  for (QAction* action : locked) {
    saved.emplace_back(action, action->isEnabled());
    action->setEnabled(false);
  }

  guarded(command);
  // A command may change an image without telling its view (a load whose file could not
  // be opened has already erased the file image): both show what they hold now.
  fileView->Invalidate();
  chipView->Invalidate();
  commandTick_->stop();
  device_.bootloaderBox->setEnabled(true);
  endRunningStatus();
  const auto& images = engine_.images();
  const QString file = QFileInfo(QString::fromStdString(engine_.hexFileName)).fileName();
  // Said once for each file: the bootloader's area is programmed but never compared.
  if (images.fileLoaded && engine_.hexFileName != uncomparedNoted_) {
    uncomparedNoted_ = engine_.hexFileName;
    if (const QString note = uncomparedDataNote(images, file); !note.isEmpty())
      dialogs_.information(this, QString::fromLatin1(kProgramTitle), note);
  }

  for (const auto& [action, enabled] : saved) action->setEnabled(enabled);
  if (reloadDuringCommand_) menu_.MReload->setEnabled(true);
  refreshSaveChip();
  loan.reset();
  commandRunning_ = false;
  if (operator_.closing()) {
    operator_.setClosing(false);
    gate_.shut(false);  // the settings' own box at shut-down is still shown
    close();
    return;
  }
  if (lineLostDuringCommand_) {
    const LineLoss loss = *std::exchange(lineLostDuringCommand_, std::nullopt);
    lineLost(loss.why, loss.note);
    return;
  }
  if (tabChangeDuringCommand_) guarded([this] { PageControl1Change(); });
}

void TForm1::runChipCommand(const std::function<void()>& command) {
  if (commandRunning_ || engine_.busy()) return;
  if (!lines_.state().open) {
    noteResult(QStringLiteral("No line open"));
    dialogs_.error(this, QString::fromLatin1(kNoLineText), false);
    return;
  }
  runCommand(command);
}

void TForm1::lineLost(const std::string& why, const QString& note) {
  const QString text = QStringLiteral("Line lost: %1: %2")
                           .arg(QString::fromStdString(lines_.panelName()),
                                QString::fromStdString(why.empty() ? std::string("no reason given") : why));
  operator_.debugLog(text.toStdString());
  lines_.drop();
  showNoLine();
  setPanel(1, QString());  // no line, no rate
  noteResult(note.isEmpty() ? text : text + QStringLiteral("; ") + note);
  dialogs_.error(this, text, false);
}

void TForm1::showNoLine() {
  setPanel(0, QString::fromLatin1(kNoLinePanel));
  // Debug stays reachable: the log is where a failed line is explained.
  for (QAction* action : menu_.chipCommandEntries()) action->setEnabled(action == menu_.Debug1);
  setTabVisibleQuietly(TabSheet3, false);
  setTabVisibleQuietly(TabSheet4, false);
  for (QAction* entry : menu_.comEntries()) entry->setChecked(false);
  menu_.MTCP->setChecked(false);
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

void TForm1::setPanel(int panel, const QString& text) { panels_[static_cast<std::size_t>(panel)]->setText(text); }


void TForm1::noteResult(const QString& text) {
  resultPanel_->setText(text + QTime::currentTime().toString(QStringLiteral(" HH:mm")));
  resultPanel_->setToolTip(resultPanel_->text());
}


void TForm1::ProbePorts() {
  for (int n = 1; n <= kPortEntries; ++n) {
    QAction* entry = menu_.comEntry(n);
    const PortProbe probe = lines_.probe(n);
    entry->setEnabled(probe.opened);
    QString caption = QStringLiteral("COM &%1").arg(n);
    const QString device = probe.path.empty() ? QString() : displayedDevice(probe.path);
    if (!probe.path.empty()) caption += QLatin1Char('\t') + device;
    // The reason's first words beside the path; the whole of it in the tool tip.
    if (!probe.opened && !probe.path.empty())
      caption += QStringLiteral(": ") + QString::fromStdString(probe.reason.substr(0, probe.reason.find(" (")));
    entry->setText(caption);
    entry->setToolTip(probe.opened ? device : QString::fromStdString(probe.hint));
  }
}

bool TForm1::OpenLink(int n) {
  // The terminal's poll stays off a network link until the Terminal tab starts it.
  if (n == kNetworkEntry) Timer2->stop();
  if (!lines_.open(n)) return false;
  const LineKind kind = lines_.state().kind;
  if (kind == LineKind::Module) return true;
  // Without a saved rate nothing has chosen one yet: the rate group's selection holds.
  if (terminalBaud_ == 0 && rgBaud->checkedId() >= 0)
    terminalBaud_ = rgBaud->checkedButton()->text().toInt();
  if (kind == LineKind::Serial) {
    // A network server gets the terminal's rate when the Terminal tab shows next.
    SetBaudRate(terminalBaud_);
    // The per-byte read time-out lives in the port's reads, so there is nothing to refuse
    // here ("SetCommTimeOuts failed" cannot arise).
    Timer2->start();
  }
  return true;
}

void TForm1::SetBaudRate(int rate) { lines_.setRate(rate); }

void TForm1::rateChanged(int rate, const Status& result) {
  if (!result && result.code() == ErrorCode::Closed) {
    setPanel(1, QString());
    return;
  }
  if (link::rateRefused(result)) {
    operator_.debugLog("SetCommState failed (" + std::to_string(rate) + " bit/s): " + result.message());
    dialogs_.information(this, QString::fromLatin1(kProgramTitle), QStringLiteral("SetCommState failed"));
  }
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
  // Any choice drops the TCP link too (OpenLink), so its entry cannot stay checked.
  showNoLine();
  forgetBoard();
  setTabVisibleQuietly(TabSheet2, false);

  const int n = sender->data().toInt();
  if (!OpenLink(n)) return;

  for (QAction* action : menu_.chipCommandEntries()) action->setEnabled(true);
  setTabVisibleQuietly(TabSheet2, true);
  setTabVisibleQuietly(TabSheet3, true);
  setTabVisibleQuietly(TabSheet4, true);
  showPage(TabSheet3);
  sender->setChecked(true);
  setPanel(0, QString::fromStdString(lines_.panelName()));
}

void TForm1::MHostClick() {
  const auto host = dialogs_.askText(this, QStringLiteral("Network Host"),
                                     QStringLiteral("host[:port] of the module, or tcp://HOST:PORT or rfc2217://HOST:PORT"),
                                     eIP->text());
  if (!host) return;
  eIP->setText(host->trimmed());
  COM11Click(menu_.MTCP);
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

void TForm1::showPage(QWidget* sheet) {
  setCurrentTabQuietly(sheet);
  PageControl1Change();
}

void TForm1::Exit1Click() { close(); }

void TForm1::Debug1Click() { operator_.showDebugWindow(); }

isp::Button TForm1::ShowError(const QString& text, bool cancellable) {
  const isp::Button button = dialogs_.error(this, text, cancellable);
  if (button == isp::Button::Cancel) engine_.downloadAbort.raise();
  return button;
}

QString TForm1::HotKeyCaption(int index) const { return terminal_->hotKeyCaption(index); }

bool TForm1::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  if (modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) return false;
  if (key < Qt::Key_F1 || key > Qt::Key_F6) return false;
  const QString caption = HotKeyCaption(key - Qt::Key_F1);
  if (caption.isEmpty()) return false;
  dialogs_.beep();
  sendTerminalLine(caption);
  // The memo takes the focus only where the operator can see it.
  if (PageControl1->currentWidget() == TabSheet3) terminal_->memo()->setFocus(Qt::ShortcutFocusReason);
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
  } else if (event->type() == QEvent::Shortcut && qobject_cast<QGroupBox*>(watched) &&
             static_cast<QWidget*>(watched)->window() == this) {
    // The menu bar's access keys come before those of the Device tab's group boxes, so Alt+B
    // is "Program SSB+&BSB" there and not "&Boot" or "&Baudrate": a box hands such a key
    // on to the menu and gives it up for good.
    auto* shortcut = static_cast<QShortcutEvent*>(event);
    for (QAction* item : menuBar()->actions()) {
      if (QKeySequence::mnemonic(item->text()) != shortcut->key()) continue;
      static_cast<QWidget*>(watched)->setShortcutEnabled(shortcut->shortcutId(), false);
      if (item->isEnabled() && !item->menu()) item->trigger();
      return true;
    }
  } else if ((event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove ||
              event->type() == QEvent::Drop) &&
             watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this) {
    // A file dropped anywhere on the window loads as "&Load File" would load it, while no
    // command runs; the edit fields would otherwise take its name as text.
    auto* drop = static_cast<QDropEvent*>(event);
    const QString file = droppedFile(drop->mimeData());
    if (file.isEmpty() || !menu_.LoadFile1->isEnabled() || commandRunning_) return QMainWindow::eventFilter(watched, event);
    if (!acceptDropAsCopy(drop)) return true;  // a drop taken as a move loses the original
    // After the drop has finished: the load shows its own windows and boxes.
    if (event->type() == QEvent::Drop) QTimer::singleShot(0, this, [this, file] { loadHexFileNamed(file); });
    return true;
  } else if (event->type() == QEvent::MouseButtonDblClick && watched == device_.GroupBox1) {
    GroupBox1DblClick();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);  // the key is not consumed
}

void TForm1::BitBtn2Click() {
  if (const auto font = dialogs_.chooseFont(this, terminalFont())) setTerminalFont(*font);
}

void TForm1::connectTerminal() {
  // The poll holds while a chip operation or a HEX load owns the line: a byte it took
  // would be missing from a bootloader answer.
  connect(Timer2, &QTimer::timeout, this, [this] {
    if (!lines_.terminalLink().linkBusy()) terminal_->Timer2Timer();
  });
  sendTerminalLine = [this](const QString& line) { terminal_->SendTerminalLine(line); };
  // What ends a terminal handler (a cycle interval that is no number, a failed socket
  // write) ends in an error box with its text, as any handler's failure does.
  terminal_->setErrorHandler(
      [this](const std::string& text) { dialogs_.error(this, QString::fromStdString(text), false); });
}

QFont TForm1::terminalFont() const { return terminal_->memoFont(); }

void TForm1::setTerminalFont(const QFont& font) { terminal_->setMemoFont(font); }

void TForm1::eIPChange() { lines_.module().setAddress(toLatin1(eIP->text())); }

void TForm1::LoadSettings() { settings_.load(); }

void TForm1::SaveSettings() { settings_.save(); }

}  // namespace velkorn::ui
