// A success only for a board that holds the file: each case here once ended in exit 0, a
// success text or "ok":true for a chip that did not hold what was promised.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_fixture.h"
#include "image/hex_writer.h"
#include "process.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;

using TrueSuccessTest = CliFixture;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void writeFile(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// What the chip or the file makes of a command, and what the command line must say.
TEST_F(TrueSuccessTest, NoSuccessForAChipThatDoesNotHoldTheFile) {
  const Flash blank(0x10000, 0xFF);
  const Flash blank32(0x8000, 0xFF);
  Flash top(0x10000, 0xFF);  // a 32 KiB part's last KiB
  top[0x0000] = 0x02;
  top[0x7FF5] = 0x12;
  writeFile(path("top.bin"), std::string(top.begin(), top.begin() + 0x8000));
  Flash past = top;  // tables past a 32 KiB part, as a compiler may place them
  past[0x9003] = 0x34;
  writeFile(path("past.hex"), writeIntelHex(past.data(), 0x10000));
  writeFile(path("empty.hex"), ":00000001FF\r\n");
  writeFile(path("empty.bin"), "");
  Flash stray = blinkyFlash();  // a byte the erase left behind
  stray[0x1234] = 0x00;
  struct Case {
    const char* name;
    Flash preset;
    std::vector<std::string> target, args;
    int status;
    const char* outcome;
    std::string stderrHas;
    bool erased;  // the chip was touched at all
  };
  const Case cases[] = {
      {"32 KiB: a cell in the top KiB will not program", blank32, {"--32k", "--stuck-cell", "7FF5"},
       {"program", path("top.bin").string()}, 1, "mismatch", "at 0x7FF5", true},
      {"32 KiB: verify the top KiB", blank32, {"--32k"}, {"verify", path("top.bin").string()}, 1, "mismatch",
       "at 0x0000", false},
      {"32 KiB: data past the chip", blank32, {"--32k"}, {"program", path("past.hex").string()}, 2, "file-error",
       "holds data at 0x9003, beyond the chip's size of 0x8000 bytes: nothing was erased or programmed", false},
      {"32 KiB: verify data past the chip", blank32, {"--32k"}, {"verify", path("past.hex").string()}, 2, "file-error",
       "beyond the chip's size", false},
      {"32 KiB: diff data past the chip", blank32, {"--32k"}, {"diff", path("past.hex").string()}, 2, "file-error",
       "beyond the chip's size", false},
      {"a HEX file with only its end record", blinkyFlash(), {}, {"program", path("empty.hex").string()}, 2,
       "file-error", "holds no data bytes: nothing was erased", false},
      {"an empty binary file", blinkyFlash(), {}, {"program", path("empty.bin").string()}, 2, "file-error",
       "holds no data bytes", false},
      {"one lying blank check in verify", stray, {"--lie-blank-check", "1"}, {"verify", kBlinky}, 1, "mismatch",
       "at 0x1234", false},
      {"a lying blank check after programming", blank, {"--stuck-cell", "1234", "--stuck-value", "00",
       "--lie-blank-check", "2"}, {"program", kBlinky}, 1, "mismatch", "at 0x1234", true},
      {"a refused lock record", blank, {"--refuse-lock1"}, {"program", "--lock1", kBlinky}, 1, "refused",
       "refused record :020000030501F5 (security level 2, answer \"X\")", true},
      {"boot: a refused lock record", blank, {"--refuse-lock0"}, {"boot", "--lock0"}, 1, "refused",
       "security level 1", false},
      {"boot: a refused boot-jump record", blank, {"--refuse-bljb"}, {"boot", "--no-bljb"}, 1, "refused",
       "the boot-jump bit BLJB", false},
      {"boot: a lock accepted but not set", blank, {"--forget-locks"}, {"boot", "--lock0", "--lock1"}, 1, "refused",
       "the chip does not show security level 2", false},
  };
  for (const Case& c : cases) {
    for (const bool json : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (json ? ", --json" : ""));
      auto target = startTarget(c.preset, c.target);
      std::vector<std::string> args = c.args;
      if (json) args.insert(args.begin(), "--json");
      const RunResult r = cli(target->port(), args);
      EXPECT_EQ(r.status, c.status) << r.err;
      EXPECT_TRUE(has(r.err, c.stderrHas)) << r.err;
      for (const char* success : {"Programmed and verified", "Matched OK!!!", "The chip matches", "written"}) {
        EXPECT_FALSE(has(r.out, success)) << r.out;
      }
      if (json) {
        EXPECT_TRUE(has(r.out, "\"ok\":false")) << r.out;
        EXPECT_TRUE(has(r.out, std::string("\"outcome\":\"") + c.outcome + "\"")) << r.out;
      } else {
        EXPECT_EQ(r.out, "");
      }
      const Flash after = flashAfter(*target);
      if (!c.erased) {
        EXPECT_TRUE(after == c.preset);
      }
      if (!json && c.erased) {
        EXPECT_TRUE(has(log_, ":0100000307F5"));
      }
    }
  }
}

