// Command records, the exchange with its stop characters and bounds, the flush, the
// progress figures and the error box.
#include <gtest/gtest.h>

#include <functional>

#include "engine_rig.h"

namespace velkorn::testing {
namespace {

using isp::Button;
using isp::Engine;

TEST(Records, ChecksumsOfTheFixedRecords) {
  const std::pair<const char*, const char*> cases[] = {
      {":0100000307", ":0100000307F5"},
      {":020000050000", ":020000050000F9"},
      {":020000050F00", ":020000050F00EA"},
      {":050000040000FFBF01", ":050000040000FFBF0138"},
      {":05000004000000FF00", ":05000004000000FF00F8"},
      {":050000047F007FFF00", ":050000047F007FFF00FA"},
      {":020000030501", ":020000030501F5"},
      {":030000030A0400", ":030000030A0400EC"},
      {":03000003060000", ":03000003060000F4"},
      {":10010000000102030405060708090A0B0C0D0E0F", ":10010000000102030405060708090A0B0C0D0E0F77"},
  };
  for (const auto& [record, sent] : cases) EXPECT_EQ(Engine::AppendChecksum(record), sent) << record;
}

TEST(Records, ReplyValue) {
  const std::pair<const char*, const char*> cases[] = {
      {"58.", "58"}, {".", ""}, {"", ""}, {"X", "X"}, {"58", "X"}, {"FC00\r\n", "X"}};
  for (const auto& [reply, value] : cases) EXPECT_EQ(Engine::ReplyValue(reply), value) << reply;
}

struct ExchangeCase {
  const char* name;
  std::string chipSends;  // after the record arrived
  int limit;
  std::string reply;      // what the exchange returns
  bool echoBox;           // "Error in cmd " shown
};

TEST(Exchange, RepliesEchoAndLimit) {
  const std::string sent = ":020000050000F9";
  const ExchangeCase cases[] = {
      {"value", sent + "58.", 0, "58.", false},
      {"refused", sent + "X", 0, "X", false},
      {"empty value", sent + ".", 0, ".", false},
      {"nothing at all", "", 0, "", true},
      {"garbage, no echo", "?58.", 0, "?58.", true},
      {"echo after noise", "\r\n" + sent + "D7.", 0, "D7.", false},
      {"limit cuts a reply without end", sent + std::string(1000, 'a'), 647, std::string(647 - 15, 'a'), false},
      {"default limit 1024", sent + std::string(2000, 'a'), 0, std::string(1024 - 15, 'a'), false},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.respond = [&](const std::string&) { return c.chipSends; };
    Engine engine(link, op, op, op, clock);
    engine.replyLimit = c.limit;
    EXPECT_EQ(engine.ExchangeRecord(":020000050000", true, 0), c.reply) << c.name;
    const std::vector<std::string> boxes = c.echoBox ? std::vector<std::string>{"Error in cmd " + sent + "|ok"}
                                                     : std::vector<std::string>{};
    EXPECT_EQ(op.errors(), boxes) << c.name;
    EXPECT_EQ(op.log.front(), sent) << c.name;
    if (!c.echoBox) {
      EXPECT_EQ(op.log.back(), "->" + c.reply) << c.name;
    }
  }
}

struct StopCase {
  char stop;
  std::string answer;    // after the echo, then silence
  std::string reply;
  std::uint32_t minMs, maxMs;  // fake time the wait took
};

TEST(Exchange, StopCharactersAndBoundedWaits) {
  const StopCase cases[] = {
      {'\0', "AB", "AB", 0, 100},                             // silence ends it
      {'\0', "5.8", "5.", 0, 100},                            // "." ends any wait
      {'.', "AB", "AB", 30000, 30100},                        // erase gives up after 30 s
      {'.', "ABX7", "ABX", 0, 100},
      {'\n', "FC00\r\nZZ", "FC00\r\n", 0, 100},
      {'\n', "FC00", "FC00", 5000, 5100},                     // blank check: 5 s
      {'\x01', "ab\x01" "cd", "ab\x01", 0, 100},
      {'\x01', "", "", 5000, 5100},                           // data record: 5 s
  };
  for (const auto& c : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.respond = [&](const std::string& w) { return w + c.answer; };
    Engine engine(link, op, op, op, clock);
    const std::uint32_t start = clock.tickMs();
    EXPECT_EQ(engine.ExchangeRecord(":0100000307", true, c.stop), c.reply) << int(c.stop) << c.answer;
    const std::uint32_t took = clock.tickMs() - start;
    EXPECT_GE(took, c.minMs) << int(c.stop) << c.answer;
    EXPECT_LE(took, c.maxMs) << int(c.stop) << c.answer;
  }
}

// A line that failed a call gets no box per record (the outcome says why, once), and the
// records after it are not sent.
TEST(Exchange, ClosedLinkComesBackEmptyAtOnce) {
  for (char stop : {'\0', '.', '\n', '\x01'}) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.open = false;
    Engine engine(link, op, op, op, clock);
    EXPECT_EQ(engine.ExchangeRecord(":0100000307", true, stop), "");
    EXPECT_EQ(engine.ExchangeRecord(":0100000307", true, stop), "");
    EXPECT_EQ(link.reads, 1);
    EXPECT_TRUE(op.errors().empty());
  }
}

TEST(Exchange, FlushReadsUntilSilenceOrAtMost1001Times) {
  const std::tuple<bool, std::string, int> cases[] = {{false, "", 1}, {false, "abc", 4}, {true, "", 1001}};
  for (const auto& [stream, waiting, reads] : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.stream = stream;
    link.pending = waiting;
    Engine engine(link, op, op, op, clock);
    engine.FlushInput();
    EXPECT_EQ(link.reads, reads);
  }
}

TEST(Progress, FiguresAfterTheFirstSecond) {
  struct Case {
    std::uint32_t startMs, elapsedMs;
    int position, total, bytesPerStep;
    const char *timeLeft, *rate;
  };
  const Case cases[] = {
      {1000, 5000, 0x4000, 0xFFFF, 1, "14s ", "3276"},
      {1000, 60000, 0x4000, 0xFFFF, 1, "179s ", "273"},  // product beyond 32 bits
      {1000, 1000, 0x4000, 0xFFFF, 1, "", ""},           // not yet more than a second
      {1000, 1001, 10, 100, 16, "9s ", "159"},
      {0xFFFFF000u, 5000, 0x4000, 0xFFFF, 1, "14s ", "3276"},  // tick count wraps meanwhile
  };
  for (const auto& c : cases) {
    FakeClock clock;
    clock.set(c.startMs);
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    Engine engine(link, op, op, op, clock);
    op.timeLeft = "old";
    engine.UpdateProgress(0, 0, 0);
    EXPECT_EQ(op.timeLeft, "");
    clock.advance(c.elapsedMs);
    engine.UpdateProgress(c.position, c.total, c.bytesPerStep);
    EXPECT_EQ(op.timeLeft, c.timeLeft) << c.elapsedMs;
    EXPECT_EQ(op.bytesPerSecond, c.rate) << c.elapsedMs;
    EXPECT_EQ(op.lastProgressPosition, c.position);
    EXPECT_EQ(op.processEventsCalls, 2);
  }
}

TEST(ErrorBox, CancelRaisesTheAbortFlag) {
  const std::tuple<bool, Button, Button, bool> cases[] = {
      {true, Button::Cancel, Button::Cancel, true},
      {true, Button::Ok, Button::Ok, false},
      {false, Button::Cancel, Button::Ok, false},  // an OK-only box has no Cancel
  };
  for (const auto& [cancellable, pressed, result, abort] : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    Engine engine(link, op, op, op, clock);
    op.errorAnswers = {pressed};
    EXPECT_EQ(engine.ShowError("boom", cancellable), result);
    EXPECT_EQ(engine.downloadAbort.raised(), abort);
  }
}

// The window stays alive in every wait: its messages run at least every 100 ms, and Abort
// (or Exit) raised meanwhile ends the wait at once, with no box and nothing more sent.
TEST(Waits, MessagesRunAndAbortEndsTheWait) {
  struct Case {
    const char* name;
    std::function<isp::Outcome(SimRig&)> run;
    int eraseDelayMs, silentAfterRecords;
    std::int64_t abortAfterMs;  // -1: never
    isp::OutcomeKind kind;
    const char* lastRecord;  // the record whose wait ended the command
  };
  auto erase = [](SimRig& rig) { return rig.engine.erase(); };
  auto program = [](SimRig& rig) {
    rig.loadFile({{0x0000, 0x12}, {0x0010, 0x34}, {0x0020, 0x56}});
    return rig.engine.program();
  };
  // A flag raised by a box before the wait began (a bad HEX line ahead of Reload's
  // synchronisation) does not cut the next answer short.
  auto raisedBefore = [](SimRig& rig) {
    rig.sync();
    rig.engine.downloadAbort.raise();
    return rig.engine.ExchangeRecord(":0100000307", true, '.') == "."
               ? isp::Outcome{}
               : isp::Outcome::ofKind(isp::OutcomeKind::Refused, isp::Step::Erase);
  };
  const Case cases[] = {
      {"erase answered after 20 s", erase, 20000, 0, -1, isp::OutcomeKind::Done, nullptr},
      {"Abort in the erase wait", erase, 20000, 0, 2000, isp::OutcomeKind::Aborted, ":0100000307F5"},
      {"Abort while program erases", program, 20000, 0, 2000, isp::OutcomeKind::Aborted, ":0100000307F5"},
      // 9 records synchronise, then the blank check, the erase and 9 more: the second data
      // record is never answered.
      {"Abort in a data record's wait", program, 0, 22, 400, isp::OutcomeKind::Aborted, ":10001000"},
      {"flag raised before the wait", raisedBefore, 20000, 0, -1, isp::OutcomeKind::Done, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    rig.target.faults().eraseDelayMs = c.eraseDelayMs;
    rig.target.faults().silentAfterRecords = c.silentAfterRecords;
    const std::uint32_t start = rig.clock.tickMs();
    std::uint32_t last = start, longestGap = 0, abortedAt = 0;
    rig.op.onProcessEvents = [&] {
      const std::uint32_t now = rig.clock.tickMs();
      longestGap = std::max(longestGap, now - last);
      last = now;
      if (c.abortAfterMs >= 0 && abortedAt == 0 && now - start >= c.abortAfterMs) {
        abortedAt = now;
        rig.engine.downloadAbort.raise();
      }
    };
    const isp::Outcome outcome = c.run(rig);
    const std::uint32_t end = rig.clock.tickMs();
    longestGap = std::max(longestGap, end - last);
    EXPECT_LE(longestGap, 100u);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(rig.op.errors(), std::vector<std::string>{});
    if (c.lastRecord) {
      ASSERT_NE(abortedAt, 0u);
      EXPECT_LE(end - abortedAt, 100u);
      ASSERT_FALSE(rig.target.records().empty());
      EXPECT_EQ(rig.target.records().back().rfind(c.lastRecord, 0), 0u) << rig.target.records().back();
    } else {
      EXPECT_GE(end - start, static_cast<std::uint32_t>(c.eraseDelayMs));
    }
  }
}

// The person's stop (the command line's Ctrl+C) ends the command at once wherever it is:
// between two quick exchanges as in a long wait, and no record or "U" goes out after it.
TEST(Waits, TheStopEndsTheCommandBeforeAnythingMoreIsSent) {
  struct Case {
    const char* name;
    std::function<isp::Outcome(SimRig&)> run;
    std::size_t stopAfterRecords;  // the stop comes once the target has had this many
    int eraseDelayMs;
  };
  auto sync = [](SimRig& rig) { return rig.engine.sync(); };
  auto program = [](SimRig& rig) {
    rig.loadFile({{0x0000, 0x12}, {0x0010, 0x34}, {0x0020, 0x56}, {0x0100, 0x78}});
    return rig.engine.program();
  };
  auto read = [](SimRig& rig) { return rig.engine.readChip(); };
  const Case cases[] = {
      {"synchronisation, between device-information records", sync, 3, 0},
      {"program, between data records", program, 13, 0},
      {"program, in the erase wait", program, 11, 20000},
      {"read chip, between read requests", read, 12, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    rig.target.faults().eraseDelayMs = c.eraseDelayMs;
    std::uint32_t stoppedAt = 0;
    rig.op.stopWhen = [&] {
      if (rig.target.records().size() < c.stopAfterRecords) return false;
      if (stoppedAt == 0) stoppedAt = rig.clock.tickMs();
      return true;
    };
    const isp::Outcome outcome = c.run(rig);
    EXPECT_EQ(outcome.kind, isp::OutcomeKind::Aborted);
    EXPECT_EQ(rig.target.records().size(), c.stopAfterRecords);
    ASSERT_NE(stoppedAt, 0u);
    EXPECT_LE(rig.clock.tickMs() - stoppedAt, 100u);
  }

  // No bootloader answers "U": the stop ends the synchronisation as aborted, not as a
  // target that never answered, and no "U" follows it.
  FakeClock clock;
  ScriptLink link(clock);
  int sent = 0, sentAtStop = -1;
  link.respond = [&](const std::string&) {
    ++sent;
    return std::string();
  };
  ScriptedOperator op(clock);
  op.stopWhen = [&] {
    if (sent < 5) return false;
    if (sentAtStop < 0) sentAtStop = sent;
    return true;
  };
  isp::Engine engine(link, op, op, op, clock);
  EXPECT_EQ(engine.sync().kind, isp::OutcomeKind::Aborted);
  EXPECT_EQ(sent, sentAtStop);
}

}  // namespace
}  // namespace velkorn::testing
