// The main window offscreen: its start-up face, link selection onto pseudo-terminals and
// onto a vanished device, the rate group, the error box and its abort flag, the debug
// window, the function keys, the tab handling and the locking of commands while one runs.
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <fstream>

#include "ui/debug_window.h"
#include "ui/download_window.h"
#include "ui/hexdump.h"
#include "ui/sync_window.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

using ui::TForm1;

class MainFormTest : public FormTest {
 protected:
  // A window shown with COM1 pinned to `pty` and opened.
  TForm1& shownOnCom1(const Pty& pty) {
    home_.pin(1, pty.slave());
    TForm1& form = makeForm();
    form.comEntry(1)->trigger();
    form.show();
    return form;
  }
  bool tabShown(QWidget* sheet) const {
    return form_->PageControl1->isTabVisible(form_->PageControl1->indexOf(sheet));
  }
  std::vector<bool> linkTabsShown() const {
    return {tabShown(form_->TabSheet2), tabShown(form_->TabSheet3), tabShown(form_->TabSheet4)};
  }
  std::vector<bool> chipCommandsEnabled() const {
    std::vector<bool> out;
    for (QAction* a : form_->chipCommandEntries()) out.push_back(a->isEnabled());
    return out;
  }
  std::vector<int> checkedComEntries() const {
    std::vector<int> out;
    for (int n = 1; n <= ui::kPortEntries; ++n)
      if (form_->comEntry(n)->isChecked()) out.push_back(n);
    return out;
  }

};

// ------------------------------------------------------------------ start-up face

TEST_F(MainFormTest, StartsWithOnlyTheFileTabAndTheChipCommandsDisabled) {
  TForm1& form = makeForm();
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Velkorn RD2 / ED2 v0.98"));

  struct Entry {
    const char* caption;
    bool enabled;
  };
  const Entry bar[] = {{"&Comport", true},          {"&Load File", true},        {"Rece&nt", true},
                       {"&Read Chip", false},       {"Save Chip &As...", false}, {"Verify File", false},
                       {"&Program && Verify", false}, {"Full Chip &Erase", false}, {"Program SSB+&BSB", false},
                       {"Reload", false}};
  const QList<QAction*> actions = form.menuBar()->actions();
  ASSERT_EQ(actions.size(), static_cast<qsizetype>(std::size(bar)));
  for (std::size_t i = 0; i < std::size(bar); ++i) {
    SCOPED_TRACE(bar[i].caption);
    EXPECT_EQ(actions[static_cast<qsizetype>(i)]->text(), QString::fromLatin1(bar[i].caption));
    EXPECT_EQ(actions[static_cast<qsizetype>(i)]->isEnabled(), bar[i].enabled);
    EXPECT_EQ(actions[static_cast<qsizetype>(i)]->font().bold(), actions[static_cast<qsizetype>(i)] == form.MProg);
  }
  // "Debug" is enabled, never in the bar, and reached by its short cut only.
  EXPECT_FALSE(actions.contains(form.Debug1));
  EXPECT_TRUE(form.Debug1->isEnabled());
  EXPECT_EQ(form.Debug1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_D));
  EXPECT_EQ(form.MReload->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
  const std::vector<QAction*> group1 = {form.MRead, form.CompareFile, form.MProg, form.MErase,
                                        form.MBSB,  form.Debug1,      form.MReload};
  EXPECT_EQ(form.chipCommandEntries(), group1);

  // The Comport submenu: eight ports in two groups of four, TCP and its host, Exit.
  const QList<QAction*> sub = form.Com1->actions();
  const char* const captions[] = {"COM &1", "COM &2", "COM &3", "COM &4", "-",   "COM &5", "COM &6",
                                  "COM &7", "COM &8", "-",      "&TCP/Winsock", "Network &Host...", "-", "&Exit"};
  ASSERT_EQ(sub.size(), static_cast<qsizetype>(std::size(captions)));
  for (int i = 0; i < sub.size(); ++i) {
    SCOPED_TRACE(captions[i]);
    if (std::string(captions[i]) == "-") {
      EXPECT_TRUE(sub[i]->isSeparator());
    } else {
      EXPECT_EQ(sub[i]->text().section(QLatin1Char('\t'), 0, 0), QString::fromLatin1(captions[i]));
      EXPECT_FALSE(sub[i]->isChecked());
    }
  }

  EXPECT_EQ(linkTabsShown(), (std::vector<bool>{false, false, false}));
  EXPECT_TRUE(tabShown(form.TabSheet1));
  EXPECT_EQ(form.PageControl1->tabText(0), QStringLiteral("&File Data"));
  EXPECT_EQ(form.panelText(0), QStringLiteral("---"));
  EXPECT_EQ(form.panelText(1), QString());
  EXPECT_EQ(form.panelText(2), QString());
  EXPECT_TRUE(form.Timer2->isActive());
  EXPECT_EQ(form.Timer2->interval(), 200);
  EXPECT_FALSE(form.Timer1->isActive());
  EXPECT_FALSE(form.serialPort().isOpen());
  EXPECT_EQ(form.terminalRate(), 0);

  // The file data view shows the whole file image in place.
  EXPECT_EQ(form.fileView->DataPointer(), form.engine().images().fileImage.data());
  EXPECT_EQ(form.fileView->DataSize(), 0x10000);
  EXPECT_EQ(form.chipView->DataPointer(), form.engine().images().chipImage.data());

  // Device tab defaults.
  for (QLabel* value : {form.lManu, form.lDevFam, form.lMem, form.lProduct, form.lBSB, form.lSBV,
                        form.lBVersion, form.lHSB}) {
    SCOPED_TRACE(value->objectName().toStdString());
    EXPECT_TRUE(value->text().isEmpty());
    EXPECT_EQ(value->width(), 32);
    EXPECT_EQ(value->palette().color(QPalette::WindowText), QColor(Qt::yellow));
    EXPECT_EQ(value->palette().color(QPalette::Window), QColor(Qt::black));
  }
  EXPECT_FALSE(form.cbLock0->isChecked());
  EXPECT_FALSE(form.cblock1->isChecked());
  EXPECT_TRUE(form.cbBLJB->isChecked());
  EXPECT_EQ(form.rgBaud->checkedId(), 9);
  EXPECT_EQ(form.rgBaud->checkedButton()->text(), QStringLiteral("115200"));
  EXPECT_EQ(form.eIP->text(), QStringLiteral("IP"));
  EXPECT_EQ(form.debugWindow()->lines(), QStringList{QStringLiteral("Memo1")});
  EXPECT_FALSE(form.debugWindow()->isVisible());
}