// A result that never reached its reader is no success: stdout closed, a pipe nobody reads,
// a file that cannot grow.
TEST_F(TrueSuccessTest, OutputThatNeverArrivedFails) {
  const fs::path full = path("full.out");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* shell;  // how stdout is spoilt; CLI stands for the command
  };
  const Case cases[] = {
      {"read - into a closed stdout", {"read", "-"}, "exec CLI >&-"},
      {"read - into a pipe nobody reads", {"read", "-"}, "CLI | true; exit ${PIPESTATUS[0]}"},
      {"read - into a file that cannot grow", {"read", "-"}, "ulimit -f 0; exec CLI > OUT"},
      {"info into a file that cannot grow", {"info"}, "ulimit -f 0; exec CLI > OUT"},
      {"program's result into a closed stdout", {"program", kBlinky}, "exec CLI >&-"},
      {"--json into a pipe nobody reads", {"--json", "verify", kBlinky}, "CLI | true; exit ${PIPESTATUS[0]}"},
      {"diff's result into a file that cannot grow", {"diff", kBlinky}, "ulimit -f 0; exec CLI > OUT"},
      {"erase's result into a closed stdout", {"erase"}, "exec CLI >&-"},
      {"boot's result into a pipe nobody reads", {"boot"}, "CLI | true; exit ${PIPESTATUS[0]}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto target = startTarget(blinkyFlash());
    std::string command = std::string("'") + VELKORN_CLI_PATH + "' --port '" + target->port() + "'";
    for (const std::string& a : c.args) command += " '" + a + "'";
    std::string script = c.shell;
    script.replace(script.find("CLI"), 3, command);
    if (const auto at = script.find("OUT"); at != std::string::npos) script.replace(at, 3, "'" + full.string() + "'");
    const RunResult r = run({"/bin/bash", "-c", script});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(has(r.err, "cannot write") || has(r.err, "could not be written to stdout")) << r.err;
    EXPECT_FALSE(has(r.err, "Read 65536 bytes")) << r.err;
    fs::remove(full);
  }
}

// A block full of differences names the first ten and counts the rest, quiet or not; every
// one is listed on request. JSON counts them too.
TEST_F(TrueSuccessTest, DifferencesAreCountedNotFlooded) {
  Flash chip = blinkyFlash();
  std::fill(chip.begin() + 0x0100, chip.begin() + 0x0140, 0x00);
  struct Case {
    std::vector<std::string> options;
    int lines;
    bool counted;
  };
  const Case cases[] = {{{}, 10, true}, {{"-q"}, 10, true}, {{"-v"}, 64, false}, {{"--json"}, 10, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "plain" : c.options.front());
    auto target = startTarget(chip);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"verify", kBlinky});
    const RunResult r = cli(target->port(), args);
    EXPECT_EQ(r.status, 1);
    int lines = 0;
    for (std::size_t at = 0; (at = r.err.find("Chip does not match file at @", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, c.lines) << r.err;
    EXPECT_EQ(has(r.err, "... and 54 more differing bytes"), c.counted) << r.err;
    if (c.options == std::vector<std::string>{"--json"}) {
      EXPECT_TRUE(has(r.out, "\"address\":256,\"differences\":64")) << r.out;
    }
  }
}

// What cannot work is said before the port is touched: exit 2, one line.
TEST_F(TrueSuccessTest, UsageErrorsBeforeAnythingIsSent) {
  fs::create_directories(path("folder"));
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"--port", "COM1", "program", kBlinky, "--address", "0x100"}, "--address places a binary file"},
      {{"--port", "tcp://127.0.0.1", "info"}, "the port is missing"},
      {{"--port", "rfc2217://127.0.0.1:0", "info"}, "a number from 1 to 65535"},
      {{"--port", "COM1", "read", path("folder").string()}, "a directory: give the name of a file"},
      {{"--port", "COM1", "read", "--force", path("folder").string()}, "a directory: give the name of a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), VELKORN_CLI_PATH);
    const RunResult r = run(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
  }
}

}  // namespace
}  // namespace velkorn::testing
