// The terminal inside the window on a pseudo-terminal published as COM1: what the buttons,
// the function keys, Enter and the cyclic sender put on the line, what the target sends
// reaching the memo through the receive poll, both holding while a HEX load owns the line,
// and the terminal's failures and font reaching the window's boxes.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <fstream>

#include "image/failures.h"
#include "ui/hexdump.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

class TerminalInWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.pin(1, pty_.slave());
    form_ = std::make_unique<ui::TForm1>(&dialogs_);
    form_->show();
    QApplication::setActiveWindow(form_.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get(), 5000));
    comEntry(*form_, 1)->trigger();
    ASSERT_EQ(panelText(*form_, 0), QStringLiteral("COM1"));
    ASSERT_EQ(tabs(*form_)->currentWidget(), tabSheet(*form_, 3));
  }
  void TearDown() override { form_.reset(); }

  QToolButton* button(const char* name) const { return form_->terminal()->findChild<QToolButton*>(name); }
  // The memo's lines, without the fresh line it waits on after a received line.
  QString memoText() const {
    QString text = form_->terminal()->memo()->toPlainText();
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    return text;
  }
  // What the window has written to the line so far (nothing more arrives within 100 ms).
  std::string lineOutput() { return readArrived(pty_.master(), SIZE_MAX, 100); }
  void targetSends(const std::string& bytes) {
    ASSERT_EQ(::write(pty_.master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  ConfigHome home_;
  Pty pty_;
  ScriptedDialogs dialogs_;
  std::unique_ptr<ui::TForm1> form_;
};

TEST_F(TerminalInWindow, ButtonsKeysAndTypingPutTheirBytesOnTheLine) {
  struct Case {
    const char* name;
    std::function<void()> act;
    std::string wire;
    int beeps;
    bool memoFocused;
  };
  const Case cases[] = {
      {"F1 from the file view", [this] { QTest::keyClick(fileView(*form_), Qt::Key_F1); }, "KP01001\r\n", 1, true},
      {"F5", [this] { QTest::keyClick(form_->terminal()->memo(), Qt::Key_F5); }, "DOWNLOAD\r\n", 1, true},
      {"F6 has no caption", [this] { QTest::keyClick(form_->terminal()->memo(), Qt::Key_F6); }, "", 0, false},
      {"Shift+F1", [this] { QTest::keyClick(form_->terminal()->memo(), Qt::Key_F1, Qt::ShiftModifier); }, "", 0, false},
      {"second button", [this] { button("tbF2")->click(); }, "KP02001\r\n", 0, false},
      {"sixth button sends the line end alone", [this] { button("tbF6")->click(); }, "\r\n", 0, false},
      {"Enter in the memo", [this] { QTest::keyClick(form_->terminal()->memo(), Qt::Key_Return); }, "\r", 0, false},
      {"a typed letter", [this] { QTest::keyClick(form_->terminal()->memo(), Qt::Key_A); }, "a", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fileView(*form_)->setFocus();
    const int before = beeps(dialogs_);
    c.act();
    EXPECT_EQ(lineOutput(), c.wire);
    EXPECT_EQ(beeps(dialogs_) - before, c.beeps);
    if (c.memoFocused) {
      EXPECT_EQ(QApplication::focusWidget(), form_->terminal()->memo());
    }
  }
}

TEST_F(TerminalInWindow, ReceivedLinesReachTheMemoOnThePollAndAreEchoed) {
  ASSERT_TRUE(terminalPoll(*form_)->isActive());
  targetSends("OK\r\nER");
  EXPECT_TRUE(waitFor([&] { return memoText() == QStringLiteral("OK"); }, 3000)) << memoText().toStdString();
  EXPECT_EQ(readArrived(pty_.master(), 6, 3000), "OK\r\nER");  // "Ech&o" is checked
  targetSends("R\r\n");
  EXPECT_TRUE(waitFor([&] { return memoText() == QStringLiteral("OK\nERR"); }, 3000)) << memoText().toStdString();

  // Another tab stops the poll: what the target sends then waits with the port.
  tabs(*form_)->setCurrentWidget(tabSheet(*form_, 4));
  EXPECT_FALSE(terminalPoll(*form_)->isActive());
  tabs(*form_)->setCurrentWidget(tabSheet(*form_, 3));
  EXPECT_TRUE(terminalPoll(*form_)->isActive());
}

TEST_F(TerminalInWindow, TheCyclicSenderCountsAndHoldsWhileALoadOwnsTheLine) {
  ui::TTerminal& terminal = *form_->terminal();
  EXPECT_EQ(component<QTimer>(*form_, "Timer1"), terminal.cycleTimer());
  terminal.Timer1Timer();
  terminal.Timer1Timer();
  EXPECT_EQ(lineOutput(), "KP01000\r\nKP01001\r\n");

  const auto hex = home_.root() / "one.hex";
  std::ofstream(hex, std::ios::binary) << ":0100000055AA\r\n:00000001FF\r\n";
  bool busy = false;
  std::string sentDuringLoad = "unset";
  bool memoChangedDuringLoad = true;
  dialogs_.onOpenFile = [&] {
    busy = form_->engine().busy();
    terminal.Timer1Timer();
    sentDuringLoad = lineOutput();
    // The receive poll holds as well: a line the target sends now is not taken.
    targetSends("HOLD\r\n");
    memoChangedDuringLoad = waitFor([&] { return !memoText().isEmpty(); }, 400);
  };
  dialogs_.fileAnswers = {QString::fromStdString(hex.string())};
  action(*form_, "LoadFile1")->trigger();
  EXPECT_TRUE(busy);
  EXPECT_EQ(sentDuringLoad, "");
  EXPECT_FALSE(memoChangedDuringLoad);
  EXPECT_TRUE(dialogs_.of("error").empty());

  // After the load the counter goes on where it stopped, and the held line arrives.
  tabs(*form_)->setCurrentWidget(tabSheet(*form_, 3));  // the operator looks at the terminal
  terminal.Timer1Timer();
  EXPECT_EQ(lineOutput().substr(0, 9), "KP01002\r\n");  // the echo of HOLD may follow
  EXPECT_TRUE(waitFor([&] { return memoText() == QStringLiteral("HOLD"); }, 3000)) << memoText().toStdString();
}

TEST_F(TerminalInWindow, TerminalFailuresAndTheFontGoThroughTheWindowsBoxes) {
  // A cycle interval without a digit: the conversion failure's text in the error box.
  form_->terminal()->findChild<QLineEdit*>("eCycle")->setText(QStringLiteral("fast"));
  button("tbCycle")->click();
  EXPECT_EQ(dialogs_.of("error"), std::vector<std::string>{invalidIntegerText("") + "|ok"});

  // "Terminal Font" starts from the memo's font and gives the memo the chosen one.
  const QFont before = form_->terminal()->memo()->font();
  QFont chosen(QStringLiteral("DejaVu Sans Mono"), 14);
  chosen.setBold(true);
  dialogs_.fontAnswer = chosen;
  deviceWidget<QPushButton>(*form_, "BitBtn2")->click();
  EXPECT_EQ(dialogs_.fontShown, before);
  EXPECT_EQ(form_->terminal()->memo()->font(), chosen);
  EXPECT_EQ(form_->terminalFont(), chosen);
  dialogs_.fontAnswer.reset();  // Cancel keeps the font
  deviceWidget<QPushButton>(*form_, "BitBtn2")->click();
  EXPECT_EQ(form_->terminal()->memo()->font(), chosen);
}

TEST_F(TerminalInWindow, OnANarrowWindowNoToolBarControlHidesAndTheHotKeysKeepTheirFrames) {
  // At 700 pixels the echo box went behind the tool bar's overflow button, and the flat
  // sixth button with its empty caption could not be seen at all.
  form_->resize(700, 540);
  QTest::qWait(20);
  const QWidget* bar = form_->terminal()->findChild<QWidget*>("ToolBar1");
  ASSERT_NE(bar, nullptr);
  for (const char* name : {"tbf1", "tbF2", "TbF3", "tbF4", "tbF5", "tbF6", "tbCycle", "eCycleStr", "eCycle", "cbEcho"}) {
    SCOPED_TRACE(name);
    const QWidget* control = bar->findChild<QWidget*>(name);
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(control->isVisible());
    EXPECT_TRUE(bar->rect().contains(control->geometry()));
  }
  EXPECT_FALSE(button("tbF6")->autoRaise());
}

}  // namespace
}  // namespace velkorn::testing