TEST_F(MainFormTest, TheBootChoiceIsWhatTheSecurityBoxesShowWhenItIsRead) {
  TForm1& form = makeForm();
  form.cbLock0->click();
  form.cblock1->click();
  form.cbBLJB->click();
  isp::BootChoice choice = form.bootChoice();
  EXPECT_TRUE(choice.lock0);
  EXPECT_TRUE(choice.lock1);
  EXPECT_FALSE(choice.bljb);
  form.lockBoxes(false, true);  // as a device-information read sets them
  choice = form.bootChoice();
  EXPECT_FALSE(choice.lock0);
  EXPECT_TRUE(choice.lock1);
  EXPECT_FALSE(choice.bljb);
}

// ------------------------------------------------------------------ link selection

TEST_F(MainFormTest, PickingAPinnedPortOpensItAndShowsTheLinkFace) {
  Pty pty;
  ASSERT_FALSE(pty.slave().empty());
  home_.pin(2, pty.slave());
  TForm1& form = makeForm();
  EXPECT_TRUE(form.comEntry(2)->isEnabled());
  EXPECT_TRUE(form.comEntry(2)->text().endsWith(QString::fromStdString(pty.slave())));
  form.Timer2->stop();

  form.comEntry(2)->trigger();

  EXPECT_TRUE(form.serialPort().isOpen());
  EXPECT_EQ(form.panelText(0), QStringLiteral("COM2"));
  EXPECT_EQ(checkedComEntries(), std::vector<int>{2});
  EXPECT_EQ(linkTabsShown(), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet3);
  EXPECT_TRUE(form.Timer2->isActive());
  // No saved rate yet: the rate the group shows.
  EXPECT_EQ(form.terminalRate(), 115200);
  EXPECT_EQ(form.serialPort().baudRate(), 115200);
  EXPECT_EQ(form.panelText(1), QStringLiteral("115200"));
  EXPECT_EQ(chipCommandsEnabled(), std::vector<bool>(7, true));
  EXPECT_TRUE(dialogs_.of("error").empty());
}

