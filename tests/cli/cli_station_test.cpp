// The production station against velkorn-target: records appended by processes at once,
// serial numbers that no two boards share (across processes, a failed board and a crash),
// and a record that cannot be written failing its board.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_fixture.h"
#include "process.h"
#include "support/file_size_limit.h"
#include "support/pty.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;
using std::chrono::seconds;

using CliStation = CliFixture;

std::vector<std::string> textLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The number after "NAME": in a JSON line; -1 when missing.
long long number(const std::string& line, const std::string& name) {
  const auto at = line.find("\"" + name + "\":");
  if (at == std::string::npos) return -1;
  return std::stoll(line.substr(at + name.size() + 3));
}

// A board of its own: a target with its flash file in a folder of the test.
struct Board {
  Board(const fs::path& dir, std::vector<std::string> extra = {}) : folder(dir) {
    fs::create_directories(folder);
    std::vector<std::string> args = {"--flash-out", (folder / "flash.bin").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    target = std::make_unique<Target>(args, (folder / "log").string());
  }
  Flash flash() {
    target->stop();
    std::ifstream in(folder / "flash.bin", std::ios::binary);
    return Flash(std::istreambuf_iterator<char>(in), {});
  }
  fs::path folder;
  std::unique_ptr<Target> target;
};

// Two processes with four boards each share one counter and one record: eight numbers,
// each once, each in its board's flash and in its board's record line with the station's facts.
TEST_F(CliStation, TwoProcessesEightBoardsShareCounterAndRecord) {
  std::vector<std::unique_ptr<Board>> boards;
  for (int i = 0; i < 8; ++i) boards.push_back(std::make_unique<Board>(path("board" + std::to_string(i))));
  std::ofstream(path("counter")) << "100\n";
  const std::string record = path("record.jsonl").string();
  auto station = [&](int first) {
    std::string ports;
    for (int i = first; i < first + 4; ++i) {
      ports += (ports.empty() ? "" : ",") + boards[static_cast<std::size_t>(i)]->target->port();
    }
    return run({VELKORN_CLI_PATH, "--port", ports, "--record", record, "--station", "line 1", "program", kBlinky,
                "--serial-at", "0x2000", "--serial-format", "be16", "--serial-file", path("counter").string()});
  };
  RunResult first, second;
  std::thread other([&] { first = station(0); });
  second = station(4);
  other.join();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(readFile(path("counter")), "108\n");
  const std::vector<std::string> recorded = textLines(readFile(record));
  ASSERT_EQ(recorded.size(), 8u) << readFile(record);
  const std::regex fields(
      "\\{\"port\":\"([^\"]+)\",\"command\":\"program\",\"ok\":true,\"exit\":0,\"outcome\":\"done\",\"seconds\":[0-9.]+,"
      "\"file\":\"" + kBlinky + "\".*\"serial\":(1[0-9][0-9]).*,\"time\":\"20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-9]{2}:"
      "[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z\",\"station\":\"line 1\",\"device\":\\{\"manufacturer\":\"58\".*\"known\":true\\},"
      "\"port_path\":\"([^\"]+)\",\"usb\":null\\}");
  std::map<std::string, int> serialOf;  // by port
  for (const std::string& line : recorded) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, fields)) << line;
    EXPECT_EQ(m[1].str(), m[3].str());
    serialOf[m[1].str()] = std::stoi(m[2].str());
  }
  std::set<int> serials;
  for (auto& board : boards) {
    const std::string port = board->target->port();
    ASSERT_EQ(serialOf.count(port), 1u) << port;
    const int serial = serialOf[port];
    serials.insert(serial);
    Flash expected = blinkyFlash();
    expected[0x2000] = static_cast<std::uint8_t>(serial >> 8);
    expected[0x2001] = static_cast<std::uint8_t>(serial);
    EXPECT_TRUE(board->flash() == expected) << port;
  }
  EXPECT_EQ(serials, (std::set<int>{100, 101, 102, 103, 104, 105, 106, 107}));
}

