// velkorn-cli when things go away or are asked to stop: Ctrl+C and SIGTERM in every wait, a
// line that hangs up at any point, a stdout that nobody reads; and what several boards
// print of names that hold control characters, commas or the same {port} file name.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "process.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;
using std::chrono::seconds;

using CliStop = CliFixture;

// Reads what `fd` has until `text` shows up in `into` or `fd` closes; false when it never did.
bool readUntil(int fd, std::string& into, const std::string& text, std::chrono::steady_clock::time_point deadline) {
  while (into.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// Runs velkorn-cli until its stderr says `cue`, then sends it `signal` and lets it end.
RunResult runAndSignal(const std::vector<std::string>& argv, const std::string& cue, int signal) {
  RunResult r;
  pid_t pid = 0;
  int outFd = -1, errFd = -1;
  if (!spawnWithPipes(argv, &pid, &outFd, &errFd)) return r;
  const auto deadline = std::chrono::steady_clock::now() + seconds(120);
  EXPECT_TRUE(readUntil(errFd, r.err, cue, deadline)) << "no '" << cue << "' in: " << r.err;
  ::kill(pid, signal);
  drain(outFd, errFd, r.out, r.err, deadline);
  ::close(outFd);
  ::close(errFd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Ctrl+C and SIGTERM end a wait of the reset sequence and the synchronisation, and the
// command ends aborted with nothing more sent: no "U" after a reset wait, no record after a
// synchronisation that found no bootloader.
TEST_F(CliStop, CtrlCAndSigtermEndEveryWait) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* cue;
    int signal;
  };
  const Case cases[] = {
      {"reset wait, program, Ctrl+C", {"--reset", "wait=60000", "program", kBlinky}, "debug: reset: wait=60000", SIGINT},
      {"reset wait, info, SIGTERM", {"--reset", "wait=60000", "info"}, "debug: reset: wait=60000", SIGTERM},
      {"run wait after a done erase, SIGTERM", {"--run", "wait=60000", "erase"}, "debug: run: wait=60000", SIGTERM},
      {"synchronisation, Ctrl+C", {"--sync-timeout", "3600", "info"}, "Synchronize...", SIGINT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool sync = std::string(c.cue) == "Synchronize...";
    // On a pseudo-terminal the target logs the "U" as the line's rate; over RFC 2217 a
    // board that runs its application answers no "U" until a reset it never gets.
    Target board(sync ? std::vector<std::string>{"--tcp", "0", "--rfc2217", "--needs-reset", "--log"}
                      : std::vector<std::string>{"--log"},
                 path("board.log").string());
    const std::string port = sync ? "rfc2217://" + board.port().substr(6) : board.port();
    std::vector<std::string> argv = {VELKORN_CLI_PATH, "--json", "--verbose", "--port", port};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = runAndSignal(argv, c.cue, c.signal);
    const std::string log = board.stop();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("\"ok\":false,\"exit\":1,\"outcome\":\"aborted\""), std::string::npos) << r.out;
    const std::string after = r.err.substr(r.err.find(c.cue));
    EXPECT_EQ(after.find("debug: :"), std::string::npos) << "a record went out after the signal:\n" << after;
    if (std::string(c.cue).find("reset") != std::string::npos) {
      EXPECT_EQ(log.find("line at"), std::string::npos) << "a \"U\" reached the board:\n" << log;
    }
    if (std::string(c.cue).find("run") == std::string::npos) {
      EXPECT_EQ(log.find("\n:"), std::string::npos) << "a record reached the board:\n" << log;
    }
  }
}

// A line that hangs up is a lost line wherever the command was: never a bad answer, a
// refusal or a difference.
TEST_F(CliStop, AHangUpIsLinkLostAtEveryPoint) {
  const std::vector<std::vector<std::string>> commands = {
      {"info"}, {"program", kBlinky}, {"verify", kBlinky}, {"read", "{dir}/chip.hex", "--force"}, {"erase"}, {"boot"}};
  for (const auto& command : commands) {
    for (int after : {1, 3, 8, 15, 22, 30, 45, 60, 90, 150, 400}) {
      SCOPED_TRACE(command[0] + " hanging up after " + std::to_string(after) + " bytes");
      Target board({"--tcp", "0", "--hang-up-after", std::to_string(after)}, path("board.log").string());
      std::vector<std::string> argv = {VELKORN_CLI_PATH, "--json", "--sync-timeout", "5", "--port", board.port()};
      for (std::string a : command) {
        if (const auto at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, dir_.string());
        argv.push_back(a);
      }
      const RunResult r = run(argv);
      if (r.status == 0 || r.out.find("\"outcome\":\"mismatch\"") != std::string::npos) continue;  // ended first
      EXPECT_NE(r.out.find("\"outcome\":\"link-lost\""), std::string::npos) << r.out << r.err;
    }
  }
}

// stdout closed before the boards begin: every board still finishes its chip, each says
// that its lines were lost, and the summary comes on stderr.
TEST_F(CliStop, AClosedStdoutLeavesEveryBoardToFinish) {
  const fs::path second = path("second");
  fs::create_directories(second);
  auto one = startTarget();
  Target two({"--flash-out", (second / "flash.bin").string()}, (second / "log").string());
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ::close(out[0]);  // nobody reads
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, path("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::vector<std::string> args = {VELKORN_CLI_PATH, "--port", one->port(), "--port", two.port(), "program",
                                         kBlinky};
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const std::string err = readFile(path("err.txt").string());
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << err;
  EXPECT_EQ(WEXITSTATUS(status), 1) << err;
  EXPECT_NE(err.find("velkorn-cli: 0 of 2 boards done"), std::string::npos) << err;
  for (const std::string& port : {one->port(), two.port()}) {
    EXPECT_NE(err.find("velkorn-cli: " + port + " failed: its output could not be written to stdout: Broken pipe"),
              std::string::npos)
        << err;
  }
  EXPECT_TRUE(flashAfter(*one) == blinkyFlash());
  two.stop();
  EXPECT_TRUE(readFile((second / "flash.bin").string()) ==
              std::string(reinterpret_cast<const char*>(blinkyFlash().data()), 0x10000));
}

// A port's name reaches the terminal as every name does, with several boards as with one:
// control characters as <1B>.
TEST_F(CliStop, PortNamesAreShownEscapedWithSeveralBoards) {
  auto one = startTarget();
  const fs::path second = path("second");
  fs::create_directories(second);
  Target two({}, (second / "log").string());
  const std::string odd = path("odd\x1b[2J").string();
  fs::create_symlink(one->port(), odd);
  const RunResult r = cli(odd, {"--port", two.port(), "--retries", "0", "verify", kBlinky});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("velkorn-cli: " + path("odd<1B>[2J").string() + ": "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(path("odd<1B>[2J").string() + " (" + one->port() + ") failed: "), std::string::npos) << r.err;
  // One board: its result line names the file the same way.
  const RunResult single = cli(two.port(), {"read", path("dump\x1b[2J.hex").string()});
  EXPECT_EQ(single.status, 0) << single.err;
  EXPECT_EQ(single.out.rfind("Read 65536 bytes into " + path("dump<1B>[2J.hex").string() + " (CRC-32 ", 0), 0u)
      << single.out;
}

// Port lists and the boards' files are checked before any port is opened; a comma in a
// port's name is written \, and {port} is replaced with one port too.
TEST_F(CliStop, PortListsAndBoardFiles) {
  auto board = startTarget(blinkyFlash());
  const std::string comma = path("usb-0:1,2").string();
  fs::create_symlink(board->port(), comma);
  std::string escaped = comma;
  escaped.insert(escaped.find(','), "\\");
  ::setenv("VELKORN_PORT", board->port().c_str(), 1);
  const RunResult lone = run({VELKORN_CLI_PATH, "-p", ",", "erase"});
  const RunResult commas = run({VELKORN_CLI_PATH, "-p", ",,,", "erase"});
  ::unsetenv("VELKORN_PORT");
  const RunResult shared = run({VELKORN_CLI_PATH, "-p", path("a/b").string(), "-p", path("a_b").string(), "read",
                                path("out-{port}.bin").string(), "--force"});
  const RunResult withComma = cli(escaped, {"read", path("x-{port}.hex").string()});
  EXPECT_EQ(lone.status, 2) << lone.err;
  EXPECT_NE(lone.err.find("an empty entry in the port list ','"), std::string::npos) << lone.err;
  EXPECT_EQ(commas.status, 2) << commas.err;
  EXPECT_EQ(shared.status, 2) << shared.err;
  EXPECT_NE(shared.err.find("would both write"), std::string::npos) << shared.err;
  EXPECT_EQ(withComma.status, 0) << withComma.err;
  std::string name = comma;
  std::replace(name.begin(), name.end(), '/', '_');
  EXPECT_TRUE(fs::is_regular_file(path("x-" + name + ".hex"))) << withComma.out;
  EXPECT_FALSE(fs::exists(path("x-{port}.hex")));
  EXPECT_TRUE(flashAfter(*board) == blinkyFlash()) << "erase reached the board";
}

}  // namespace
}  // namespace velkorn::testing