TEST_F(MainFormTest, AtItsSmallestEveryTabFitsAHalfScaleScreenAndNoCaptionIsCut) {
  // 1920x1080 at scale factor 2 leaves 960x540 logical pixels, less the title bar; 1280x800
  // at scale factor 1 is larger in both ways.
  const QSize screen(960, 540 - 40);
  Pty pty;
  TForm1& form = shownOnCom1(pty);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  // At its first size every menu entry shows, none behind the overflow button.
  EXPECT_LE(form.menuBar()->sizeHint().width(), form.width());
  EXPECT_LE(form.width(), screen.width());
  for (QWidget* sheet : {form.TabSheet1, form.TabSheet2, form.TabSheet3, form.TabSheet4}) {
    SCOPED_TRACE(form.PageControl1->tabText(form.PageControl1->indexOf(sheet)).toStdString());
    form.PageControl1->setCurrentWidget(sheet);
    form.resize(form.minimumSizeHint());
    QCoreApplication::processEvents();
    EXPECT_LE(form.width(), screen.width());
    EXPECT_LE(form.height(), screen.height());
    for (QWidget* w : form.findChildren<QWidget*>()) {
      if (!w->isVisible() || (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QLabel*>(w))) continue;
      EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
    }
  }
}

TEST_F(MainFormTest, AVanishedDeviceClosesTheOldPortAndLeavesNoLink) {
  Pty first, second;
  home_.pin(1, first.slave());
  home_.pin(3, second.slave());
  TForm1& form = makeForm();
  ASSERT_TRUE(form.comEntry(3)->isEnabled());
  form.comEntry(1)->trigger();
  ASSERT_TRUE(form.serialPort().isOpen());
  const QString rateBefore = form.panelText(1);

  home_.pin(3, (home_.root() / "unplugged").string());  // the adapter is gone
  form.comEntry(3)->trigger();

  EXPECT_EQ(dialogs_.of("error"), std::vector<std::string>{"Can not open COM 3|ok"});
  EXPECT_FALSE(form.serialPort().isOpen());
  EXPECT_EQ(form.panelText(0), QStringLiteral("---"));
  EXPECT_EQ(form.panelText(1), rateBefore);  // a failed open does not touch the rate panel
  EXPECT_TRUE(checkedComEntries().empty());
  EXPECT_EQ(linkTabsShown(), (std::vector<bool>{false, false, false}));
  // Debug stays enabled: the log says why.
  EXPECT_EQ(chipCommandsEnabled(), (std::vector<bool>{false, false, false, false, false, true, false}));
  // The reason goes to the debug log beside the box.
  const QStringList log = form.debugWindow()->lines();
  ASSERT_FALSE(log.isEmpty());
  EXPECT_TRUE(log.back().startsWith(QStringLiteral("COM3: "))) << log.back().toStdString();
}

TEST_F(MainFormTest, EachEntrySaysWhyItIsGreyAndOpeningTheMenuProbesAgain) {
  Pty first, second, third;
  const std::string missing = (home_.root() / "nothing-here").string();
  home_.pin(3, third.slave());
  home_.pin(4, missing);
  home_.pin(5, first.slave());
  TForm1& form = makeForm();
  form.comEntry(3)->trigger();  // the link in use must survive the probes
  ASSERT_TRUE(form.serialPort().isOpen());

  // The adapter of COM5 moved to COM4's pin, COM5's is gone.
  home_.pin(4, second.slave());
  home_.pin(5, missing);
  struct Expected {
    int n;
    bool enabled;
    std::string shown;  // after the tab
  };
  const std::vector<std::vector<Expected>> rounds = {
      {{3, true, third.slave()}, {4, false, missing + ": No such file or directory"}, {5, true, first.slave()}},
      {{3, true, third.slave()}, {4, true, second.slave()}, {5, false, missing + ": No such file or directory"}},
  };
  for (std::size_t round = 0; round < rounds.size(); ++round) {
    if (round == 1) emit form.Com1->aboutToShow();
    for (const Expected& e : rounds[round]) {
      SCOPED_TRACE("round " + std::to_string(round) + ", COM" + std::to_string(e.n));
      QAction* entry = form.comEntry(e.n);
      EXPECT_EQ(entry->isEnabled(), e.enabled);
      EXPECT_EQ(entry->text().section(QLatin1Char('\t'), 1).toStdString(), e.shown);
      EXPECT_EQ(entry->toolTip().contains(QStringLiteral("No such file or directory")), !e.enabled);
    }
  }
  EXPECT_TRUE(form.serialPort().isOpen());
  EXPECT_TRUE(form.comEntry(3)->isChecked());
}