// A board that fails has used its number, and says so in its record; a process killed after
// taking a number leaves it used too. No number is ever given twice.
TEST_F(CliStation, FailedAndCrashedBoardsKeepTheirNumbers) {
  std::ofstream(path("counter")) << "7\n";
  const std::vector<std::string> serialArgs = {"--serial-at", "0x100", "--serial-format", "dec:4", "--serial-file",
                                               path("counter").string(), "--record", path("record.jsonl").string()};
  auto program = [&](const std::string& port, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {VELKORN_CLI_PATH, "--json", "--retries", "0", "--port", port, "program", kBlinky};
    args.insert(args.end(), serialArgs.begin(), serialArgs.end());
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  Board refusing(path("refusing"), {"--refuse-record", "1"});
  const RunResult failed = run(program(refusing.target->port()));
  EXPECT_EQ(failed.status, 1) << failed.err;
  EXPECT_NE(failed.out.find("\"ok\":false"), std::string::npos) << failed.out;
  EXPECT_EQ(number(failed.out, "serial"), 7) << failed.out;

  // A board that never answers: the number is taken before the synchronisation's "U",
  // then the process dies.
  PseudoTerminal silent;
  ASSERT_TRUE(silent.isOpen());
  pid_t pid = 0;
  int outFd = -1, errFd = -1;
  ASSERT_TRUE(spawnWithPipes(program(silent.slave(), {"--sync-timeout", "600"}), &pid, &outFd, &errFd));
  EXPECT_NE(silent.receive(1, std::chrono::seconds(60)).find('U'), std::string::npos);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(outFd);
  ::close(errFd);
  EXPECT_EQ(readFile(path("counter")), "9\n");

  Board good(path("good"));
  const RunResult done = run(program(good.target->port()));
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(number(done.out, "serial"), 9) << done.out;
  Flash expected = blinkyFlash();
  const std::string digits = "0009";
  std::copy(digits.begin(), digits.end(), expected.begin() + 0x100);
  EXPECT_TRUE(good.flash() == expected);
  const std::vector<std::string> recorded = textLines(readFile(path("record.jsonl")));
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_NE(recorded[0].find("\"ok\":false"), std::string::npos) << recorded[0];
  EXPECT_EQ(number(recorded[0], "serial"), 7);
  EXPECT_EQ(number(recorded[1], "serial"), 9);

  // A number that does not fit: nothing is erased and the counter stays.
  std::ofstream(path("counter"), std::ios::trunc) << "10000\n";
  Board untouched(path("untouched"), {"--flash-in", path("good/flash.bin").string()});
  const RunResult tooBig = run(program(untouched.target->port()));
  EXPECT_EQ(tooBig.status, 2) << tooBig.err;
  EXPECT_NE(tooBig.err.find("10000, does not fit dec:4"), std::string::npos) << tooBig.err;
  EXPECT_EQ(readFile(path("counter")), "10000\n");
  EXPECT_TRUE(untouched.flash() == expected);
}

// On a 32 KiB part every address is compared: a serial number in its top KiB is verified
// like any other byte; one past the chip's end is refused before the erase (the board has
// used its number all the same).
TEST_F(CliStation, SerialNumberOnA32KiBPart) {
  struct Case {
    const char* at;
    bool fullVerify;
    int status;
    const char* says;
  } const cases[] = {
      {"0x7D00", false, 0, "Programmed and verified"},
      {"0x9000", false, 2, "holds data at 0x9000, beyond the chip's size of 0x8000 bytes: nothing was erased"},
      {"0x7D00", true, 0, "Programmed and verified"},
  };
  std::ofstream(path("counter")) << "4660\n";  // 0x1234
  int taken = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.at) + (c.fullVerify ? " --full-verify" : ""));
    auto target = startTarget({}, {"--32k"});
    std::vector<std::string> args = {"program", kBlinky, "--serial-at", c.at, "--serial-format", "be16",
                                     "--serial-file", path("counter").string()};
    if (c.fullVerify) args.push_back("--full-verify");
    const RunResult r = cli(target->port(), args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((r.err + r.out).find(c.says), std::string::npos) << r.err;
    const Flash flash = flashAfter(*target);
    ASSERT_EQ(flash.size(), 0x8000u);
    if (c.status == 0) {
      EXPECT_EQ(flash[0x7D00], 0x12);
      EXPECT_EQ(flash[0x7D01], 0x34 + taken);  // the number this board took
    } else {
      EXPECT_TRUE(flash == Flash(0x8000, 0xFF));  // not erased, not programmed
    }
    ++taken;
  }
  EXPECT_EQ(readFile(path("counter")), "4663\n");
}

