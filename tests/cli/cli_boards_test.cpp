// The production line's command line against velkorn-target: several boards at once,
// --json, the ports command, raw binary files and the reset through the modem lines.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "process.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;
using std::chrono::seconds;

using CliBoards = CliFixture;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Points XDG_CONFIG_HOME at a folder of the test for the runs in its scope.
class ConfigFolder {
 public:
  explicit ConfigFolder(const fs::path& dir) {
    fs::create_directories(dir / "velkorn");
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old, had_ = true;
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  }
  ~ConfigFolder() {
    if (had_) ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

// One board refuses a record: the other is still programmed, the exit status is the
// highest, the lines carry their port and the summary names the failed one.
TEST_F(CliBoards, OneFailingBoardLeavesTheOtherProgrammed) {
  const fs::path second = path("second");
  fs::create_directories(second);
  auto good = startTarget();
  Target bad({"--refuse-record", "2", "--flash-out", (second / "flash.bin").string()}, (second / "log").string());
  const RunResult r = run({VELKORN_CLI_PATH, "--port", good->port() + "," + bad.port(), "--retries", "0", "program",
                           kBlinky},
                          seconds(120));
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, good->port() + ": Programmed and verified " + kBlinky + kBlinkyProof + "\n");
  EXPECT_NE(r.err.find("velkorn-cli: " + bad.port() + ": Ack Error Retry!"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("velkorn-cli: 1 of 2 boards done\nvelkorn-cli: " + bad.port() + " failed: the bootloader refused"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(flashAfter(*good) == blinkyFlash());
}

// --json: one object per board, on failure too, with the fields of its command.
TEST_F(CliBoards, JsonObjectsPerOutcome) {
  Flash changed = blinkyFlash();
  changed[0x0105] = 0x00;
  struct Case {
    const char* name;
    Flash preset;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> has;  // parts of the one line on stdout
  };
  const std::string file = "\"file\":\"" + kBlinky + "\"";
  // What was compared, by the file's SHA-256 and the compared image's CRC-32 (zlib's sums
  // of examples/blinky.hex and of its image below 0xFC00).
  const std::string proof =
      "\"sha256\":\"43f98c5cad047db44cac7194f8891d34ba83ec8783d942731ef5a4d589b965fb\",\"crc32\":\"B96CEB9D\","
      "\"range\":[0,64511]";
  const Case cases[] = {
      {"info", {}, {"info"}, 0,
       {"\"command\":\"info\",\"ok\":true,\"exit\":0,\"outcome\":\"done\"",
        "\"device\":{\"manufacturer\":\"58\",\"family\":\"D7\",\"memory\":\"FC\",\"product\":\"FF\",\"bsb\":\"FF\","
        "\"sbv\":\"FC\",\"hsb\":\"FB\",\"bootloader\":\"12\",\"lock0\":false,\"lock1\":false,\"chip_size\":65536,"
        "\"state\":\"BOOTLOADER\",\"known\":true}"}},
      {"verify mismatch", changed, {"verify", kBlinky}, 1,
       {"\"ok\":false,\"exit\":1,\"outcome\":\"mismatch\"", "\"message\":\"the chip does not match", file,
        "\"address\":261,\"differences\":1", proof}},
      {"program", {}, {"program", kBlinky}, 0, {"\"ok\":true", file, proof}},
      {"diff", changed, {"diff", kBlinky}, 1, {"\"outcome\":\"mismatch\"", "\"ranges\":[[261,261]]", proof}},
      {"read", blinkyFlash(), {"read", "{dir}/chip.hex"}, 0,
       {"\"outcome\":\"done\"", "\"bytes\":65536,\"crc32\":\"AC62BDBC\""}},
      {"bad file", {}, {"program", "{dir}/missing.hex"}, 2, {"\"exit\":2,\"outcome\":\"file-error\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto target = startTarget(c.preset);
    std::vector<std::string> args = {"--json"};
    for (std::string a : c.args) {
      if (const auto at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, dir_.string());
      args.push_back(a);
    }
    const RunResult r = cli(target->port(), args);
    EXPECT_EQ(r.status, c.status) << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1u) << r.out;
    EXPECT_EQ(out[0].rfind("{\"port\":\"" + target->port() + "\"", 0), 0u) << out[0];
    for (const std::string& part : c.has) EXPECT_NE(out[0].find(part), std::string::npos) << part << "\n" << out[0];
  }
  const RunResult none = run({VELKORN_CLI_PATH, "--json", "--port", path("nothing").string(), "info"});
  EXPECT_EQ(none.status, 3);
  EXPECT_NE(none.out.find("\"exit\":3,\"outcome\":\"port-error\",\"seconds\":"), std::string::npos) << none.out;
}

// ports: the pins of the configuration folder with the device each stands for, and whether
// each is free, seen without opening any port (the device shows no open).
TEST_F(CliBoards, PortsListsPinsAndWhyOneIsBusy) {
  auto free = startTarget();
  const fs::path second = path("second");
  fs::create_directories(second);
  Target held({}, (second / "log").string());
  ConfigFolder config(path("config"));
  fs::create_symlink(free->port(), path("config") / "velkorn" / "COM7");
  fs::create_symlink(held.port(), path("config") / "velkorn" / "COM8");
  const int holder = ::open(held.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(watch, free->port().c_str(), IN_OPEN), 0);
  const RunResult r = run({VELKORN_CLI_PATH, "--json", "ports"});
  char event[4096];
  EXPECT_LT(::read(watch, event, sizeof event), 0) << "ports opened " << free->port();
  ::close(watch);
  const RunResult twice = run({VELKORN_CLI_PATH, "-p", "COM7", "-p", free->port(), "info"});
  const RunResult busy = run({VELKORN_CLI_PATH, "-p", "COM8", "info"});
  ::close(holder);
  // A message names the port and the device it stands for.
  EXPECT_EQ(busy.status, 3);
  EXPECT_NE(busy.err.find("COM8 (" + held.port() + "): the port is held by another program"), std::string::npos)
      << busy.err;
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string com7 = "\"name\":\"COM7\",\"path\":\"" + (path("config") / "velkorn" / "COM7").string() +
                           "\",\"device\":\"" + free->port() + "\"";
  EXPECT_NE(r.out.find(com7), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"name\":\"COM8\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"available\":false,\"reason\":\"the port is held by another program\""), std::string::npos)
      << r.out;
  EXPECT_EQ(twice.status, 2);
  EXPECT_NE(twice.err.find("is given twice"), std::string::npos) << twice.err;
}

// A binary file placed at --address programs what a binary read gives back; read - puts
// the file on stdout and its result line on stderr.
TEST_F(CliBoards, BinaryRoundTrip) {
  std::string bytes(3000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + 7);
  std::ofstream(path("fw.bin"), std::ios::binary) << bytes;
  auto target = startTarget();
  const RunResult program = cli(target->port(), {"program", path("fw.bin").string(), "--address", "0x1000"});
  ASSERT_EQ(program.status, 0) << program.err;
  const RunResult read = cli(target->port(), {"read", path("chip.bin").string()});
  ASSERT_EQ(read.status, 0) << read.err;
  std::ifstream in(path("chip.bin"), std::ios::binary);
  const std::string chip((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(chip.size(), 0x10000u);
  EXPECT_EQ(chip.substr(0x1000, bytes.size()), bytes);
  EXPECT_EQ(chip.substr(0, 0x1000), std::string(0x1000, '\xFF'));
  const RunResult toStdout = cli(target->port(), {"read", "-", "--binary"});
  EXPECT_EQ(toStdout.status, 0) << toStdout.err;
  EXPECT_EQ(toStdout.out, chip);
  EXPECT_NE(toStdout.err.find("velkorn-cli: Read 65536 bytes (CRC-32 "), std::string::npos) << toStdout.err;
  const RunResult tooLong = cli(target->port(), {"verify", path("fw.bin").string(), "--address", "0xF800"});
  EXPECT_EQ(tooLong.status, 2);
  EXPECT_NE(tooLong.err.find("run past the chip's 64 KiB"), std::string::npos) << tooLong.err;
}

// A board that runs its application answers no "U" until DTR has gone low and high again:
// --reset does that over RFC 2217, --run after the command; a raw TCP port has no modem
// lines, so asking for them there is a usage error before anything is sent.
TEST_F(CliBoards, ResetThroughTheModemLines) {
  Target board({"--tcp", "0", "--rfc2217", "--needs-reset", "--log"}, path("board.log").string());
  ASSERT_EQ(board.port().rfind("tcp://", 0), 0u) << board.port();
  const std::string rfc2217 = "rfc2217://" + board.port().substr(6);
  const RunResult unreset = run({VELKORN_CLI_PATH, "--port", rfc2217, "--sync-timeout", "1", "info"});
  const RunResult reset = run({VELKORN_CLI_PATH, "--port", rfc2217, "--reset", "dtr=0,rts=1,wait=20,dtr=1,rts=0",
                               "--run", "dtr=0,wait=5,dtr=1", "info"});
  const RunResult raw = run({VELKORN_CLI_PATH, "--port", board.port(), "--reset", "dtr=0", "info"});
  const RunResult unknown = run({VELKORN_CLI_PATH, "--port", rfc2217, "--reset", "dtr=0,reboot", "info"});
  const std::string log = board.stop();
  EXPECT_EQ(unreset.status, 3) << unreset.err;
  EXPECT_EQ(reset.status, 0) << reset.err;
  EXPECT_NE(reset.out.find("Manufactor Id: 58"), std::string::npos) << reset.out;
  const std::string steps = "modem line dtr=0\nmodem line rts=1\nmodem line dtr=1\nmodem line rts=0\n";
  const auto at = log.find(steps);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find("modem line dtr=0\nmodem line dtr=1\n", at + steps.size()), std::string::npos) << log;
  EXPECT_EQ(raw.status, 2);
  EXPECT_NE(raw.err.find("carries no modem lines"), std::string::npos) << raw.err;
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("'reboot' is no step"), std::string::npos) << unknown.err;
}

}  // namespace
}  // namespace velkorn::testing
