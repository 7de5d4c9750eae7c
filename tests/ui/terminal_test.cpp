// The terminal tab: command lines with the rolling counter, the cyclic sender, typed
// characters, received lines, echo, and the bounded receive poll.
#include "ui/terminal.h"

#include <chrono>
#include <cstdlib>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include "image/failures.h"
#include "isp/clock.h"
#include "link/serial_port.h"
#include "support/fake_clock.h"
#include "support/pty.h"
#include "window_fixture.h"

namespace velkorn::ui {
namespace {

using namespace std::string_literals;

QString Q(const char16_t* text) { return QString::fromUtf16(text); }

// The link as the terminal sees it: a serial side fed from a queue, a socket side, and
// everything written recorded in order.
class FakeLink final : public TerminalLink {
 public:
  bool serialOpen() const override { return serialIsOpen; }
  void serialWrite(std::string_view bytes) override { serialOut.append(bytes); }
  link::ReadResult serialReadByte() override {
    ++reads;
    if (clock != nullptr) clock->advance(readCostMs);
    if (endless) return isp::LinkRead{1, static_cast<std::uint8_t>('0' + (streamed++ % 10))};
    if (serialIn.empty()) return isp::LinkRead{};
    const auto byte = static_cast<std::uint8_t>(serialIn.front());
    serialIn.pop_front();
    return isp::LinkRead{1, byte};
  }
  bool socketConnected() const override { return socketIsConnected; }
  void socketWrite(const std::string& text) override {
    if (socketWriteFails) throw std::runtime_error("10054:Connection reset by peer");
    socketOut.push_back(text);
  }
  std::string socketRead() override { return std::exchange(socketIn, {}); }
  bool linkBusy() const override { return busy; }

  void feed(const std::string& bytes) { serialIn.insert(serialIn.end(), bytes.begin(), bytes.end()); }

  bool serialIsOpen = true;
  bool socketIsConnected = false, socketWriteFails = false, busy = false;
  bool endless = false;  // a target that streams digits without pause
  std::size_t streamed = 0;
  std::deque<char> serialIn;
  std::string serialOut;
  std::string socketIn;
  std::vector<std::string> socketOut;
  int reads = 0;
  testing::FakeClock* clock = nullptr;
  std::uint32_t readCostMs = 0;
};

class TerminalTest : public ::testing::Test {
 protected:
  TerminalTest() : term(link, nullptr, &clock) {
    term.setErrorHandler([this](const std::string& text) { errors.push_back(text); });
  }
  QToolButton* button(const char* name) { return term.findChild<QToolButton*>(name); }
  QLineEdit* edit(const char* name) { return term.findChild<QLineEdit*>(name); }
  QCheckBox* echoBox() { return term.findChild<QCheckBox*>("cbEcho"); }
  QString memoText() { return term.memo()->toPlainText(); }
  void receive(const std::string& bytes) {
    link.feed(bytes);
    term.Timer2Timer();
  }