// A record that cannot be written fails the board that was programmed, and leaves no half
// line behind for the next board's reader.
TEST_F(CliStation, UnwritableRecordFailsTheBoard) {
  auto target = startTarget();
  const std::string before = "{\"port\":\"COM1\",\"ok\":true}\n";
  std::ofstream(path("record.jsonl")) << before;
  fs::create_directories(path("folder"));
  RunResult full;
  {
    const FileSizeLimit disk(before.size() + 40);
    full = cli(target->port(), {"--json", "--record", path("record.jsonl").string(), "program", kBlinky});
  }
  const RunResult folder = cli(target->port(), {"--record", path("folder").string(), "erase"});
  EXPECT_EQ(full.status, 1) << full.err;
  EXPECT_NE(full.out.find("\"ok\":false,\"exit\":1,\"outcome\":\"record-error\""), std::string::npos) << full.out;
  EXPECT_NE(full.err.find("the record of this board could not be written to " + path("record.jsonl").string()),
            std::string::npos)
      << full.err;
  EXPECT_EQ(readFile(path("record.jsonl")), before);
  EXPECT_EQ(folder.status, 1) << folder.err;
  EXPECT_NE(folder.err.find("could not be written"), std::string::npos) << folder.err;
}

// velkorn-cli running in the background, its stderr read as it comes.
class Background {
 public:
  explicit Background(const std::vector<std::string>& argv) { spawnWithPipes(argv, &pid_, &outFd_, &errFd_); }
  ~Background() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
  }
  // Reads until stderr holds `text` `times` times; false when it never came.
  bool waitFor(const std::string& text, int times = 1) {
    const auto deadline = std::chrono::steady_clock::now() + seconds(60);
    while (count(text) < times) {
      std::string more;
      const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      drain(-1, errFd_, out_, more, std::min(deadline, slice));
      err_ += more;
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
  }
  // Ctrl+C, the rest left running.
  void signal() { ::kill(pid_, SIGINT); }
  // Interrupts it as Ctrl+C does and collects the rest; its exit status.
  int interrupt() {
    ::kill(pid_, SIGINT);
    drain(outFd_, errFd_, out_, err_, std::chrono::steady_clock::now() + seconds(60));
    int status = 0;
    // A loop that does not end fails the test instead of hanging it.
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& err() const { return err_; }
  const std::string& out() const { return out_; }

 private:
  int count(const std::string& text) const {
    int n = 0;
    for (auto at = err_.find(text); at != std::string::npos; at = err_.find(text, at + 1)) ++n;
    return n;
  }
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  std::string out_, err_;
};

// program --loop on both kinds of fixture: an adapter that comes with the board (its COMn
// appears and goes) and a fixed adapter on pogo pins (the bootloader answers and falls
// silent). Three boards in turn, the second refusing a record: each is programmed once with
// its own serial number, reported and recorded; Ctrl+C ends with the totals and exit 1.
TEST_F(CliStation, ProgramLoopThreeBoardsInTurn) {
  const fs::path config = path("config");
  fs::create_directories(config / "velkorn");
  // The COMn pins of the test's own configuration folder, for the target and velkorn-cli.
  struct ConfigHome {
    explicit ConfigHome(const fs::path& dir) {
      if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved = old;
      ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }
    ~ConfigHome() {
      if (saved) ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    }
    std::optional<std::string> saved;
  } home(config);
  struct Fixture {
    const char* name;
    bool comesWithBoard;
  } const fixtures[] = {{"adapter with the board", true}, {"fixed adapter", false}};
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(f.name);
    const fs::path dir = path(f.comesWithBoard ? "with" : "fixed");
    fs::create_directories(dir);
    std::ofstream(dir / "counter") << "500\n";
    std::vector<std::string> targetArgs = {"--absent", "--bad-board", "2", "--flash-out", (dir / "flash").string()};
    if (f.comesWithBoard) targetArgs.insert(targetArgs.end(), {"--link", "COM7"});
    Target socket(targetArgs, (dir / "target.log").string());
    ASSERT_FALSE(socket.port().empty());
    const std::string port = f.comesWithBoard ? "COM7" : socket.port();
    // The adapter is not plugged in: COM7 is not there.
    EXPECT_EQ(fs::exists(fs::symlink_status(config / "velkorn" / "COM7")), false);
    Background loop({VELKORN_CLI_PATH, "--port", port, "--retries", "0", "--record", (dir / "record").string(),
                     "program", kBlinky, "--loop", "--serial-at", "0x4000", "--serial-format", "hex:4",
                     "--serial-file", (dir / "counter").string()});
    for (int board = 1; board <= 3; ++board) {
      ASSERT_TRUE(loop.waitFor(": waiting for a board", board)) << loop.err();
      ::kill(socket.pid(), SIGUSR1);
      ASSERT_TRUE(loop.waitFor(": take the board out", board)) << loop.err();
      ::kill(socket.pid(), SIGUSR2);
      for (int i = 0; i < 6000 && !fs::exists(dir / ("flash." + std::to_string(board))); ++i) ::usleep(10000);
    }
    ASSERT_TRUE(loop.waitFor(": waiting for a board", 4)) << loop.err();
    EXPECT_EQ(loop.interrupt(), 1) << loop.err();
    EXPECT_NE(loop.err().find(": board 1: done (serial number 500); 1 board, 1 done, 0 failed\n"), std::string::npos)
        << loop.err();
    EXPECT_NE(loop.err().find(": board 2: FAILED: the bootloader refused"), std::string::npos) << loop.err();
    EXPECT_NE(loop.err().find(": board 3: done (serial number 502); 3 boards, 2 done, 1 failed\n"), std::string::npos)
        << loop.err();
    EXPECT_NE(loop.err().find("velkorn-cli: 3 boards, 2 done, 1 failed\n"), std::string::npos) << loop.err();
    // Each board's result names its own image: the serial number is in it.
    const std::vector<std::string> results = textLines(loop.out());
    ASSERT_EQ(results.size(), 2u) << loop.out();
    for (const std::string& result : results) {
      EXPECT_EQ(result.rfind("Programmed and verified " + kBlinky + " (CRC-32 ", 0), 0u) << result;
    }
    EXPECT_NE(results[0], results[1]);
    const std::vector<std::string> recorded = textLines(readFile(dir / "record"));
    ASSERT_EQ(recorded.size(), 3u);
    for (int board = 1; board <= 3; ++board) {
      const std::string& line = recorded[static_cast<std::size_t>(board - 1)];
      EXPECT_EQ(number(line, "serial"), 499 + board) << line;
      EXPECT_NE(line.find(board == 2 ? "\"ok\":false" : "\"ok\":true"), std::string::npos) << line;
    }
    for (int board : {1, 3}) {
      std::ifstream in(dir / ("flash." + std::to_string(board)), std::ios::binary);
      Flash expected = blinkyFlash();
      const std::string digits = board == 1 ? "01F4" : "01F6";
      std::copy(digits.begin(), digits.end(), expected.begin() + 0x4000);
      EXPECT_TRUE(Flash(std::istreambuf_iterator<char>(in), {}) == expected) << board;
    }
  }
}

