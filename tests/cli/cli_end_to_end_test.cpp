// velkorn-cli against velkorn-target on a pseudo-terminal: every command's success path
// with the flash afterwards, retries, mismatches, bad files, silent and held ports.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/hex_writer.h"
#include "cli_fixture.h"
#include "process.h"
#include "support/pty.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;
using std::chrono::seconds;

void writeFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

using CliTest = CliFixture;

// What info prints for the simulated chip's defaults.
const std::string kInfoShown =
    "Manufactor Id: 58\nDevice family: D7\nMem size/type: FC\nProduct Id: FF\nStatus(BSB): FF\n"
    "Vector(SBV): FC\nHW security (HSB): FB\nBootloader version: 12\nLock Erase, Prog.: no\n"
    "Lock Erase, Prog., Read, Blank Check: no\nChip size: 0x10000\nState: BOOTLOADER\n";

// Each command's success path: exit 0 and the flash the command leaves behind.
TEST_F(CliTest, CommandsSucceedAndLeaveTheRightFlash) {
  const Flash blank(0x10000, 0xFF);
  const Flash blinky = blinkyFlash();
  Flash scrambled(0x10000);
  for (std::size_t i = 0; i < scrambled.size(); ++i) scrambled[i] = static_cast<std::uint8_t>(i * 7 + 3);
  struct Case {
    const char* name;
    Flash preset;
    std::vector<std::string> args;
    std::string stdoutHas, stderrHas;
    Flash flashAfter;
    std::vector<std::string> recordsSent;  // must appear in the target's log, in this order
    int readRequests = -1;                 // read requests in the log; -1: any number
  };
  const Case cases[] = {
      {"info", blank, {"info"}, "Manufactor Id: 58\n", "", blank, {":020000050800F1"}},
      {"program blank chip", blank, {"program", kBlinky}, "Programmed and verified " + kBlinky + kBlinkyProof + "\n",
       "velkorn-cli: Programming...\n", blinky,
       {":0100000307F5", ":10000000020100FFFFFFFFFFFFFFFFFFFFFFFFFFFA", ":030000030A0401EB",
        ":03000003060000F4"},
       2},
      {"program over old code", scrambled, {"program", kBlinky}, "", "", blinky, {":0100000307F5"}},
      // blinky's two blocks of data are read, the rest up to 0xFBFF blank-checked
      {"verify", blinky, {"verify", kBlinky}, "Matched OK!!!" + kBlinkyProof + "\n", "", blinky,
       {":05000004000000FF00F8", ":05000004010001FF00F6", ":050000040200FBFF01FA"}, 2},
      {"verify the whole chip", blinky, {"verify", "--full-verify", kBlinky}, "Matched OK!!!" + kBlinkyProof + "\n", "", blinky, {}, 256},
      {"erase", scrambled, {"erase"}, "Erased\n", "", blank, {":0100000307F5"}},
      {"boot with both locks", blank, {"boot", "--lock0", "--lock1", "--no-bljb"}, "Boot configuration written\n", "",
       blank,
       {":020000030500F6", ":020000030501F5", ":030000030A0400EC", ":03000003060000F4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto target = startTarget(c.preset);
    const RunResult r = cli(target->port(), c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.stdoutHas), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r.err;
    EXPECT_TRUE(flashAfter(*target) == c.flashAfter);
    std::size_t at = 0;
    for (const std::string& record : c.recordsSent) {
      at = log_.find(record, at);
      EXPECT_NE(at, std::string::npos) << record << " missing or out of order";
    }
    if (c.readRequests >= 0) {
      int reads = 0;
      for (std::size_t p = log_.find(":05000004"); p != std::string::npos; p = log_.find(":05000004", p + 1))
        reads += log_.compare(p + 17, 2, "00") == 0;
      EXPECT_EQ(reads, c.readRequests);
    }
  }
}

TEST_F(CliTest, ProgramNeverSetsLocksTheCommandLineDidNotAskFor) {
  // The chip reports itself locked; without --lock0/--lock1 no lock record goes out.
  auto target = startTarget({}, {"--security", "EE"});
  const RunResult r = cli(target->port(), {"program", kBlinky});
  flashAfter(*target);
  EXPECT_EQ(log_.find(":020000030500F6"), std::string::npos);
  EXPECT_EQ(log_.find(":020000030501F5"), std::string::npos);
  (void)r;
}

// Refused data records: retried up to --retries times in a row, then the command fails.
TEST_F(CliTest, RefusedRecordIsRetriedWithinTheLimit) {
  struct Case {
    std::string retries;
    int exitStatus;
    bool programmed;
  };
  const Case cases[] = {{"3", 0, true}, {"1", 0, true}, {"0", 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("retries " + c.retries);
    auto target = startTarget({}, {"--refuse-record", "2"});
    const RunResult r = cli(target->port(), {"--retries", c.retries, "program", kBlinky});
    EXPECT_EQ(r.status, c.exitStatus) << r.err;
    EXPECT_NE(r.err.find("Ack Error Retry! s=\"X\""), std::string::npos) << r.err;
    EXPECT_EQ(flashAfter(*target) == blinkyFlash(), c.programmed);
    if (!c.programmed) {
      // Aborted: no verification, no boot configuration.
      EXPECT_EQ(log_.find(":03000003060000F4"), std::string::npos);
    }
  }
}

TEST_F(CliTest, MismatchFailsWithTheAddress) {
  Flash almost = blinkyFlash();
  almost[0x0105] = 0x00;
  auto target = startTarget(almost);
  const RunResult r = cli(target->port(), {"verify", kBlinky});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Chip does not match file at @0105"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("velkorn-cli: the chip does not match " + kBlinky + " at 0x0105"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

// Faults the target injects: the exit status and the lines come from the command's outcome,
// whatever boxes went by on the way.
TEST_F(CliTest, OutcomeDecidesDespiteTheBoxesOnTheWay) {
  Flash highData = blinkyFlash();
  highData[0xFC10] = 0x12;
  writeFile(path("high.hex"), writeIntelHex(highData.data(), static_cast<int>(highData.size())));
  struct Case {
    const char* name;
    Flash preset;
    std::vector<std::string> target, args;
    int status;
    std::string stdoutIs, stderrHas;
  };
  const Case cases[] = {
      // The 21st record is the first data record (after sync's 9, the blank check, the erase
      // and its 9): the box for its missing echo goes by, the command still succeeds.
      {"echo of the first data record lost", {}, {"--drop-echo", "21"}, {"program", kBlinky}, 0,
       "Programmed and verified " + kBlinky + kBlinkyProof + "\n", "velkorn-cli: Error in cmd :10000000020100FF"},
      {"unreadable line in verify", blinkyFlash(), {"--garble-read", "1"}, {"verify", kBlinky}, 1, "",
       "velkorn-cli: the chip could not be verified: 1 line of the read-back could not be read, the first at 0x0000"},
      {"unreadable line in a single read", blinkyFlash(), {"--garble-read", "1"},
       {"read", "--single-read", path("out.hex").string()}, 1, "", "velkorn-cli: the chip could not be read completely"},
      {"unreadable line, read again", blinkyFlash(), {"--garble-read", "1"}, {"read", path("out.hex").string()}, 0,
       "Read 65536 bytes into " + path("out.hex").string() + " (CRC-32 AC62BDBC)\n", "Read record data error"},
      {"refused erase", {}, {"--refuse-erase"}, {"erase"}, 1, "",
       "velkorn-cli: the bootloader refused the erase (answer \"X\")\n"},
      // The 17th byte back is the first digit of the manufacturer's answer: "8." alone is
      // no value; asked again it is, and asked once more it agrees.
      {"a digit of the device information lost", {}, {"--drop-output", "17"}, {"info"}, 0, kInfoShown,
       "velkorn-cli: Device information answer unexpected [8.]\n"},
      {"device information never trusted", {}, {"--drop-output", "17"}, {"--retries", "0", "info"}, 1, "",
       "velkorn-cli: the device information is incomplete: record :020000050000F9 got no trusted answer "
       "(last answer \"8.\")\n"},
      {"echo of a device-information record lost", {}, {"--drop-echo", "3"}, {"--retries", "0", "info"}, 1, "",
       "velkorn-cli: Error in cmd :020000050001F8\n"},
      {"data in the bootloader's area", {}, {}, {"program", path("high.hex").string()}, 0,
       "Programmed and verified " + path("high.hex").string() + kBlinkyProof + "\n",
       "at 0xFC00 and above (from 0xFC10): those addresses were programmed but not compared\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto target = startTarget(c.preset, c.target);
    const RunResult r = cli(target->port(), c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.stdoutIs);
    EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r.err;
    EXPECT_EQ(fs::exists(path("out.hex")), c.status == 0 && c.args[0] == "read");
    fs::remove(path("out.hex"));
  }
}

// diff reads the whole chip, the bootloader's area included, and lists every range.
TEST_F(CliTest, DiffListsEveryDifferingRange) {
  Flash changed = blinkyFlash();
  changed[0x0105] = 0x00;
  std::fill(changed.begin() + 0xFE00, changed.begin() + 0xFE0A, 0x00);
  struct Case {
    const char* name;
    Flash preset;
    int status;
    std::string stdoutIs;
  };
  const Case cases[] = {
      {"equal", blinkyFlash(), 0, "The chip matches " + kBlinky + kBlinkyProof + "\n"},
      {"two ranges", changed, 1,
       "0x0105-0x0105 (1 byte): file FF chip 00\n"
       "0xFE00-0xFE09 (10 bytes): file FF FF FF FF FF FF FF FF ... chip 00 00 00 00 00 00 00 00 ...\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto target = startTarget(c.preset);
    const RunResult r = cli(target->port(), {"diff", kBlinky});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.stdoutIs);
  }
}

// Input file errors stop before anything reaches the chip.
TEST_F(CliTest, BadHexFilesStopBeforeTheChip) {
  struct Case {
    const char* name;
    bool exists;
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"bad digit", true,
       ":03000000020100FA\r\n:10010000758130759GFFB2907D047FFA7EFADEFE35\r\n:00000001FF\r\n",
       "Data error in line 2"},
      {"bad checksum", true, ":03000000020100FB\r\n:00000001FF\r\n", "Checksum error in line 1"},
      {"blank line", true, ":03000000020100FA\r\n\r\n:00000001FF\r\n", "Hex File format error in line 2"},
      {"no start mark", true, "03000000020100FA\r\n", "Hex File format error in line 1"},
      {"empty file", true, "", "Hex File format error in line 1"},
      // a NUL that hides records is a corrupted file, not the end of one
      {"records behind a NUL", true, ":03000000020100FA\r\n" + std::string(1, '\0') + ":03010000020100F9\r\n",
       "Hex File format error in line 2"},
      {"only an end record", true, ":00000001FF\r\n", "holds no data bytes: nothing was erased"},
      {"missing file", false, "", ": No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = path("bad.hex");
    fs::remove(file);
    if (c.exists) writeFile(file, c.text);
    auto target = startTarget();
    const RunResult r = cli(target->port(), {"program", file.string()});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (!c.exists) {
      EXPECT_NE(r.err.find("velkorn-cli: cannot open " + file.string()), std::string::npos) << r.err;
    }
    flashAfter(*target);
    EXPECT_EQ(log_.find(" -> "), std::string::npos) << "records reached the chip:\n" << log_;
  }
}

TEST_F(CliTest, SilentTargetGivesUpAtTheSyncTimeout) {
  // A pseudo-terminal nobody answers on.
  PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  // Without the 1 s limit the run would wait 60 s and be killed at the test's 30 s (status -1).
  for (const char* command : {"info", "erase"}) {
    SCOPED_TRACE(command);
    const RunResult r = cli(pty.slave(), {"--sync-timeout", "1", command}, seconds(30));
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("Can not synchronize target \"U\""), std::string::npos) << r.err;
  }
}

TEST_F(CliTest, UnusablePortsExitWithThree) {
  auto target = startTarget();
  // Another program holds the target's port.
  const int holder = ::open(target->port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  writeFile(path("regular"), "x");
  struct Case {
    std::string port;
    std::string message;
  };
  const Case cases[] = {
      {target->port(), "another program"},
      {path("absent").string(), "No such file"},
      {path("regular").string(), "not a serial device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    const RunResult r = cli(c.port, {"info"}, seconds(30));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("Can not open " + c.port), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  ::close(holder);
}

TEST_F(CliTest, ComNamesFollowTheConfigurationLink) {
  auto target = startTarget();
  const fs::path config = path("config");
  fs::create_directories(config / "velkorn");
  fs::create_symlink(target->port(), config / "velkorn" / "COM7");
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  const RunResult ok = cli("COM7", {"info"});
  const RunResult none = cli("COM8", {"info"}, seconds(30));
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(none.status, 3);
  EXPECT_NE(none.err.find("Can not open COM 8"), std::string::npos) << none.err;
}

TEST_F(CliTest, ReadThenVerifyRoundTrip) {
  auto target = startTarget(blinkyFlash());
  const fs::path out = path("chip.hex");
  const RunResult read = cli(target->port(), {"read", out.string()});
  ASSERT_EQ(read.status, 0) << read.err;
  const Flash blinky = blinkyFlash();
  EXPECT_EQ(readFile(out), writeIntelHex(blinky.data(), static_cast<int>(blinky.size())));

  const RunResult verify = cli(target->port(), {"verify", out.string()});
  EXPECT_EQ(verify.status, 0) << verify.err;
  EXPECT_EQ(verify.out, "Matched OK!!!" + kBlinkyProof + "\n");

  // An existing file is kept unless --force says otherwise.
  writeFile(out, "keep me");
  const RunResult refused = cli(target->port(), {"read", out.string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(readFile(out), "keep me");
  const RunResult forced = cli(target->port(), {"read", "--force", out.string()});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(readFile(out), writeIntelHex(blinky.data(), static_cast<int>(blinky.size())));

  // --force replaces a regular file only: a symbolic link or a FIFO stays what it was.
  writeFile(path("kept.hex"), "keep me");
  fs::create_symlink(path("kept.hex"), path("link.hex"));
  ASSERT_EQ(::mkfifo(path("fifo.hex").c_str(), 0600), 0);
  for (const char* name : {"link.hex", "fifo.hex"}) {
    const RunResult r = cli(target->port(), {"read", "--force", path(name).string()});
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_NE(r.err.find("only a regular file"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(fs::is_symlink(path("link.hex")));
  EXPECT_EQ(readFile(path("kept.hex")), "keep me");
  EXPECT_TRUE(fs::is_fifo(path("fifo.hex")));

  // A file size limit is a write error like a full disk: reported, nothing left behind.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const RunResult limited = cli(target->port(), {"read", path("big.hex").string()});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(limited.status, 2) << limited.err;
  EXPECT_NE(limited.err.find("File too large"), std::string::npos) << limited.err;
  for (const auto& entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename().string().find(".velkorn-"), std::string::npos) << entry.path();
  EXPECT_FALSE(fs::exists(path("big.hex")));
}

// An output that cannot be written is refused before the port is even opened (the port
// here does not exist: a late check would fail on it with status 3).
TEST_F(CliTest, ReadChecksItsOutputBeforeTheChip) {
  writeFile(path("regular"), "x");
  const struct {
    std::string out, message;
  } cases[] = {
      {path("missing/out.hex").string(), "does not exist"},
      {path("regular/out.hex").string(), "is not a folder"},
      {path(std::string(256, 'n')).string(), "longer than 255"},
      {path("missing/bad\nvelkorn-cli: done").string(), "bad<0A>velkorn-cli: done"},  // no forged line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const RunResult r = cli(path("absent").string(), {"read", "--force", c.out}, seconds(30));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\nvelkorn-cli: done"), std::string::npos) << r.err;
  }
}

// A dump is no more readable than the user's umask allows, --force keeps the mode of the
// file it replaces, and a name as long as the folder allows still fits.
TEST_F(CliTest, ReadGivesItsFileTheRightMode) {
  auto target = startTarget();
  const std::string longName = path(std::string(251, 'l') + ".hex").string();
  writeFile(path("secret.hex"), "old");
  ::chmod(path("secret.hex").c_str(), 0600);
  const struct {
    std::string out;
    bool force;
    mode_t mode;
  } cases[] = {{longName, false, 0640}, {path("secret.hex").string(), true, 0600}};
  const mode_t saved = ::umask(027);
  for (const auto& c : cases) {
    std::vector<std::string> args = {"read", "--single-read", c.out};
    if (c.force) args.insert(args.begin() + 1, "--force");
    const RunResult r = cli(target->port(), args);
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(c.out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, c.mode) << c.out;
  }
  ::umask(saved);
}

TEST_F(CliTest, ThirtyTwoKilobytePartIsReadToItsSize) {
  auto target = startTarget({}, {"--32k"});
  const fs::path out = path("chip.hex");
  const RunResult r = cli(target->port(), {"read", out.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  const Flash blank(0x8000, 0xFF);
  EXPECT_EQ(readFile(out), writeIntelHex(blank.data(), 0x8000));
}

}  // namespace
}  // namespace velkorn::testing
