// The synchronisation and progress windows: the sync window's own time-out and Cancel, the
// Abort button's flag, and the helper windows and Device tab as the engine drives them
// through the window's operator.
#include <QClipboard>
#include <QDropEvent>
#include <QMimeData>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "ui/debug_window.h"
#include "ui/device_tab.h"
#include "ui/download_window.h"
#include "ui/file_drop.h"
#include "ui/sync_window.h"
#include "ui/terminal.h"
#include "ui/text_export.h"
#include "ui/window_operator.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

using ui::TSyncMessage;

TEST(SyncWindow, TheCancelFlagRisesExactlyWhenTheBarReachesSixty) {
  struct Case {
    int ticks;
    bool cancelled;
  };
  const Case cases[] = {{0, false}, {1, false}, {59, false}, {60, true}, {75, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ticks);
    TSyncMessage sync;
    sync.start();
    for (int i = 0; i < c.ticks; ++i) sync.Timer1Timer();
    EXPECT_EQ(sync.cancelled(), c.cancelled);
    EXPECT_EQ(sync.progressBar()->value(), std::min(c.ticks, TSyncMessage::kSyncSteps));
  }
}

TEST(SyncWindow, StartLowersTheFlagAndTheTimerRunsExactlyWhileShown) {
  TSyncMessage sync;
  EXPECT_EQ(sync.windowTitle(), QStringLiteral("Synchronize..."));
  EXPECT_EQ(sync.timer().interval(), 1000);
  sync.start();
  EXPECT_TRUE(sync.isVisible());
  EXPECT_TRUE(sync.timer().isActive());
  sync.cancelButton()->click();
  EXPECT_TRUE(sync.cancelled());

  for (int i = 0; i < 30; ++i) sync.Timer1Timer();
  sync.hide();
  EXPECT_FALSE(sync.timer().isActive());
  sync.start();  // a new wait: flag lowered, bar back at 0
  EXPECT_FALSE(sync.cancelled());
  EXPECT_EQ(sync.progressBar()->value(), 0);
  EXPECT_TRUE(sync.timer().isActive());
}

TEST(SyncWindow, EscapeCancelsInsteadOfHidingTheWindow) {
  // A hidden window would stop its timer and leave the waiting loop without a time-out.
  TSyncMessage sync;
  sync.start();
  QTest::keyClick(&sync, Qt::Key_Escape);
  EXPECT_TRUE(sync.cancelled());
  EXPECT_TRUE(sync.isVisible());
}

TEST(SyncWindow, TheRealTimerAdvancesTheBar) {
  TSyncMessage sync;
  sync.timer().setInterval(5);  // the same handler, faster
  sync.start();
  EXPECT_TRUE(waitFor([&] { return sync.progressBar()->value() >= 3; }, 5000));
}

TEST(ProgressWindow, AbortRaisesTheFlagAndLeavesTheWindowShown) {
  isp::StopFlag abortFlag;
  ui::TDownLoadDlg dlg(&abortFlag);
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Downloading..."));
  EXPECT_EQ(dlg.size(), QSize(272, 165));
  EXPECT_EQ(dlg.rateLabel()->text(), QStringLiteral("000"));
  EXPECT_TRUE(dlg.abortButton()->isDefault());
  dlg.show();
  dlg.abortButton()->click();
  EXPECT_TRUE(abortFlag.raised());
  EXPECT_TRUE(dlg.isVisible());
  abortFlag.lower();
  QTest::keyClick(&dlg, Qt::Key_Escape);  // Abort too; only the operation hides the window
  EXPECT_TRUE(abortFlag.raised());
  EXPECT_TRUE(dlg.isVisible());
  abortFlag.lower();
  QTest::keyClick(&dlg, Qt::Key_Return);  // Enter presses Abort
  EXPECT_TRUE(abortFlag.raised());
}

// The debug window scrolls and follows the newest line, unless the operator scrolled up to
// read an older one; lines that came while it was hidden are at the end when it is shown.
TEST(DebugWindow, FollowsTheNewestLineUnlessScrolledUp) {
  ui::TDbgFrm log;
  for (int i = 0; i < 500; ++i) log.append(QStringLiteral("hidden %1").arg(i));
  log.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&log));
  QScrollBar* bar = log.memo()->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  log.append(QStringLiteral("shown"));
  EXPECT_EQ(bar->value(), bar->maximum());
  bar->setValue(10);  // reading an older line
  log.append(QStringLiteral("later"));
  EXPECT_EQ(bar->value(), 10);
  // Made for a large screen: shown again on a smaller one, or off its edge, it is fitted.
  const QRect area = log.screen()->availableGeometry();
  log.hide();
  log.resize(area.width() + 300, area.height() + 300);
  log.move(area.right() - 50, area.bottom() - 50);
  log.show();
  EXPECT_TRUE(area.contains(log.frameGeometry())) << log.frameGeometry().x() << "," << log.frameGeometry().y();
}

