// The command line's parsing and the operator's tally: which boxes are retried, which end
// the command, and when the synchronisation gives up.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/options.h"
#include "cli/terminal_operator.h"

namespace velkorn::cli {
namespace {

using isp::Button;

TEST(CliOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    std::string file, port;
    int retries, syncTimeout;
    bool lock0, lock1, bljb, force;
  };
  const Case cases[] = {
      {{"info"}, Command::Info, "", "COM1", 3, 60, false, false, true, false},
      {{"--port", "COM3", "erase"}, Command::Erase, "", "COM3", 3, 60, false, false, true, false},
      {{"--port=/dev/ttyUSB0", "--retries=0", "info"}, Command::Info, "", "/dev/ttyUSB0", 0, 60,
       false, false, true, false},
      {{"program", "a.hex", "--lock1", "--no-bljb"}, Command::Program, "a.hex", "COM1", 3, 60,
       false, true, false, false},
      {{"--sync-timeout", "5", "boot", "--lock0"}, Command::Boot, "", "COM1", 3, 5, true, false,
       true, false},
      {{"read", "--force", "out.hex"}, Command::Read, "out.hex", "COM1", 3, 60, false, false, true,
       true},
      {{"verify", "x.hex", "--port", "com2"}, Command::Verify, "x.hex", "com2", 3, 60, false, false,
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseResult r = parseOptions(c.args);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, c.command);
    EXPECT_EQ(r.options.file, c.file);
    EXPECT_EQ(r.options.port, c.port);
    EXPECT_EQ(r.options.retries, c.retries);
    EXPECT_EQ(r.options.syncTimeoutS, c.syncTimeout);
    EXPECT_EQ(r.options.lock0, c.lock0);
    EXPECT_EQ(r.options.lock1, c.lock1);
    EXPECT_EQ(r.options.bljb, c.bljb);
    EXPECT_EQ(r.options.force, c.force);
  }
}

TEST(CliOptions, RefusedCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"flash"},
      {"program"},                            // no file
      {"read"},
      {"info", "extra"},
      {"program", "a.hex", "b.hex"},
      {"--retries", "-1", "info"},
      {"--retries", "three", "info"},
      {"--retries", "3x", "info"},
      {"--sync-timeout", "0", "info"},        // would never try
      {"--sync-timeout", "", "info"},
      {"--port"},                             // value missing
      {"--port", "", "info"},
      {"--bogus", "info"},
      {"info", "--lock0"},                    // locks belong to program and boot
      {"verify", "a.hex", "--no-bljb"},
      {"program", "a.hex", "--force"},        // --force belongs to read
      {"--quiet=1", "info"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const ParseResult r = parseOptions(args);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
  }
  EXPECT_TRUE(parseOptions({"--help"}).ok);
  EXPECT_TRUE(parseOptions({"--version", "nonsense"}).ok);
}

// One box as the engine shows it, with the record the engine last wrote.
struct Box {
  std::string text;
  bool cancellable;
  std::string record;
  Button expected;
};

struct TallyCase {
  const char* name;
  int retries;
  std::vector<Box> boxes;
  int failures;
  bool cancelled;
};

TEST(TerminalOperator, RetriesAndFailuresAreTallied) {
  const std::string ack = "Ack Error Retry! s=\"X\"";
  const std::string len = "Read record length unexpected 625";
  const TallyCase cases[] = {
      {"retried then accepted", 3, {{ack, true, "r1", Button::Ok}, {ack, true, "r1", Button::Ok}}, 0, false},
      {"N retries are N+1 sends", 2,
       {{ack, true, "r1", Button::Ok}, {ack, true, "r1", Button::Ok}, {ack, true, "r1", Button::Cancel}}, 1, true},
      {"no retries", 0, {{ack, true, "r1", Button::Cancel}}, 1, true},
      {"a new record starts a new count", 1,
       {{ack, true, "r1", Button::Ok}, {ack, true, "r2", Button::Ok}, {ack, true, "r3", Button::Ok}}, 0, false},
      {"read length box retries the same block", 1,
       {{len, true, "q1", Button::Ok}, {len, true, "q1", Button::Cancel}}, 1, true},
      // a box whose OK goes on without the data fails the command; OK up to N in a row
      {"format errors answered OK, then Cancel", 1,
       {{"Read record format unexpected [x]", true, "q1", Button::Ok},
        {"Read record format unexpected [x]", true, "q1", Button::Cancel}}, 2, true},
      {"data error in a read fails the command", 3, {{"Read record data error [G0]", true, "q1", Button::Ok}}, 1, false},
      {"OK-only boxes fail the command", 3,
       {{"Error in cmd :0100000307F5", false, "e", Button::Ok}, {"Verify FAILED !!!", false, "e", Button::Ok}}, 2, false},
      {"mismatch", 3, {{"Chip does not match file at @0123", false, "q", Button::Ok}}, 1, false},
  };
  for (const TallyCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream err;
    TerminalOperator op(OperatorSettings{c.retries, std::chrono::seconds(60), false, false, false}, err);
    std::string record;
    op.currentRecord = [&record] { return record; };
    for (const Box& b : c.boxes) {
      record = b.record;
      EXPECT_EQ(op.showError(b.text, b.cancellable), b.expected) << b.text;
    }
    EXPECT_EQ(op.failures(), c.failures);
    EXPECT_EQ(op.cancelled(), c.cancelled);
    // Every box text reaches stderr on its own line.
    for (const Box& b : c.boxes) EXPECT_NE(err.str().find(b.text + "\n"), std::string::npos);
  }
}