TEST_F(MainFormTest, TheTcpEntryWithoutAModuleEndsInTheNoLinkFace) {
  TForm1& form = makeForm();
  form.MTCP->trigger();
  EXPECT_EQ(dialogs_.of("connect").size(), 1u);
  EXPECT_FALSE(form.MTCP->isChecked());
  EXPECT_EQ(form.panelText(0), QStringLiteral("---"));
  EXPECT_FALSE(form.Timer2->isActive());
  EXPECT_EQ(linkTabsShown(), (std::vector<bool>{false, false, false}));
}

// ------------------------------------------------------------------ the rate group

TEST_F(MainFormTest, RateGroupStoresTheRateAndAppliesItOnlyToAnOpenPort) {
  struct Case {
    bool portOpen;
    int index;
    const char* panel1;
    int rate;
  };
  const Case cases[] = {
      {false, 5, "", 9600},
      {false, 0, "", 300},
      {true, 5, "9600", 9600},
      {true, 8, "57600", 57600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + (c.portOpen ? " open" : " closed"));
    Pty pty;
    home_.pin(1, pty.slave());
    form_.reset();
    std::filesystem::remove(home_.dir() / ui::kWindowMemoryFile);  // the last case's port stays closed
    TForm1& form = makeForm();
    if (c.portOpen) form.comEntry(1)->trigger();
    form.rgBaud->button(c.index)->click();  // the operator picks the rate
    EXPECT_EQ(form.terminalRate(), c.rate);
    EXPECT_EQ(form.panelText(1), QString::fromLatin1(c.panel1));
    if (c.portOpen) {
      EXPECT_EQ(form.serialPort().baudRate(), c.rate);
    }
    // The next open runs at the chosen rate.
    form.comEntry(1)->trigger();
    EXPECT_EQ(form.serialPort().baudRate(), c.rate);
    EXPECT_EQ(form.panelText(1), QString::number(c.rate));
  }
}

TEST_F(MainFormTest, SelectingARateByProgramRunsTheClickHandler) {
  TForm1& form = makeForm();
  form.selectBaudIndex(7);
  EXPECT_EQ(form.terminalRate(), 38400);
  form.selectBaudIndex(-1);  // no entry selected: nothing changes
  EXPECT_EQ(form.rgBaud->checkedId(), -1);
  EXPECT_EQ(form.terminalRate(), 38400);
}

// ------------------------------------------------------------------ tabs

TEST_F(MainFormTest, OperatorTabChangesRunThePollAndRateHandling) {
  Pty pty;
  home_.pin(1, pty.slave());
  TForm1& form = makeForm();
  form.selectBaudIndex(5);  // 9600
  form.comEntry(1)->trigger();

  form.PageControl1->setCurrentWidget(form.TabSheet4);  // the operator picks "Device"
  EXPECT_FALSE(form.Timer2->isActive());
  ASSERT_TRUE(form.serialPort().setBaudRate(115200).ok());  // as a synchronisation leaves it
  form.PageControl1->setCurrentWidget(form.TabSheet3);
  EXPECT_TRUE(form.Timer2->isActive());
  EXPECT_EQ(form.serialPort().baudRate(), 9600);
  EXPECT_EQ(form.panelText(1), QStringLiteral("9600"));

  // The window's own tab changes run the same handling explicitly.
  form.showPage(form.TabSheet2);
  EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet2);
  EXPECT_FALSE(form.Timer2->isActive());
  form.showPage(form.TabSheet3);
  EXPECT_TRUE(form.Timer2->isActive());
}

// ------------------------------------------------------------------ error box

TEST_F(MainFormTest, CancelInTheErrorBoxRaisesTheAbortFlag) {
  struct Case {
    bool cancellable;
    isp::Button answer;
    bool flagBefore, flagAfter;
  };
  const Case cases[] = {
      {true, isp::Button::Cancel, false, true},
      {true, isp::Button::Ok, false, false},
      {true, isp::Button::Ok, true, true},  // OK leaves the flag as it was
      {false, isp::Button::Cancel, false, false},  // a box without Cancel answers OK
  };
  TForm1& form = makeForm();
  for (const Case& c : cases) {
    form.engine().downloadAbort.lower();
    if (c.flagBefore) form.engine().downloadAbort.raise();
    dialogs_.errorAnswers = {c.answer};
    const isp::Button got = form.ShowError(QStringLiteral("x"), c.cancellable);
    EXPECT_EQ(got, c.cancellable ? c.answer : isp::Button::Ok);
    EXPECT_EQ(form.engine().downloadAbort.raised(), c.flagAfter);
  }
  EXPECT_EQ(dialogs_.of("error").front(), "x|okcancel");
}