// "Save..." writes the whole text through a temporary file; a name that cannot be written is
// reported and leaves what was there.
TEST(DebugWindow, SaveWritesTheWholeLogOrSaysWhyNot) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString existing = dir.filePath(QStringLiteral("kept.txt"));
  {
    QFile f(existing);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("old\n");
  }
  struct Case {
    const char* name;
    std::optional<QString> chosen;
    QByteArray written;  // what the chosen file holds afterwards
    bool reported;
  };
  const Case cases[] = {
      {"a new file", dir.filePath(QStringLiteral("log.txt")), "Memo1\n:0100000307F5\n->.\n", false},
      {"over an existing file", existing, "Memo1\n:0100000307F5\n->.\n", false},
      {"cancelled", std::nullopt, {}, false},
      {"a folder", dir.path(), {}, true},
      {"in a folder that does not exist", dir.filePath(QStringLiteral("none/log.txt")), {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui::TDbgFrm log;
    log.append(QStringLiteral(":0100000307F5"));
    log.append(QStringLiteral("->."));
    std::vector<QString> reports;
    log.textExport()->setAskName([&](QWidget*, const QString& suggested) {
      EXPECT_EQ(suggested, QStringLiteral("velkorn-debug.txt"));
      return c.chosen;
    });
    log.textExport()->setReport([&](const QString& text) { reports.push_back(text); });
    log.textExport()->save();
    EXPECT_EQ(reports.size(), c.reported ? 1u : 0u);
    if (c.reported) {
      EXPECT_TRUE(reports.front().startsWith(QStringLiteral("Unable to save ") + *c.chosen));
    }
    if (!c.written.isEmpty()) {
      QFile f(*c.chosen);
      ASSERT_TRUE(f.open(QIODevice::ReadOnly));
      EXPECT_EQ(f.readAll(), c.written);
    }
  }
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2) << "no temporary file is left";
}

// The terminal's memo offers the same entries; a save that fails reaches the window's box.
TEST(TerminalText, CopyAllAndSaveFromTheContextMenu) {
  class NoLink final : public ui::TerminalLink {
    bool serialOpen() const override { return false; }
    void serialWrite(std::string_view) override {}
    link::ReadResult serialReadByte() override { return makeError(ErrorCode::Closed, "no line"); }
    bool socketConnected() const override { return true; }
    void socketWrite(const std::string&) override {}
    std::string socketRead() override { return "OK\r\n\xE4\r\n"; }
    bool linkBusy() const override { return false; }
  } link;
  ui::TTerminal term(link);
  std::vector<std::string> errors;
  term.setErrorHandler([&](const std::string& text) { errors.push_back(text); });
  term.SockDataAvailable();
  std::unique_ptr<QMenu> menu(term.textExport()->contextMenu());
  QStringList entries;
  for (QAction* a : menu->actions()) entries << a->text();
  EXPECT_TRUE(entries.contains(QStringLiteral("Copy &all")));
  EXPECT_TRUE(entries.contains(QStringLiteral("&Save...")));
  term.textExport()->copyAll();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf16(u"OK\n\u00E4\n"));
  term.textExport()->setAskName([](QWidget*, const QString&) { return std::optional<QString>(QStringLiteral("/")); });
  term.textExport()->save();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.front().rfind("Unable to save /", 0), 0u) << errors.front();
}

