// The synchronisation and progress windows: the sync window's own time-out and Cancel, the
// Abort button's flag, and the progress window as the engine drives it through the window.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "ui/dowloadfrm.h"
#include "ui/syncdlg.h"
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
  int abortFlag = 0;
  ui::TDownLoadDlg dlg(&abortFlag);
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Downloading..."));
  EXPECT_EQ(dlg.size(), QSize(272, 165));
  EXPECT_EQ(dlg.rateLabel()->text(), QStringLiteral("000"));
  EXPECT_TRUE(dlg.abortButton()->isDefault());
  dlg.show();
  dlg.abortButton()->click();
  EXPECT_EQ(abortFlag, 1);
  EXPECT_TRUE(dlg.isVisible());
  QTest::keyClick(&dlg, Qt::Key_Escape);  // only the operation hides it
  EXPECT_TRUE(dlg.isVisible());
  abortFlag = 0;
  QTest::keyClick(&dlg, Qt::Key_Return);  // Enter presses Abort
  EXPECT_EQ(abortFlag, 1);
}

class WindowOperatorTest : public ::testing::Test {
 protected:
  ConfigHome home_;
  ScriptedDialogs dialogs_;
  ui::TForm1 form_{&dialogs_};
};

TEST_F(WindowOperatorTest, ProgressWindowFollowsTheEngine) {
  ui::TDownLoadDlg* dlg = form_.downloadWindow();
  form_.progressShow("Erasing...", 41);
  EXPECT_TRUE(dlg->isVisible());
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Erasing..."));
  EXPECT_EQ(dlg->progressBar()->maximum(), 41);
  form_.progressCaption("Programming...");
  form_.progressPosition(7);
  form_.progressFigures("14s ", "3276");
  EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Programming..."));
  EXPECT_EQ(dlg->progressBar()->value(), 7);
  EXPECT_EQ(dlg->timeLabel()->text(), QStringLiteral("14s "));
  EXPECT_EQ(dlg->rateLabel()->text(), QStringLiteral("3276"));
  dlg->abortButton()->click();
  EXPECT_EQ(form_.engine().downloadAbort, 1);
  form_.progressHide();
  EXPECT_FALSE(dlg->isVisible());
}

TEST_F(WindowOperatorTest, TheEnginesFiguresReachTheLabelsAndEmptyAtPositionZero) {
  // UpdateProgress through the window: position 0 clears both labels.
  form_.progressShow("Reading data...", 0x10000);
  form_.progressFigures("9s ", "100");
  form_.engine().UpdateProgress(0, 0, 0);
  EXPECT_TRUE(form_.downloadWindow()->timeLabel()->text().isEmpty());
  EXPECT_TRUE(form_.downloadWindow()->rateLabel()->text().isEmpty());
  EXPECT_EQ(form_.downloadWindow()->progressBar()->value(), 0);
}

TEST_F(WindowOperatorTest, DeviceFieldsAndPanelsShowWhatTheEngineReads) {
  const std::pair<isp::DeviceField, QLabel*> fields[] = {
      {isp::DeviceField::Manu, form_.lManu},     {isp::DeviceField::DevFam, form_.lDevFam},
      {isp::DeviceField::Mem, form_.lMem},       {isp::DeviceField::Product, form_.lProduct},
      {isp::DeviceField::BSB, form_.lBSB},       {isp::DeviceField::SBV, form_.lSBV},
      {isp::DeviceField::HSB, form_.lHSB},       {isp::DeviceField::BVersion, form_.lBVersion},
  };
  int i = 0;
  for (const auto& [field, label] : fields) {
    const std::string text = "V" + std::to_string(i++);
    form_.deviceField(field, text);
    EXPECT_EQ(label->text().toStdString(), text);
  }
  EXPECT_EQ(form_.panelText(2), QString());

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
    form_.deviceField(c.field, c.value);
    EXPECT_EQ(form_.panelText(2), QString::fromLatin1(c.panel2)) << c.value;
  }
}

TEST_F(WindowOperatorTest, OnlyACompleteLoadEnablesReload) {
  form_.loadFinished(false);
  EXPECT_FALSE(form_.MReload->isEnabled());
  form_.loadFinished(true);
  EXPECT_TRUE(form_.MReload->isEnabled());
}

}  // namespace
}  // namespace velkorn::testing

namespace velkorn::testing {
namespace {

// The application's quit closes every window; a window refusing that close refuses the quit
// and leaves a process without windows behind.
TEST(HelperWindows, AProgramCloseIsNotRefusedWhileShown) {
  int abortFlag = 0;
  ui::TDownLoadDlg progress(&abortFlag);
  ui::TSyncMessage sync;
  progress.show();
  sync.start();
  for (QWidget* window : {static_cast<QWidget*>(&progress), static_cast<QWidget*>(&sync)}) {
    SCOPED_TRACE(window->objectName().toStdString());
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
  }
  EXPECT_EQ(abortFlag, 0);
  EXPECT_FALSE(sync.timer().isActive());
}

}  // namespace
}  // namespace velkorn::testing
