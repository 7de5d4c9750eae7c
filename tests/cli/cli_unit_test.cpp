// The command line's parsing, the operator's answers to boxes and when the synchronisation
// gives up, and what each outcome makes of the exit status and the failure lines.
#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/options.h"
#include "cli/outcome_report.h"
#include "cli/proof.h"
#include "cli/terminal_operator.h"

namespace velkorn::cli {
namespace {

using isp::Button;

TEST(CliOptions, AcceptedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    std::string file;
    std::vector<std::string> ports;
    int retries, syncTimeout;
    bool lock0, lock1, bljb, force;
    int baud = 115200;
  };
  const Case cases[] = {
      {{"info"}, Command::Info, "", {}, 3, 60, false, false, true, false},
      {{"--port", "COM3", "erase"}, Command::Erase, "", {"COM3"}, 3, 60, false, false, true, false},
      {{"--port=/dev/ttyUSB0", "--retries=0", "info"}, Command::Info, "", {"/dev/ttyUSB0"}, 0, 60,
       false, false, true, false},
      {{"program", "a.hex", "--lock1", "--no-bljb"}, Command::Program, "a.hex", {}, 3, 60,
       false, true, false, false},
      {{"--sync-timeout", "5", "boot", "--lock0"}, Command::Boot, "", {}, 3, 5, true, false,
       true, false},
      {{"read", "--force", "out.hex"}, Command::Read, "out.hex", {}, 3, 60, false, false, true,
       true},
      {{"verify", "x.hex", "--port", "com2"}, Command::Verify, "x.hex", {"com2"}, 3, 60, false, false,
       true, false},
      {{"diff", "x.hex"}, Command::Diff, "x.hex", {}, 3, 60, false, false, true, false},
      {{"-p", "COM1,COM2", "--port", "COM3", "--json", "ports"}, Command::Ports, "", {"COM1,COM2", "COM3"}, 3, 60, false,
       false, true, false},
      {{"-b", "250000", "info"}, Command::Info, "", {}, 3, 60, false, false, true, false, 250000},
      {{"erase", "--baud=9600"}, Command::Erase, "", {}, 3, 60, false, false, true, false, 9600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseResult r = parseOptions(c.args);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, c.command);
    EXPECT_EQ(r.options.file, c.file);
    EXPECT_EQ(r.options.ports, c.ports);
    EXPECT_EQ(r.options.retries, c.retries);
    EXPECT_EQ(r.options.syncTimeoutS, c.syncTimeout);
    EXPECT_EQ(r.options.lock0, c.lock0);
    EXPECT_EQ(r.options.lock1, c.lock1);
    EXPECT_EQ(r.options.bljb, c.bljb);
    EXPECT_EQ(r.options.force, c.force);
    EXPECT_EQ(r.options.baud, c.baud);
  }
}

TEST(CliOptions, RefusedCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"flash"},
      {"program"},                            // no file
      {"read"},
      {"diff"},
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
      {"verify", "a.hex", "--single-read"},   // only read and diff read the whole chip
      {"--quiet=1", "info"},
      {"--baud", "0", "info"},                // B0 would hang up the line
      {"-b", "-9600", "info"},
      {"--baud", "fast", "info"},
      {"--baud", "4294967296", "info"},
      {"info", "-b"},
      {"--json", "read", "-"},                // stdout cannot hold both
      {"info", "--binary"},
      {"read", "x.bin", "--address", "16"},   // read always starts at 0
      {"program", "a.bin", "--address", "0x10000"},
      {"program", "a.bin", "--address", "0x"},
      {"info", "--serial-at", "0x100"},       // a serial number belongs to program
      {"program", "a.hex", "--serial-at", "0x100", "--serial-format", "le16"},  // no counter file
      {"program", "a.hex", "--serial-at", "0xFBFF", "--serial-format", "le16", "--serial-file", "n"},  // reaches 0xFC00
      {"program", "a.hex", "--serial-at", "0x100", "--serial-format", "dec:0", "--serial-file", "n"},
      {"program", "a.hex", "--serial-at", "0x100", "--serial-format", "le24", "--serial-file", "n"},
      {"--record", "", "info"},
      {"--profile"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const ParseResult r = parseOptions(args);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
  }
  EXPECT_TRUE(parseOptions({"diff", "a.hex", "--single-read"}).options.singleRead);
  EXPECT_TRUE(parseOptions({"--help"}).ok);
  EXPECT_TRUE(parseOptions({"--version", "nonsense"}).ok);
}