// A file manager proposes a move when the operator drags with Shift or between folders of
// one disk; taken as a move, it may delete the original once the drop is done.
TEST(FileDrop, TakenAsACopyOnly) {
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/blinky.hex"))});
  struct Case {
    Qt::DropActions offered;
    Qt::DropAction proposed;
    bool accepted;
  };
  const Case cases[] = {
      {Qt::CopyAction | Qt::MoveAction, Qt::MoveAction, true},
      {Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::LinkAction, true},
      {Qt::CopyAction, Qt::CopyAction, true},
      {Qt::MoveAction, Qt::MoveAction, false},
  };
  for (const Case& c : cases) {
    for (const QEvent::Type type : {QEvent::DragEnter, QEvent::DragMove, QEvent::Drop}) {
      SCOPED_TRACE(::testing::Message() << int(c.offered) << "/" << int(c.proposed) << "/" << type);
      std::unique_ptr<QDropEvent> event;
      if (type == QEvent::DragEnter)
        event = std::make_unique<QDragEnterEvent>(QPoint(5, 5), c.offered, &data, Qt::LeftButton, Qt::NoModifier);
      else if (type == QEvent::DragMove)
        event = std::make_unique<QDragMoveEvent>(QPoint(5, 5), c.offered, &data, Qt::LeftButton, Qt::NoModifier);
      else
        event = std::make_unique<QDropEvent>(QPointF(5, 5), c.offered, &data, Qt::LeftButton, Qt::NoModifier);
      event->setDropAction(c.proposed);
      event->ignore();
      EXPECT_EQ(ui::acceptDropAsCopy(event.get()), c.accepted);
      EXPECT_EQ(event->isAccepted(), c.accepted);
      if (c.accepted) {
        EXPECT_EQ(event->dropAction(), Qt::CopyAction);
      }
    }
  }
}

// The engine's person in the window, on its own: a Device tab, an owner window, and hooks
// that stand for the main window.
class WindowOperatorTest : public ::testing::Test {
 protected:
  WindowOperatorTest() {
    device_.buildDeviceTab(&sheet_);
    operator_.createWindows(&abort_);
    operator_.createDebugWindow();
    ui::WindowOperator::Hooks hooks;
    hooks.deviceNote = [this](const QString& note) { panel2_ = note; };
    operator_.setHooks(hooks);
  }

  isp::StopFlag abort_;
  ScriptedDialogs dialogs_;
  QWidget owner_;
  QWidget sheet_;
  ui::DeviceTab device_;
  ui::WindowOperator operator_{dialogs_, &owner_, device_};
  QString panel2_;
};

TEST_F(WindowOperatorTest, ProgressWindowFollowsTheEngine) {
  ui::TDownLoadDlg* dlg = downloadWindow(owner_);
  operator_.progressShow("Erasing...", 41);
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Erasing..."));
  EXPECT_EQ(dlg->progressBar()->maximum(), 41);
  operator_.progressCaption("Programming...");
  operator_.progressPosition(7);
  operator_.progressFigures("14s ", "3276");
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Programming..."));
  EXPECT_EQ(dlg->progressBar()->value(), 7);
  EXPECT_EQ(dlg->timeLabel()->text(), QStringLiteral("14s "));
  EXPECT_EQ(dlg->rateLabel()->text(), QStringLiteral("3276"));
  // A new step's first figures are empty: both labels clear.
  operator_.progressFigures("", "");
  EXPECT_TRUE(dlg->timeLabel()->text().isEmpty());
  EXPECT_TRUE(dlg->rateLabel()->text().isEmpty());
  dlg->abortButton()->click();
  EXPECT_TRUE(abort_.raised());
  operator_.progressHide();
  EXPECT_FALSE(dlg->isVisible());
}

TEST_F(WindowOperatorTest, DeviceFieldsAndPanelsShowWhatTheEngineReads) {
  const std::pair<isp::DeviceField, const char*> fields[] = {
      {isp::DeviceField::Manu, "lManu"}, {isp::DeviceField::DevFam, "lDevFam"}, {isp::DeviceField::Mem, "lMem"},
      {isp::DeviceField::Product, "lProduct"}, {isp::DeviceField::BSB, "lBSB"}, {isp::DeviceField::SBV, "lSBV"},
      {isp::DeviceField::HSB, "lHSB"}, {isp::DeviceField::BVersion, "lBVersion"},
  };
  int i = 0;
  for (const auto& [field, name] : fields) {
    const std::string text = "V" + std::to_string(i++);
    operator_.deviceField(field, text);
    EXPECT_EQ(component<QLabel>(sheet_, name)->text().toStdString(), text);
  }
  EXPECT_EQ(panel2_, QString());

  // Status panel 2, in the order of a device-information read: the memory code, then the
  // boot status; any other value leaves what the panel shows.
  struct Case {
    isp::DeviceField field;
    const char* value;
    const char* panel2;
  };
  const Case cases[] = {
      {isp::DeviceField::Mem, "F7", "Chipsize=0x8000"}, {isp::DeviceField::BSB, "12", "Chipsize=0x8000"},
      {isp::DeviceField::BSB, "FF", "BOOTLOADER"},      {isp::DeviceField::Mem, "FC", "BOOTLOADER"},
      {isp::DeviceField::BSB, "00", "normal operation"}, {isp::DeviceField::SBV, "FF", "normal operation"},
  };
  for (const Case& c : cases) {
    operator_.deviceField(c.field, c.value);
    EXPECT_EQ(panel2_, QString::fromLatin1(c.panel2)) << c.value;
  }
}