TEST(TerminalOperator, RepeatedBoxesArePrintedOnceWithACount) {
  std::ostringstream err;
  TerminalOperator op(OperatorSettings{}, err);
  for (int i = 0; i < 500; ++i) op.showError("Can not write to COM", false);
  op.showError("Can not synchronize target \"U\"", false);
  EXPECT_EQ(err.str(),
            "Can not write to COM\n(the last message came 499 more times)\n"
            "Can not synchronize target \"U\"\n");
  EXPECT_TRUE(op.syncFailed());
}

// Read-back boxes quote the chip's answer, CR LF included; on stderr each box stays one line.
TEST(TerminalOperator, BoxTextsWithLineBreaksStayOnOneLine) {
  const struct {
    std::string text;
    std::string printed;
  } cases[] = {
      {"Read record format unexpected [\r\n0000=FF\r\n]", "Read record format unexpected [\\r\\n0000=FF\\r\\n]\n"},
      {"Read record data error [G0\r\n]", "Read record data error [G0\\r\\n]\n"},
      {"Ack Error Retry! s=\"\n\"", "Ack Error Retry! s=\"\\n\"\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    TerminalOperator op(OperatorSettings{}, err);
    op.showError(c.text, true);
    EXPECT_EQ(err.str(), c.printed);
  }
}

TEST(TerminalOperator, SyncGivesUpOnTimeOrOnADeadPort) {
  std::ostringstream err;
  TerminalOperator op(OperatorSettings{3, std::chrono::milliseconds(0), true, false, false}, err);
  op.syncShow();
  EXPECT_TRUE(op.syncCancelled());  // a zero limit has passed at once

  TerminalOperator patient(OperatorSettings{3, std::chrono::seconds(3600), true, false, false}, err);
  patient.syncShow();
  EXPECT_FALSE(patient.syncCancelled());
  patient.showError("Can not write to COM", false);
  EXPECT_TRUE(patient.syncCancelled());
  patient.syncShow();  // a new synchronisation starts afresh
  EXPECT_FALSE(patient.syncCancelled());
}

TEST(TerminalOperator, ProgressIsOneLinePerPhaseOffATerminal) {
  std::ostringstream err;
  TerminalOperator op(OperatorSettings{}, err);
  op.progressShow("Erasing...", 10);
  op.progressPosition(0);
  op.progressCaption("Programming...");
  for (int i = 0; i < 30; ++i) op.progressPosition(i);  // past the maximum: retries count too
  op.progressHide();
  EXPECT_EQ(err.str(), "Erasing...\nProgramming...\n");

  std::ostringstream tty;
  TerminalOperator bar(OperatorSettings{3, std::chrono::seconds(60), false, false, true}, tty);
  bar.progressPosition(0);  // the engine starts its figures before it shows the window
  EXPECT_EQ(tty.str(), "");
  bar.progressShow("Verifying...", 200);
  bar.progressFigures("3s ", "1024");
  bar.progressPosition(300);
  bar.progressHide();
  EXPECT_NE(tty.str().find("100%  1024 B/s  3s left"), std::string::npos) << tty.str();
  EXPECT_EQ(tty.str().back(), '\n');
}

}  // namespace
}  // namespace velkorn::cli