// One box as the engine shows it, with the record the engine last sent.
struct Box {
  bool cancellable;
  std::string record;
  Button expected;
};

TEST(TerminalOperator, CancellableBoxesAreAnsweredOkUpToTheRetriesInARow) {
  const struct {
    const char* name;
    int retries;
    std::vector<Box> boxes;
  } cases[] = {
      {"retried then accepted", 3, {{true, "r1", Button::Ok}, {true, "r1", Button::Ok}}},
      {"N retries are N+1 sends", 2,
       {{true, "r1", Button::Ok}, {true, "r1", Button::Ok}, {true, "r1", Button::Cancel}}},
      {"no retries", 0, {{true, "r1", Button::Cancel}}},
      {"a new record starts a new count", 1,
       {{true, "r1", Button::Ok}, {true, "r2", Button::Ok}, {true, "r3", Button::Ok}}},
      {"an OK-only box between does not reset the count", 1,
       {{true, "q1", Button::Ok}, {false, "q1", Button::Ok}, {true, "q1", Button::Cancel}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream err;
    TerminalOperator op(OperatorSettings{c.retries, std::chrono::seconds(60), false, false, false, {}}, err);
    std::string record;
    op.currentRecord = [&record] { return record; };
    for (const Box& b : c.boxes) {
      record = b.record;
      EXPECT_EQ(op.showError("box about " + b.record, b.cancellable), b.expected);
    }
  }
}

// The lines a terminal shows after `written`: carriage return, line feed, erase to the end
// of the line and cursor up, as the progress bar and the box counts use them.
std::vector<std::string> screen(const std::string& written) {
  std::vector<std::string> lines(1);
  std::size_t row = 0, col = 0;
  for (std::size_t i = 0; i < written.size(); ++i) {
    const char c = written[i];
    if (c == '\033' && i + 2 < written.size() && written[i + 1] == '[') {
      if (written[i + 2] == 'K') lines[row].resize(std::min(col, lines[row].size()));
      if (written[i + 2] == 'A' && row > 0) --row;
      i += 2;
    } else if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      col = 0;
      if (++row == lines.size()) lines.emplace_back();
    } else {
      if (lines[row].size() <= col) lines[row].resize(col + 1, ' ');
      lines[row][col++] = c;
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

// A box repeated many times is one line with its count, on a terminal (counted in place,
// also above a progress bar) and off it.
TEST(TerminalOperator, RepeatedBoxesAreOneLineWithTheirCount) {
  // A HEX line whose every byte is bad gives the same box fourteen times.
  const auto badHexLine = [](TerminalOperator& op) {
    op.progressShow("Loadig hex file...", 3);
    for (int i = 0; i < 14; ++i) op.showError("Data error in line 1", true);
    op.progressHide();
    op.say("cannot load a.hex: error in line 1");
  };
  const struct {
    const char* name;
    bool terminal;
    std::function<void(TerminalOperator&)> run;
    std::vector<std::string> shown;
  } cases[] = {
      {"a bad HEX line, off a terminal", false,
       badHexLine,
       {"velkorn-cli: Loadig hex file...", "velkorn-cli: Data error in line 1 (14 times)",
        "velkorn-cli: cannot load a.hex: error in line 1"}},
      {"a dead line, then another box, then the end", false,
       [](TerminalOperator& op) {
         for (int i = 0; i < 500; ++i) op.showError("Can not write to COM", false);
         op.showError("Error in cmd :0100000307F5", false);
         op.showError("Can not write to COM", false);
       },
       {"velkorn-cli: Can not write to COM (500 times)", "velkorn-cli: Error in cmd :0100000307F5",
        "velkorn-cli: Can not write to COM"}},
      {"a bad HEX line, on a terminal", true,
       badHexLine,
       {"velkorn-cli: Loadig hex file... [..............................] 0%",
        "velkorn-cli: Data error in line 1 (14 times)", "velkorn-cli: cannot load a.hex: error in line 1"}},
      {"retries while the bar is redrawn below the box", true,
       [](TerminalOperator& op) {
         op.progressShow("Programming...", 10);
         op.progressPosition(1);
         for (int i = 0; i < 3; ++i) {
           op.showError("Ack Error Retry!", true);
           op.progressPosition(1);
         }
         op.progressPosition(5);
         op.progressHide();
       },
       {"velkorn-cli: Programming... [###...........................] 10%", "velkorn-cli: Ack Error Retry! (3 times)",
        "velkorn-cli: Programming... [###############...............] 50%"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream err;
    {
      TerminalOperator op(OperatorSettings{3, std::chrono::seconds(60), false, false, c.terminal, {}}, err);
      c.run(op);
    }
    EXPECT_EQ(screen(err.str()), c.shown) << err.str();
  }
}

// Read-back boxes quote the chip's answer, CR LF included; on stderr each box stays one line.
TEST(TerminalOperator, BoxTextsWithLineBreaksStayOnOneLine) {
  const struct {
    std::string text;
    std::string printed;
  } cases[] = {
      {"Read record format unexpected [\r\n0000=FF\r\n]",
       "velkorn-cli: Read record format unexpected [<0D><0A>0000=FF<0D><0A>]\n"},
      {"Read record data error [G0\r\n]", "velkorn-cli: Read record data error [G0<0D><0A>]\n"},
      {"Ack Error Retry! s=\"\n\"", "velkorn-cli: Ack Error Retry! s=\"<0A>\"\n"},
      // a terminal's escape sequence (ESC, and CSI as U+009B) in a chip's answer; UTF-8 stays
      {"Error in cmd \x1B[2J\xC2\x9B" "1m fw-\xCE\xA9", "velkorn-cli: Error in cmd <1B>[2J<9B>1m fw-\xCE\xA9\n"},
  };
  for (const auto& c : cases) {
    std::ostringstream err;
    TerminalOperator op(OperatorSettings{}, err);
    op.showError(c.text, true);
    op.finishLine();
    EXPECT_EQ(err.str(), c.printed);
  }
}

TEST(TerminalOperator, SyncGivesUpOnTimeOrOnADeadPort) {
  std::ostringstream err;
  TerminalOperator op(OperatorSettings{3, std::chrono::milliseconds(0), true, false, false, {}}, err);
  op.syncShow();
  EXPECT_TRUE(op.syncCancelled());  // a zero limit has passed at once

  TerminalOperator patient(OperatorSettings{3, std::chrono::seconds(3600), true, false, false, {}}, err);
  bool writeFailed = false;
  patient.lineFailed = [&writeFailed] { return writeFailed; };
  patient.syncShow();
  EXPECT_FALSE(patient.syncCancelled());
  writeFailed = true;
  EXPECT_TRUE(patient.syncCancelled());
}

TEST(TerminalOperator, ProgressIsOneLinePerPhaseOffATerminal) {
  std::ostringstream err;
  TerminalOperator op(OperatorSettings{}, err);
  op.progressShow("Erasing...", 10);
  op.progressPosition(0);
  op.progressCaption("Programming...");
  for (int i = 0; i < 30; ++i) op.progressPosition(i);  // past the maximum: retries count too
  op.progressHide();
  EXPECT_EQ(err.str(), "velkorn-cli: Erasing...\nvelkorn-cli: Programming...\n");

  std::ostringstream tty;
  TerminalOperator bar(OperatorSettings{3, std::chrono::seconds(60), false, false, true, {}}, tty);
  bar.progressPosition(0);  // the engine starts its figures before it shows the window
  EXPECT_EQ(tty.str(), "");
  bar.progressShow("Verifying...", 200);
  bar.progressFigures("3s ", "1024");
  bar.progressPosition(300);
  bar.progressHide();
  EXPECT_NE(tty.str().find("100%  1024 B/s  3s left"), std::string::npos) << tty.str();
  EXPECT_EQ(tty.str().back(), '\n');
}

// An outcome as the engine would hand it out, filled field by field.
struct Made : isp::Outcome {
  Made(isp::OutcomeKind k, isp::Step s) { kind = k, step = s; }
  Made& refused(const std::string& r, const std::string& a) { return record = r, answer = a, *this; }
  Made& at(int a, int n) { return address = a, count = n, *this; }
  Made& why(const std::string& d) { return detail = d, *this; }
  Made& past(int a, int size) { return fileFault = isp::FileFault::PastChip, address = a, count = size, *this; }
  Made& empty() { return fileFault = isp::FileFault::NoData, *this; }
  Made& in(const std::string& f, int l) {
    fileFault = l == 0 ? isp::FileFault::CannotOpen : isp::FileFault::BadLine;
    return file = f, line = l, *this;
  }
};

// Each outcome's exit status and what the command line says about it.
TEST(OutcomeReport, StatusAndLinesComeFromTheOutcome) {
  using K = isp::OutcomeKind;
  using S = isp::Step;
  const struct {
    const char* name;
    isp::Outcome outcome;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {"done", Made(K::Done, S::None), 0, {}},
      {"refused erase", Made(K::Refused, S::Erase).refused(":0100000307F5", "X"), 1,
       {"the bootloader refused the erase (answer \"X\")"}},
      {"refused data record", Made(K::Refused, S::Program).refused(":10000000AB", "X"), 1,
       {"the bootloader refused data record :10000000AB (answer \"X\")"}},
      // silence is no refusal: the board stopped answering
      {"data record unanswered", Made(K::Refused, S::Program).refused(":10000000AB", ""), 1,
       {"the bootloader stopped answering: no answer to data record :10000000AB"}},
      {"file past the chip", Made(K::FileError, S::Load).in("a.hex", 0).past(0x9003, 0x8000), 2,
       {"a.hex holds data at 0x9003, beyond the chip's size of 0x8000 bytes: the chip cannot hold it"}},
      {"file without data", Made(K::FileError, S::Load).in("a.hex", 0).empty(), 2,
       {"a.hex holds no data bytes: nothing was erased (erase clears a chip)"}},
      {"boot configuration refused", Made(K::Refused, S::BootConfig).refused(":03000003060000F4", "X"), 1,
       {"Programm BSB FAILED!",
        "the bootloader refused the boot configuration (record :03000003060000F4, answer \"X\")"}},
      {"final comparison", Made(K::Mismatch, S::FinalCompare).at(0x7B00, 2), 1,
       {"Verify FAILED !!!", "the chip does not match a.hex at 0x7B00 (2 differing bytes seen)"}},
      {"unreadable line", Made(K::NotVerified, S::ReadBack).at(0x100, 1), 1,
       {"the chip could not be verified: 1 line of the read-back could not be read, the first at 0x0100"}},
      {"aborted", Made(K::Aborted, S::Program), 1, {"the programming was aborted"}},
      {"no sync", Made(K::NoSync, S::Sync), 3,
       {"Can not synchronize target \"U\"", "the target on COM1 did not answer \"U\" within 5 s"}},
      {"line lost in the sync", Made(K::LinkLost, S::Sync).why("Input/output error"), 3,
       {"Can not synchronize target \"U\"",
        "the line to the target failed during the synchronisation: Input/output error"}},
      {"line lost later", Made(K::LinkLost, S::ReadBack).why("the line hung up"), 1,
       {"the line to the target failed during the read-back: the line hung up"}},
      {"file cannot be opened", Made(K::FileError, S::Load).in("a.hex", 0).why("No such file or directory"), 2,
       {"cannot open a.hex: No such file or directory"}},
      {"bad line in the file", Made(K::FileError, S::Load).in("a.hex", 7), 2, {"cannot load a.hex: error in line 7"}},
      {"bad answer", Made(K::BadAnswer, S::DeviceInfo).why("xx"), 1,
       {"the bootloader's answer 'xx' is no hexadecimal number"}},
      {"device information never trusted", Made(K::BadAnswer, S::DeviceInfo).refused(":020000050000F9", "").why("8.\r"), 1,
       {"the device information is incomplete: record :020000050000F9 got no trusted answer (last answer \"8.<0D>\")"}},
  };
  const ReportContext context{"verify", "a.hex", "COM1", 5};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(exitStatus(c.outcome), c.status);
    EXPECT_EQ(failureLines(c.outcome, context), c.lines);
  }
}

// The proof's sums against the published check values: a table or padding fault shows here
// before any record of a production line carries it.
TEST(Proof, CrcAndShaAgreeWithTheirCheckValues) {
  const std::string nine = "123456789";
  EXPECT_EQ(crc32Text(crc32(reinterpret_cast<const std::uint8_t*>(nine.data()), nine.size())), "CBF43926");
  EXPECT_EQ(crc32Text(crc32(nullptr, 0)), "00000000");
  const struct {
    std::string text;
    const char* sha256;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the block, padding takes a second one
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(sha256Hex(c.text), c.sha256) << c.text.size();
}

}  // namespace
}  // namespace velkorn::cli