// ------------------------------------------------------------------ debug window

TEST_F(MainFormTest, CtrlDShowsTheDebugWindowWhileDebugIsEnabled) {
  TForm1& form = makeForm();
  form.show();
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form, 5000));
  QTest::keyClick(&form, Qt::Key_D, Qt::ControlModifier);
  EXPECT_TRUE(form.debugWindow()->isVisible());
  EXPECT_EQ(form.debugWindow()->windowTitle(), QStringLiteral("DbgFrm"));

  // A failed link selection disables the chip commands but not "Debug": the log says why.
  form.debugWindow()->hide();
  home_.pin(6, (home_.root() / "gone").string());
  form.COM11Click(form.comEntry(6));
  QApplication::setActiveWindow(&form);
  QTest::keyClick(&form, Qt::Key_D, Qt::ControlModifier);
  EXPECT_TRUE(form.debugWindow()->isVisible());
}

TEST_F(MainFormTest, DebugLogAccumulatesWhileHiddenAndADoubleClickEmptiesIt) {
  TForm1& form = makeForm();
  form.debugLog(":020000050000F9");
  form.debugLog("->58.");
  form.debugLog("->\r\n0000=FF\r\n");
  EXPECT_FALSE(form.debugWindow()->isVisible());
  EXPECT_EQ(form.debugWindow()->lines(),
            (QStringList{"Memo1", ":020000050000F9", "->58.", "->", "0000=FF", ""}));
  form.Debug1->trigger();
  QTest::mouseDClick(form.debugWindow()->memo()->viewport(), Qt::LeftButton);
  EXPECT_TRUE(form.debugWindow()->lines().isEmpty());
  form.debugLog("Load Misc");
  EXPECT_EQ(form.debugWindow()->lines(), QStringList{"Load Misc"});
}

TEST_F(MainFormTest, AltBReachesProgramSsbBsbOnTheDeviceTab) {
  // The operator ticks the boxes there and then presses Alt+B; the group boxes "&Boot" and
  // "&Baudrate" took the key.
  TForm1& form = makeForm();
  form.show();
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form, 5000));
  form.PageControl1->setTabVisible(form.PageControl1->indexOf(form.TabSheet4), true);
  form.PageControl1->setCurrentWidget(form.TabSheet4);
  form.cbLock0->setFocus();
  form.MBSB->setEnabled(true);
  QObject::disconnect(form.MBSB, &QAction::triggered, &form, nullptr);  // only the key matters here
  QSignalSpy triggered(form.MBSB, &QAction::triggered);
  for (int press = 0; press < 3; ++press) QTest::keyClick(QApplication::focusWidget(), Qt::Key_B, Qt::AltModifier);
  EXPECT_EQ(triggered.count(), 3);
}

TEST_F(MainFormTest, AFileDroppedOnTheWindowLoadsAsLoadFileWould) {
  TForm1& form = makeForm();
  form.show();
  for (QWidget* target : {static_cast<QWidget*>(form.fileView), static_cast<QWidget*>(form.eIP)}) {
    SCOPED_TRACE(target->objectName().toStdString());
    const auto hex = home_.root() / (target->objectName().toStdString() + ".hex");
    std::ofstream(hex, std::ios::binary) << ":0100000042BD\r\n:00000001FF\r\n";
    form.engine().images().fileImage[0] = 0;
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(hex.string()))});
    QDragEnterEvent enter(QPoint(4, 4), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    // Shift proposes a move; the window still takes a copy, so the original stays.
    QDropEvent drop(QPointF(4, 4), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
    ASSERT_EQ(drop.proposedAction(), Qt::MoveAction);
    QApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    ASSERT_TRUE(waitFor([&] { return form.engine().hexFileName == hex.string(); }, 5000));
    EXPECT_EQ(form.engine().images().fileImage[0], 0x42);
    EXPECT_TRUE(form.MReload->isEnabled());
  }
  EXPECT_TRUE(dialogs_.of("open").empty());
  EXPECT_EQ(form.eIP->text(), QStringLiteral("IP"));  // the edit field did not take the name
}