  FakeLink link;
  testing::FakeClock clock;
  TTerminal term;
  std::vector<std::string> errors;
};

// ---- command lines and the counter -------------------------------------------------------

TEST(TerminalLineTest, ExpandsOnlyTheFirstMarkAndAppendsCrLf) {
  struct Case { const char* text; int counter; std::string wire; bool used; };
  const Case cases[] = {
      {"KP01@", 0, "KP01000\r\n", true},  {"KP01@", 7, "KP01007\r\n", true},
      {"KP01@", 42, "KP01042\r\n", true}, {"KP01@", 999, "KP01999\r\n", true},
      {"A@B@", 5, "A005B@\r\n", true},    {"@", 123, "123\r\n", true},
      {"KP01001", 5, "KP01001\r\n", false}, {"", 5, "\r\n", false},
  };
  for (const Case& c : cases) {
    const ExpandedLine line = expandTerminalLine(c.text, c.counter);
    EXPECT_EQ(line.bytes, c.wire) << c.text << " with " << c.counter;
    EXPECT_EQ(line.counterUsed, c.used) << c.text;
  }
}

TEST_F(TerminalTest, CounterRunsFromZeroOnceThenWrapsToOne) {
  std::vector<std::string> lines;
  for (int i = 0; i < 1002; ++i) {
    link.serialOut.clear();
    term.SendTerminalLine("KP01@");
    lines.push_back(link.serialOut);
  }
  const std::pair<int, const char*> expected[] = {
      {0, "KP01000\r\n"}, {1, "KP01001\r\n"}, {2, "KP01002\r\n"}, {998, "KP01998\r\n"},
      {999, "KP01999\r\n"}, {1000, "KP01001\r\n"}, {1001, "KP01002\r\n"},
  };
  for (const auto& [index, wire] : expected) EXPECT_EQ(lines[index], wire) << "send " << index;
}

TEST_F(TerminalTest, LineGoesToSerialElseSocketElseNowhereAndCounterAdvancesAnyway) {
  struct Case { bool serial; bool socket; bool toSerial; bool toSocket; };
  const Case cases[] = {
      {true, true, true, false}, {true, false, true, false},
      {false, true, false, true}, {false, false, false, false},
  };
  int counter = 0;
  for (const Case& c : cases) {
    link.serialIsOpen = c.serial;
    link.socketIsConnected = c.socket;
    link.serialOut.clear();
    link.socketOut.clear();
    term.SendTerminalLine("X@");
    const std::string wire = "X00" + std::to_string(counter++) + "\r\n";
    EXPECT_EQ(link.serialOut, c.toSerial ? wire : "") << c.serial << c.socket;
    EXPECT_EQ(link.socketOut, c.toSocket ? std::vector<std::string>{wire} : std::vector<std::string>{});
    EXPECT_EQ(term.cycleCounter(), counter);
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(TerminalTest, SocketFailuresAreReportedAndLoseNoReceivedText) {
  link.serialIsOpen = false;
  link.socketIsConnected = true;
  link.socketWriteFails = true;
  EXPECT_NO_THROW(term.SendTerminalLine("KP01@"));
  EXPECT_EQ(errors, std::vector<std::string>{"10054:Connection reset by peer"});
  link.socketIn = "LOST?\r\n";
  EXPECT_NO_THROW(term.SockDataAvailable());
  EXPECT_EQ(memoText(), "LOST?\n");
}

TEST_F(TerminalTest, EachHotKeyButtonSendsItsOwnCaption) {
  const std::pair<const char*, std::string> cases[] = {
      {"tbf1", "KP01001\r\n"}, {"tbF2", "KP02001\r\n"}, {"TbF3", "AM0105\r\n"},
      {"tbF4", "QS0105\r\n"},  {"tbF5", "DOWNLOAD\r\n"}, {"tbF6", "\r\n"},
  };
  for (const auto& [name, wire] : cases) {
    QToolButton* b = button(name);
    ASSERT_NE(b, nullptr) << name;
    link.serialOut.clear();
    b->click();
    EXPECT_EQ(link.serialOut, wire) << name;
  }
  EXPECT_EQ(term.cycleCounter(), 0);

  term.setHotKeyCaption(2, "SET@");
  link.serialOut.clear();
  button("TbF3")->click();
  EXPECT_EQ(link.serialOut, "SET000\r\n");
  EXPECT_EQ(term.hotKeyCaption(2), "SET@");

  // A caption is never cut: its button grows to fit it.
  term.setHotKeyCaption(4, "DOWNLOAD ALL THE THINGS");
  term.resize(1400, 300);
  term.show();
  QTest::qWait(50);
  for (const char* name : {"tbf1", "tbF5", "tbF6"}) {
    const QToolButton* b = button(name);
    EXPECT_GE(b->width(), std::max(71, b->fontMetrics().horizontalAdvance(b->text()) + 8)) << name;
  }
}

// ---- received lines -----------------------------------------------------------------------

TEST_F(TerminalTest, ReceivedBytesShowAtTheirLfOrAfterAPause) {
  // pause: the line then falls silent long enough for its start to be shown.
  struct Step { std::string bytes; QString memo; std::string pending; bool pause = false; };
  struct Case { const char* name; std::vector<Step> steps; };
  const Case cases[] = {
      {"CR LF then partial", {{"OK\r\nERR", "OK\n", "ERR"}, {"\r\n", "OK\nERR\n", ""}}},
      {"LF alone keeps the last character", {{"ABC\n", "ABC\n", ""}}},
      {"empty lines", {{"\n", "\n", ""}, {"\r\n", "\n\n", ""}}},
      {"CR without LF stays in the line", {{"A\rB", "", "A\rB"}, {"\r\n", "A<0D>B\n", ""}}},
      {"NUL does not cut the line", {{"A\0B\r\n"s, "A<00>B\n", ""}}},
      {"8-bit text", {{"\xE4\xF6\xFC\xDF\r\n", Q(u"\u00E4\u00F6\u00FC\u00DF\n"), ""}}},
      {"several lines at once", {{"1\r\n2\n3\r\n4", "1\n2\n3\n", "4"}, {"\n", "1\n2\n3\n4\n", ""}}},
      {"CR CR LF keeps one CR", {{"X\r\r\n", "X<0D>\n", ""}}},
      {"a prompt shows after a pause; its line goes on in place",
       {{"login: ", "", "login: "}, {"", "login: ", "", true}, {"root\r\n", "login: root\n", ""}}},
      {"a CR waits for what follows it", {{"abc\r", "abc", "\r", true}, {"\n", "abc\n", ""}}},
      {"a CR followed by text is shown", {{"a\r", "a", "\r", true}, {"b", "a<0D>b", "", true}, {"\n", "a<0D>b\n", ""}}},
      {"lines before the pause", {{"1\r\n2", "1\n2", "", true}, {"3\n4", "1\n23\n", "4"}, {"\n", "1\n23\n4\n", ""}}},
      {"4 KiB without a line feed show at once",
       {{std::string(4000, 'x'), "", std::string(4000, 'x')},
        {std::string(96, 'x'), QString(4096, u'x') + "\n", ""},
        {"yz\n", QString(4096, u'x') + "\nyz\n", ""}}},
  };
  for (const Case& c : cases) {
    term.Memo1DblClick();
    for (const Step& s : c.steps) {
      receive(s.bytes);
      if (s.pause) {
        EXPECT_TRUE(term.partialLineTimer()->isActive()) << c.name;
        term.showPartialLine();
      }
      EXPECT_EQ(memoText(), s.memo) << c.name;
      EXPECT_EQ(term.receiveBuffer(), s.pending) << c.name;
    }
    ASSERT_TRUE(term.receiveBuffer().empty()) << c.name << ": later cases need a clean buffer";
  }
}

TEST_F(TerminalTest, DoubleClickClearsTheMemoButKeepsThePartialLineAndCounter) {
  receive("FIRST\r\nPAR");
  term.SendTerminalLine("@");
  QTest::mouseDClick(term.memo()->viewport(), Qt::LeftButton);
  EXPECT_EQ(memoText(), "");
  EXPECT_EQ(term.receiveBuffer(), "PAR");
  EXPECT_EQ(term.cycleCounter(), 1);
  receive("T\r\n");
  EXPECT_EQ(memoText(), "PART\n");
}

TEST(TerminalDisplayTest, ControlBytesShowTheirValueInHexAndLatin1StaysItself) {
  // Every font draws "<0D>"; the control pictures U+2400.. came out as the same empty box
  // in most of them.
  struct Case { std::string bytes; QString shown; };
  const Case cases[] = {
      {"AZ az 09 ~", "AZ az 09 ~"}, {"a\tb", "a\tb"}, {"\0"s, "<00>"},
      {"\r", "<0D>"}, {"\n", "<0A>"}, {"\x1B[0m", "<1B>[0m"},
      {"\x7F", "<7F>"}, {"\x85\x9F", "<85><9F>"},
      {"\xA0\xE9\xFF", Q(u"\u00A0\u00E9\u00FF")},
  };
  for (const Case& c : cases) EXPECT_EQ(terminalDisplayText(c.bytes), c.shown) << c.shown.toStdString();
}

TEST_F(TerminalTest, ControlBytesAreDrawnApartFromTheSameCharactersReceivedAsText) {
  receive("<0D>\r\r\n");
  const QTextBlock line = term.memo()->document()->firstBlock();
  ASSERT_EQ(line.text(), "<0D><0D>");
  QTextCursor cursor(line);
  cursor.setPosition(line.position() + 1);
  const QColor text = cursor.charFormat().foreground().color();
  cursor.setPosition(line.position() + 5);
  EXPECT_NE(cursor.charFormat().foreground().color(), text);
}

TEST_F(TerminalTest, AVeryLongLineIsShownInPiecesWhileTheEventLoopKeepsTurning) {
  // One received line of 1 MB held the window for tens of seconds: the memo's layout cost
  // grows much faster than the line.
  term.resize(600, 400);
  term.show();
  std::string line(1 << 20, ' ');
  for (std::size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>('!' + i % 90);
  link.serialIsOpen = false;
  link.socketIsConnected = true;
  link.socketIn = line + "\r\n";
  testing::LoopWatch watch;
  term.SockDataAvailable();
  ASSERT_TRUE(testing::waitFor([&] { return term.linesPending() == 0; }, 120000));
  EXPECT_LT(watch.worstGapMs(), 1500);

  QString shown;
  for (QTextBlock b = term.memo()->document()->firstBlock(); b.isValid(); b = b.next()) {
    EXPECT_LE(b.text().size(), static_cast<qsizetype>(kDisplayPieceBytes));
    shown += b.text();
  }
  EXPECT_EQ(shown, QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
  EXPECT_EQ(link.socketOut.back().size(), line.size() + 2) << "the echo is the whole line";
}

TEST_F(TerminalTest, KeptTextIsBoundedAndTheNewestIsKept) {
  // A module streaming 100 MB left 287 MB in the window's memory.
  link.serialIsOpen = false;
  link.socketIsConnected = true;
  struct Case {
    const char* name;
    std::string line;  // repeated past the bound
    std::size_t copies;
  };
  const Case cases[] = {
      {"lines of 100 bytes", std::string(98, 'a') + "\r\n", 2 * kKeptTextChars / 100},
      {"a line without end", std::string(kKeptTextChars / 2, 'b'), 3},
      {"short lines", "c\n", 2 * static_cast<std::size_t>(kKeptLines)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    term.memo()->clear();
    link.socketOut.clear();
    std::string flood;
    for (std::size_t i = 0; i < c.copies; ++i) flood += c.line;
    link.socketIn = flood;
    term.SockDataAvailable();
    EXPECT_LE(term.receiveBuffer().size(), kKeptTextChars);
    link.socketIn = "LAST\r\n";
    term.SockDataAvailable();
    ASSERT_TRUE(testing::waitFor([&] { return term.linesPending() == 0; }, 120000));
    const QTextDocument& shown = *term.memo()->document();
    EXPECT_LE(static_cast<std::size_t>(shown.characterCount()), kKeptTextChars + 1);
    EXPECT_LE(shown.blockCount(), kKeptLines);
    EXPECT_TRUE(shown.lastBlock().previous().text().endsWith("LAST"));
    EXPECT_EQ(link.socketOut, (std::vector<std::string>{flood, "LAST\r\n"})) << "the echo is every byte";
  }
}

// Serial echo is tested over a real pseudo-terminal below. Over the module's socket too the
// Echo box decides: a module that echoes as well kept one line circling for ever.
TEST_F(TerminalTest, SocketDataIsWrittenBackOnlyWhileEchoIsTickedAndNoPortMeansNoPoll) {
  link.serialIsOpen = false;  // no port: the poll reads nothing
  link.feed("NOT READ\r\n");
  const int reads = link.reads;
  term.Timer2Timer();
  EXPECT_EQ(link.reads, reads);

  for (const bool echo : {true, false}) {
    echoBox()->setChecked(echo);
    term.Memo1DblClick();
    link.socketOut.clear();
    link.socketIn = "NET\r\n";
    term.SockDataAvailable();
    EXPECT_EQ(link.socketOut, echo ? std::vector<std::string>{"NET\r\n"} : std::vector<std::string>{}) << echo;
    EXPECT_EQ(memoText(), "NET\n") << echo;
  }
}

// ---- the bounded poll --------------------------------------------------------------------

TEST_F(TerminalTest, PollTakesABoundedSliceAndLosesNothing) {
  struct Case { std::uint32_t readCostMs; std::size_t perTick; };
  const Case cases[] = {
      {0, kPollSliceBytes},  // bytes arrive faster than time passes: the byte limit ends it
      {20, 3},               // 20, 40, 60 ms: the third read crosses the 50 ms slice
      {10, 5}, {60, 1},
  };
  link.endless = true;
  link.clock = &clock;
  echoBox()->setChecked(false);
  for (const Case& c : cases) {
    link.readCostMs = c.readCostMs;
    link.streamed = 0;
    term.Memo1DblClick();
    const std::string before = term.receiveBuffer();
    term.Timer2Timer();
    ASSERT_EQ(link.streamed, c.perTick) << "cost " << c.readCostMs;
    term.Timer2Timer();
    ASSERT_EQ(link.streamed, 2 * c.perTick) << "cost " << c.readCostMs;
    // The stream has no LF: both slices wait in the buffer, in order, or are shown from
    // 4 KiB on.
    std::string expected;
    for (std::size_t i = 0; i < 2 * c.perTick; ++i) expected.push_back(static_cast<char>('0' + i % 10));
    EXPECT_EQ(memoText().remove(u'\n').toStdString() + term.receiveBuffer(), before + expected);
  }
}

// A poll that never ran out of bytes would never return: the loop below would hang.
TEST(TerminalPollTimeTest, EndlessStreamReturnsAfterASliceATick) {
  FakeLink link;
  link.endless = true;
  TTerminal term(link);  // the machine's own clock
  for (int tick = 0; tick < 5; ++tick) term.Timer2Timer();
  EXPECT_LE(link.streamed, 5 * kPollSliceBytes);
  EXPECT_EQ(link.serialOut.size(), link.streamed) << "each byte echoed once";
}

// ---- typing ------------------------------------------------------------------------------

TEST_F(TerminalTest, TypedCharactersAreSentOneByOneAndShownAtTheEnd) {
  struct Key { Qt::Key key; char ascii; Qt::KeyboardModifiers modifiers = Qt::NoModifier; };
  struct Case { const char* name; std::vector<Key> keys; std::string sent; QString memo; };
  const Case cases[] = {
      {"letters", {{Qt::Key_A, 'a'}, {Qt::Key_B, 'b'}}, "ab", "ab"},
      {"enter is CR alone", {{Qt::Key_O, 'o'}, {Qt::Key_Return, 0}, {Qt::Key_K, 'k'}}, "o\rk", "o\nk"},
      {"backspace is a character, not an edit",
       {{Qt::Key_X, 'x'}, {Qt::Key_Backspace, 0}}, "x\b", "x<08>"},
      {"escape", {{Qt::Key_Escape, 0}}, "\x1B", "<1B>"},
      {"alt with a letter is no character",
       {{Qt::Key_Z, 'z', Qt::AltModifier}, {Qt::Key_Y, 'y', Qt::AltModifier | Qt::ShiftModifier}}, "", ""},
      {"altgr as ctrl+alt still types", {{Qt::Key_Q, '@', Qt::ControlModifier | Qt::AltModifier}}, "@", "@"},
  };
  QPlainTextEdit* memo = term.memo();
  for (const Case& c : cases) {
    memo->setPlainText("old");
    QTextCursor atStart = memo->textCursor();
    atStart.movePosition(QTextCursor::Start);
    memo->setTextCursor(atStart);  // the caret elsewhere: typing still lands at the end
    link.serialOut.clear();
    for (const Key& k : c.keys) {
      if (k.ascii != 0) QTest::keyClick(memo, k.ascii, k.modifiers);
      else QTest::keyClick(memo, k.key, k.modifiers);
    }
    EXPECT_EQ(link.serialOut, c.sent) << c.name;
    EXPECT_EQ(memoText(), "old" + c.memo) << c.name;
    if (!c.sent.empty()) {
      EXPECT_EQ(memo->textCursor().position(), memo->document()->characterCount() - 1) << c.name;
    }
  }
}

TEST_F(TerminalTest, TypedLineAndAnswerShareTheMemoLineByLine) {
  for (char c : std::string("KP01")) QTest::keyClick(term.memo(), c);
  QTest::keyClick(term.memo(), Qt::Key_Return);
  receive("OK\r\n");
  QTest::keyClick(term.memo(), 'x');
  receive("ERR\r\n");
  EXPECT_EQ(memoText(), "KP01\nOK\nx\nERR\n");
}

// ---- the cyclic sender -------------------------------------------------------------------

TEST_F(TerminalTest, CycleIntervalIsMadeOfTheDigitsOfTheBox) {
  struct Case { const char* text; int interval; bool active; std::string error; };
  const Case cases[] = {
      {"500 ms", 500, true, ""}, {"1 000 ms", 1000, true, ""}, {"2.5 s", 25, true, ""},
      {"2147483647", 2147483647, true, ""}, {"0", 0, false, ""},
      {"ms", 1000, true, invalidIntegerText("")}, {"", 1000, true, invalidIntegerText("")},
      {"2147483648", 1000, true, invalidIntegerText("2147483648")},
      {"99 999 999 999 ms", 1000, true, invalidIntegerText("99999999999")},
  };
  QToolButton* cycle = button("tbCycle");
  for (const Case& c : cases) {
    // Start from a running sender at 1000 ms.
    edit("eCycle")->setText("1000");
    if (cycle->isChecked()) cycle->click();
    cycle->click();
    ASSERT_EQ(term.cycleTimer()->interval(), 1000);
    ASSERT_TRUE(term.cycleTimer()->isActive());
    cycle->click();  // released
    EXPECT_FALSE(term.cycleTimer()->isActive());

    errors.clear();
    edit("eCycle")->setText(c.text);
    cycle->click();  // pressed again: the interval is read now
    EXPECT_TRUE(cycle->isChecked()) << c.text;
    EXPECT_EQ(term.cycleTimer()->interval(), c.interval) << c.text;
    EXPECT_EQ(term.cycleTimer()->isActive(), c.active) << c.text;
    EXPECT_EQ(errors, c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error})
        << c.text;
  }
}

// While a chip operation owns the link nothing of the terminal's goes out: the window stays
// responsive during the operation's waits, and a line would land between two records.
TEST_F(TerminalTest, NothingGoesOutWhileTheLinkIsBusy) {
  auto tick = [this] { term.Timer1Timer(); };
  auto hotKey = [this] { button("TbF3")->click(); };
  auto typed = [this] { QTest::keyClick(term.memo(), Qt::Key_A); };
  auto fKey = [this] { term.SendTerminalLine("F@"); };
  struct Step { const char* what; bool busy; std::function<void()> act; std::string wire; int counterAfter; };
  const Step steps[] = {
      {"tick", false, tick, "KP01000\r\n", 1}, {"tick", true, tick, "", 1},
      {"hot key", true, hotKey, "", 1},          {"typed", true, typed, "", 1},
      {"F key", true, fKey, "", 1},              {"tick", false, tick, "KP01001\r\n", 2},
      {"typed", false, typed, "a", 2},          {"F key", false, fKey, "F002\r\n", 3},
  };
  for (const Step& s : steps) {
    link.busy = s.busy;
    link.serialOut.clear();
    s.act();
    EXPECT_EQ(link.serialOut, s.wire) << s.what << s.busy;
    EXPECT_EQ(term.cycleCounter(), s.counterAfter) << s.what << s.busy;
  }
  EXPECT_EQ(memoText(), "a") << "a key typed while busy is not shown either";
}

TEST_F(TerminalTest, RunningSenderTicksAndAZeroIntervalNeverDoes) {
  QToolButton* cycle = button("tbCycle");
  edit("eCycle")->setText("0 ms");
  cycle->click();
  QTest::qWait(60);
  EXPECT_EQ(link.serialOut, "");
  EXPECT_TRUE(cycle->isChecked());

  cycle->click();
  edit("eCycle")->setText("5 ms");
  edit("eCycleStr")->setText("T@");
  cycle->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return link.serialOut.size() >= 2 * 5; }, 5000));
  EXPECT_EQ(link.serialOut.substr(0, 10), "T000\r\nT001");
}

// ---- over a real pseudo-terminal ---------------------------------------------------------

class PortLink final : public TerminalLink {
 public:
  explicit PortLink(link::SerialPort& port) : port_(port) {}
  bool serialOpen() const override { return port_.isOpen(); }
  void serialWrite(std::string_view bytes) override { ASSERT_TRUE(port_.write(bytes).ok()); }
  link::ReadResult serialReadByte() override { return port_.readByte(); }
  bool socketConnected() const override { return false; }
  void socketWrite(const std::string&) override {}
  std::string socketRead() override { return {}; }
  bool linkBusy() const override { return false; }

 private:
  link::SerialPort& port_;
};

TEST(TerminalPtyTest, EchoWritesEachReceivedByteBackOnceOnlyWhenChecked) {
  struct Case { bool echo; std::string back; };
  for (const Case& c : {Case{true, "HELLO\r\n"}, Case{false, ""}}) {
    testing::PseudoTerminal pty;
    ASSERT_TRUE(pty.isOpen());
    link::SerialPort port;
    const Status opened = port.open(pty.slave());
    ASSERT_TRUE(opened.ok()) << opened.message();
    PortLink plink(port);
    TTerminal term(plink);
    term.findChild<QCheckBox*>("cbEcho")->setChecked(c.echo);

    ASSERT_TRUE(pty.send("HELLO\r\n"));
    QElapsedTimer waited;
    waited.start();
    while (term.memo()->toPlainText().isEmpty() && waited.elapsed() < 3000) term.Timer2Timer();
    EXPECT_EQ(term.memo()->toPlainText(), "HELLO\n") << "echo " << c.echo;
    // Wait a little past the expected bytes so that a doubled echo would show.
    EXPECT_EQ(pty.receive(c.back.size() + 1, std::chrono::milliseconds(c.echo ? 500 : 200)), c.back)
        << "echo " << c.echo;

    term.SendTerminalLine("KP01@");
    EXPECT_EQ(pty.receive(9, std::chrono::milliseconds(2000)), "KP01000\r\n");
    port.close();
    pty.closeMaster();
  }
}

}  // namespace
}  // namespace velkorn::ui