// Ctrl+C while a board is being programmed ends the loop after that board, not in its
// middle; a second Ctrl+C stops that board too (aborted, exit 1).
TEST_F(CliStation, ProgramLoopCtrlCLetsTheBoardInFlightFinish) {
  for (const int signals : {1, 2}) {
    SCOPED_TRACE(std::to_string(signals) + " Ctrl+C");
    Target socket({"--erase-delay", "1500", "--flash-out", path("flash").string()}, path("target.log").string());
    Background loop({VELKORN_CLI_PATH, "--port", socket.port(), "program", kBlinky, "--loop"});
    ASSERT_TRUE(loop.waitFor("velkorn-cli: Erasing...")) << loop.err();
    if (signals == 2) {
      loop.signal();
      ASSERT_TRUE(loop.waitFor("stopping after the boards in flight")) << loop.err();
    }
    const int status = loop.interrupt();
    socket.stop();
    const std::string flash = readFile(path("flash"));
    if (signals == 1) {
      EXPECT_EQ(status, 0) << loop.err();
      EXPECT_NE(loop.err().find(": board 1: done; 1 board, 1 done, 0 failed\n"), std::string::npos) << loop.err();
      EXPECT_NE(loop.err().find("\nvelkorn-cli: 1 board, 1 done, 0 failed\n"), std::string::npos) << loop.err();
      EXPECT_EQ(loop.out(), "Programmed and verified " + kBlinky + kBlinkyProof + "\n");
      EXPECT_TRUE(Flash(flash.begin(), flash.end()) == blinkyFlash());
    } else {
      EXPECT_EQ(status, 1) << loop.err();
      EXPECT_NE(loop.err().find("1 board, 0 done, 1 failed\n"), std::string::npos) << loop.err();
      EXPECT_EQ(loop.out(), "");
    }
  }
}

}  // namespace
}  // namespace velkorn::testing