TEST_F(WindowOperatorTest, TheBootChoiceIsWhatTheSecurityBoxesShowWhenItIsRead) {
  component<QCheckBox>(sheet_, "cbLock0")->click();
  component<QCheckBox>(sheet_, "cblock1")->click();
  component<QCheckBox>(sheet_, "cbBLJB")->click();
  isp::BootChoice choice = operator_.bootChoice();
  EXPECT_TRUE(choice.lock0);
  EXPECT_TRUE(choice.lock1);
  EXPECT_FALSE(choice.bljb);
  operator_.lockBoxes(false, true);  // as a device-information read sets them
  choice = operator_.bootChoice();
  EXPECT_FALSE(choice.lock0);
  EXPECT_TRUE(choice.lock1);
  EXPECT_FALSE(choice.bljb);
}

TEST_F(WindowOperatorTest, DebugLogAccumulatesWhileHiddenAndADoubleClickEmptiesIt) {
  ui::TDbgFrm* log = debugWindow(owner_);
  operator_.debugLog(":020000050000F9");
  operator_.debugLog("->58.");
  operator_.debugLog("->\r\n0000=FF\r\n");
  EXPECT_FALSE(log->isVisible());
  EXPECT_EQ(log->lines(), (QStringList{"Memo1", ":020000050000F9", "->58.", "->", "0000=FF", ""}));
  operator_.showDebugWindow();
  QTest::mouseDClick(log->memo()->viewport(), Qt::LeftButton);
  EXPECT_TRUE(log->lines().isEmpty());
  operator_.debugLog("Load Misc");
  EXPECT_EQ(log->lines(), QStringList{"Load Misc"});
}

// While the synchronisation waits, a failed write is no box: its text goes onto the waiting
// window, and the line's own reason into the debug log once per change.
TEST_F(WindowOperatorTest, AFailedWriteDuringTheSyncIsLoggedWithTheLinesReason) {
  ui::TDbgFrm* log = debugWindow(owner_);
  operator_.syncShow();
  for (const char* reason : {"Input/output error", "Input/output error", ""}) {
    operator_.lineFailed(Error{ErrorCode::Closed, reason});
    EXPECT_EQ(operator_.showError("Can not write to COM", false), isp::Button::Ok);
  }
  operator_.syncHide();
  EXPECT_TRUE(dialogs_.of("error").empty());
  EXPECT_EQ(log->lines(), (QStringList{"Memo1", "Can not write to COM: Input/output error",
                                       "Can not write to COM: no reason given"}));
}

TEST_F(FormTest, OnlyACompleteLoadEnablesReload) {
  ui::TForm1& form = makeForm();
  const std::pair<const char*, bool> cases[] = {{":0100000042BC\r\n:00000001FF\r\n", false},  // a bad checksum
                                                {":0100000042BD\r\n:00000001FF\r\n", true}};
  for (const auto& [text, reload] : cases) {
    const auto hex = home_.root() / "load.hex";
    std::ofstream(hex, std::ios::binary) << text;
    dialogs_.fileAnswers = {QString::fromStdString(hex.string())};
    action(form, "LoadFile1")->trigger();
    EXPECT_EQ(action(form, "MReload")->isEnabled(), reload) << text;
  }
}

}  // namespace
}  // namespace velkorn::testing

namespace velkorn::testing {
namespace {

// The application's quit closes every window; a window refusing that close refuses the quit
// and leaves a process without windows behind.
TEST(HelperWindows, AProgramCloseIsNotRefusedWhileShown) {
  isp::StopFlag abortFlag;
  ui::TDownLoadDlg progress(&abortFlag);
  ui::TSyncMessage sync;
  progress.show();
  sync.start();
  for (QWidget* window : {static_cast<QWidget*>(&progress), static_cast<QWidget*>(&sync)}) {
    SCOPED_TRACE(window->objectName().toStdString());
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
  }
  EXPECT_FALSE(abortFlag.raised());
  EXPECT_FALSE(sync.timer().isActive());
}

}  // namespace
}  // namespace velkorn::testing