// ------------------------------------------------------------------ function keys

TEST_F(MainFormTest, FunctionKeysSendTheirCaptionOnlyWithoutModifiers) {
  struct Case {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char* sent;  // nullptr: nothing sent, no beep
  };
  const Case cases[] = {
      {Qt::Key_F1, Qt::NoModifier, "KP01001"},
      {Qt::Key_F5, Qt::NoModifier, "DOWNLOAD"},
      {Qt::Key_F6, Qt::NoModifier, nullptr},  // empty caption
      {Qt::Key_F1, Qt::ShiftModifier, nullptr},
      {Qt::Key_F2, Qt::ControlModifier, nullptr},
      {Qt::Key_F3, Qt::AltModifier, nullptr},
      {Qt::Key_F7, Qt::NoModifier, nullptr},
      {Qt::Key_A, Qt::NoModifier, nullptr},
  };
  TForm1& form = makeForm();
  std::vector<QString> sent;
  form.sendTerminalLine = [&](const QString& line) { sent.push_back(line); };
  form.show();
  for (const Case& c : cases) {
    SCOPED_TRACE(QKeySequence(c.key | c.modifiers).toString().toStdString());
    sent.clear();
    const int beeps = form.beeps();
    // Sent to a control deep inside the window: the window still sees it, once.
    QTest::keyClick(form.fileView, c.key, c.modifiers);
    if (c.sent) {
      EXPECT_EQ(sent, std::vector<QString>{QString::fromLatin1(c.sent)});
      EXPECT_EQ(form.beeps(), beeps + 1);
    } else {
      EXPECT_TRUE(sent.empty());
      EXPECT_EQ(form.beeps(), beeps);
    }
  }
  // Captions come from the terminal's buttons as they stand.
  form.terminal()->setHotKeyCaption(0, QString());
  form.terminal()->setHotKeyCaption(5, QStringLiteral("SIX"));
  sent.clear();
  QTest::keyClick(form.eIP, Qt::Key_F6);
  QTest::keyClick(form.eIP, Qt::Key_F1);
  EXPECT_EQ(sent, std::vector<QString>{QStringLiteral("SIX")});
}

// ------------------------------------------------------------------ commands lock the menu

class CommandLockTest : public MainFormTest {
 protected:
  std::string writeHex(const std::string& text) {
    const auto path = home_.root() / "small.hex";
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  struct Snapshot {
    bool busy, loadFile, prog, reload, com1, tcp, debug;
  };
  Snapshot snapshot() {
    TForm1& f = *form_;
    return {f.engine().busy(), f.LoadFile1->isEnabled(), f.MProg->isEnabled(), f.MReload->isEnabled(),
            f.comEntry(1)->isEnabled(), f.MTCP->isEnabled(), f.Debug1->isEnabled()};
  }
};

TEST_F(CommandLockTest, ALoadDisablesTheCommandsAndHandsThemBackAfterwards) {
  struct Case {
    const char* name;
    bool link;
  };
  for (const Case c : {Case{"no link", false}, Case{"link", true}}) {
    SCOPED_TRACE(c.name);
    Pty pty;
    home_.pin(1, pty.slave());
    form_.reset();
    dialogs_ = ScriptedDialogs{};
    TForm1& form = makeForm();
    if (c.link) form.comEntry(1)->trigger();
    const std::string hex = writeHex(":0400000001020304F2\r\n:00000001FF\r\n");
    std::optional<Snapshot> during;
    int syncShownDuring = -1;
    dialogs_.onOpenFile = [&] {
      during = snapshot();
      // Another command started inside the load does nothing.
      form.MProgClick();
      syncShownDuring = form.syncWindow()->isVisible();
    };
    dialogs_.fileAnswers = {QString::fromStdString(hex)};

    form.LoadFile1->trigger();

    ASSERT_TRUE(during.has_value());
    EXPECT_TRUE(during->busy);
    EXPECT_FALSE(during->loadFile);
    EXPECT_FALSE(during->prog);
    EXPECT_FALSE(during->reload);
    EXPECT_FALSE(during->com1);
    EXPECT_FALSE(during->tcp);
    EXPECT_TRUE(during->debug);  // the debug window stays reachable
    EXPECT_EQ(syncShownDuring, 0);
    EXPECT_EQ(dialogs_.of("open").size(), 1u);

    const Snapshot after = snapshot();
    EXPECT_FALSE(after.busy);
    EXPECT_TRUE(after.loadFile);
    EXPECT_EQ(after.prog, c.link);  // back to what the link selection gives
    EXPECT_TRUE(after.reload);      // a complete load enables Reload, link or not
    EXPECT_TRUE(after.com1);
    EXPECT_TRUE(after.tcp);
    EXPECT_EQ(form.engine().images().fileImage[2], 0x03);
    EXPECT_EQ(form.PageControl1->currentWidget(), form.TabSheet1);
  }
}

TEST_F(CommandLockTest, AFileThatCannotBeOpenedIsReportedAndTheMenuComesBack) {
  TForm1& form = makeForm();
  dialogs_.fileAnswers = {QString::fromStdString((home_.root() / "missing.hex").string())};
  form.LoadFile1Click();
  const auto errors = dialogs_.of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("missing.hex"), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("kann nicht ge"), std::string::npos) << errors[0];
  EXPECT_FALSE(form.engine().busy());
  EXPECT_TRUE(form.LoadFile1->isEnabled());
  EXPECT_FALSE(form.MReload->isEnabled());
}

TEST_F(CommandLockTest, AbortStillEndsALargeLoadWhoseMessagesRunLessOften) {
  // The load lets the message loop run every few milliseconds instead of once per line.
  std::string text;
  for (int line = 0; line < 300000; ++line) text += ":10000000000102030405060708090A0B0C0D0E0F78\r\n";
  text += ":00000001FF\r\n";
  TForm1& form = makeForm();
  dialogs_.fileAnswers = {QString::fromStdString(writeHex(text))};
  // Once the bar has moved, a click arrives through the event queue, as the operator's does.
  int positionAtAbort = -1;
  QObject::connect(form.downloadWindow()->progressBar(), &QProgressBar::valueChanged, &form, [&](int value) {
    if (value < 1000 || positionAtAbort >= 0) return;
    positionAtAbort = value;
    QTimer::singleShot(0, &form, [&] { form.downloadWindow()->abortButton()->click(); });
  });
  form.LoadFile1Click();
  ASSERT_GT(positionAtAbort, 0) << "the bar did not move";
  EXPECT_FALSE(form.engine().images().fileLoaded);
  EXPECT_LT(form.downloadWindow()->progressBar()->value(), 300000 - 1);
  EXPECT_FALSE(form.downloadWindow()->isVisible());
}

TEST_F(CommandLockTest, AFailedReloadShowsTheErasedFileImageAtOnce) {
  // The image is 0xFF after the failed open, but the view kept its old bytes on screen
  // until the next tab change.
  Pty line;
  TForm1& form = shownOnCom1(line);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const std::string hex = writeHex(":0400000042424242F4\r\n:00000001FF\r\n");
  dialogs_.fileAnswers = {QString::fromStdString(hex)};
  form.LoadFile1Click();
  ASSERT_EQ(form.engine().images().fileImage[0], 0x42);
  QWidget* view = form.fileView->viewport();
  // What the window's backing store holds, as the screen shows it.
  auto onScreen = [&] {
    QCoreApplication::processEvents();
    const QPoint at = view->mapTo(&form, QPoint(0, 0));
    return form.windowHandle()->screen()->grabWindow(form.winId(), at.x(), at.y(), view->width(), view->height()).toImage().convertToFormat(QImage::Format_RGB32);
  };
  onScreen();

  std::filesystem::remove(hex);
  form.MReloadClick();

  ASSERT_EQ(form.engine().images().fileImage[0], 0xFF) << ::testing::PrintToString(dialogs_.events);
  EXPECT_EQ(onScreen(), view->grab().toImage().convertToFormat(QImage::Format_RGB32));
}

TEST_F(CommandLockTest, WithNoLineOpenAChipCommandSaysSoAtOnce) {
  // Without a line the synchronisation tried "U" for a whole minute.
  TForm1& form = makeForm();
  form.BitBtn1->click();
  EXPECT_FALSE(form.syncWindow()->isVisible());
  EXPECT_EQ(dialogs_.of("error"), std::vector<std::string>{std::string(ui::kNoLineText) + "|ok"});
  EXPECT_TRUE(form.resultText().startsWith(QStringLiteral("No line open"))) << form.resultText().toStdString();
  EXPECT_TRUE(form.LoadFile1->isEnabled());
}

}  // namespace
}  // namespace velkorn::testing
