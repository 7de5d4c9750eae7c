// The monitor: bytes both ways over a pseudo-terminal and TCP, the ways to end it with the
// keyboard's terminal given back, the log, a port that goes away and comes back, and
// program -> run -> watch against the simulated application.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/monitor.h"
#include "cli/options.h"
#include "cli_fixture.h"

namespace velkorn::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

// Generous: a loaded machine may be slow, but a monitor that never shows a line must fail.
constexpr auto kPatience = seconds(30);

// velkorn-cli running in the background: stdin a pipe the test writes to, or the slave of
// a pseudo-terminal the test types on (then stdout is that terminal too); stderr a pipe.
class Monitor {
 public:
  Monitor(std::vector<std::string> args, bool keyboard) : keyboard_(keyboard) {
    args.insert(args.begin(), VELKORN_CLI_PATH);
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    int slave = -1;
    if (keyboard) {
      master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
      slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (slave < 0 || ::tcgetattr(slave, &before_) != 0) return;
      slave_ = slave;
    } else if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, keyboard ? slave : in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, keyboard ? slave : out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(err[1]);
    errFd_ = err[0];
    if (keyboard) {
      inFd_ = outFd_ = master_;
    } else {
      ::close(in[0]);
      ::close(out[1]);
      inFd_ = in[1];
      outFd_ = out[0];
    }
  }
  ~Monitor() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    closeInput();
    if (outFd_ >= 0 && outFd_ != master_) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  bool started() const { return pid_ > 0; }
  void type(const std::string& bytes) { (void)!::write(inFd_, bytes.data(), bytes.size()); }
  // The end of stdin (a pipe only: a keyboard has no end but a hang-up).
  void closeInput() {
    if (inFd_ >= 0 && inFd_ != master_) ::close(inFd_);
    inFd_ = -1;
  }
  void signal(int number) { ::kill(pid_, number); }

  // Reads until `text` is on stdout (or stderr), or the patience is out.
  bool waitForOut(const std::string& text) { return waitFor(out, text); }
  bool waitForErr(const std::string& text) { return waitFor(err, text); }
  // Reads until `done` says so, or the patience is out.
  template <typename Done>
  bool waitUntil(Done done) {
    const auto deadline = Clock::now() + kPatience;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      pump(std::chrono::milliseconds(20));
    }
    return true;
  }
  // Whether the keyboard's terminal is in raw mode now, as the monitor set it.
  bool keyboardRaw() const {
    termios now{};
    return ::tcgetattr(slave_, &now) == 0 && (now.c_lflag & (ICANON | ECHO | ISIG)) == 0;
  }
  // The keyboard's terminal has every setting back that it had before the monitor started.
  bool keyboardRestored() const {
    termios now{};
    return ::tcgetattr(slave_, &now) == 0 && now.c_lflag == before_.c_lflag && now.c_iflag == before_.c_iflag &&
           now.c_oflag == before_.c_oflag && now.c_cc[VMIN] == before_.c_cc[VMIN];
  }

  // Waits for the end; the exit status, -1 when it had to be killed.
  int finish() {
    const auto deadline = Clock::now() + kPatience;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      pump(std::chrono::milliseconds(20));
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
    }
    pid_ = -1;
    pump(std::chrono::milliseconds(0));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string out, err;

 private:
  bool waitFor(const std::string& stream, const std::string& text) {
    return waitUntil([&] { return stream.find(text) != std::string::npos; });
  }
  void pump(std::chrono::milliseconds wait) {
    pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(wait.count())) <= 0) return;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
      if (n > 0) (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
    }
  }

  bool keyboard_;
  pid_t pid_ = -1;
  int inFd_ = -1, outFd_ = -1, errFd_ = -1;
  int master_ = -1, slave_ = -1;
  termios before_{};
};

class CliMonitor : public CliFixture {
 protected:
  void SetUp() override {
    CliFixture::SetUp();
    // COMn links go into the test's own folder.
    const char* old = std::getenv("XDG_CONFIG_HOME");
    savedConfig_ = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_CONFIG_HOME", path("config").c_str(), 1);
  }
  void TearDown() override {
    if (savedConfig_) ::setenv("XDG_CONFIG_HOME", savedConfig_->c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    CliFixture::TearDown();
  }
  // A board running its application, on a pseudo-terminal or a TCP port.
  std::unique_ptr<Target> board(const std::string& line, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--app-line", line, "--app-every", "50", "--app-running"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto t = std::make_unique<Target>(args, path("target" + std::to_string(++targets_) + ".log").string());
    EXPECT_FALSE(t->port().empty()) << "velkorn-target did not start";
    return t;
  }

 private:
  std::optional<std::string> savedConfig_;
  int targets_ = 0;
};

// What the board prints arrives on stdout; what is written to stdin reaches the board (its
// answer proves it); the end of stdin ends the monitor with exit 0. A pipe's bytes all go
// to the port, Ctrl+] too, and nothing is escaped on a stdout that is no terminal.
TEST_F(CliMonitor, BytesBothWaysOnEveryKindOfPort) {
  struct Case {
    const char* kind;
    std::vector<std::string> extra;
  };
  const Case cases[] = {{"pty", {}}, {"tcp", {"--tcp", "0"}}, {"rfc2217", {"--tcp", "0", "--rfc2217"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    auto target = board("tick @", c.extra);
    std::string port = target->port();
    if (std::string(c.kind) == "rfc2217") port = "rfc2217://" + port.substr(6);
    Monitor monitor({"--port", port, "monitor"}, false);
    ASSERT_TRUE(monitor.started());
    EXPECT_TRUE(monitor.waitForOut("tick ")) << monitor.err;
    monitor.type("hello\r");
    EXPECT_TRUE(monitor.waitForOut("got hello\r\n")) << monitor.out;
    monitor.type(std::string("a\x1D\x01z\r"));
    EXPECT_TRUE(monitor.waitForOut(std::string("got a\x1D\x01z\r\n"))) << monitor.out;
    monitor.closeInput();
    EXPECT_EQ(monitor.finish(), 0) << monitor.err;
    EXPECT_EQ(monitor.out.find("\\x"), std::string::npos);
  }
}

// On a keyboard the terminal is raw while the monitor runs and has its settings back
// however it ends: Ctrl+] (exit 0, typed after a line that reaches the board), SIGINT,
// SIGTERM. Its screen shows a control byte from the board as \xNN.
TEST_F(CliMonitor, KeyboardGetsItsTerminalBackOnEveryWayOut) {
  auto target = board("tick @");
  struct Case {
    const char* how;
    int signal;  // 0: Ctrl+]
  };
  for (const Case& c : {Case{"Ctrl+]", 0}, Case{"SIGINT", SIGINT}, Case{"SIGTERM", SIGTERM}}) {
    SCOPED_TRACE(c.how);
    Monitor monitor({"--port", target->port(), "monitor"}, true);
    ASSERT_TRUE(monitor.started());
    ASSERT_TRUE(monitor.waitForErr("Ctrl+] ends")) << monitor.err;
    EXPECT_TRUE(monitor.keyboardRaw());
    monitor.type("x\x02y\r");  // sent as typed: no line editing, Ctrl+B no signal
    EXPECT_TRUE(monitor.waitForOut("got x\\x02y")) << monitor.out;
    if (c.signal == 0) {
      monitor.type("\x1D");
    } else {
      monitor.signal(c.signal);
    }
    EXPECT_EQ(monitor.finish(), 0) << monitor.err;
    EXPECT_TRUE(monitor.keyboardRestored());
  }
}

// --log appends a copy of every line as it is completed (the file grows while the monitor
// runs); with --timestamps each line starts with the time, on the screen and in the log. A
// symbolic link is no log.
TEST_F(CliMonitor, LogAppendsEachLine) {
  auto target = board("line @");
  const fs::path log = path("monitor.log");
  std::ofstream(log) << "earlier\n";
  Monitor monitor({"--port", target->port(), "monitor", "--log", log.string(), "--timestamps"}, false);
  ASSERT_TRUE(monitor.started());
  EXPECT_TRUE(monitor.waitUntil([&] { return readFile(log.string()).find("line") != std::string::npos; }));
  const std::string during = readFile(log.string());
  monitor.closeInput();
  EXPECT_EQ(monitor.finish(), 0) << monitor.err;
  EXPECT_EQ(during.rfind("earlier\n[", 0), 0u) << during;
  EXPECT_EQ(during.back(), '\n') << "a line reached the log before its end";
  const std::string after = readFile(log.string());
  EXPECT_EQ(after.rfind(during, 0), 0u);
  EXPECT_EQ(monitor.out.rfind("[", 0), 0u) << monitor.out;
  EXPECT_NE(after.find("] line "), std::string::npos) << after;

  fs::create_symlink(path("elsewhere"), path("link.log"));
  const RunResult refused = cli(target->port(), {"monitor", "--log", path("link.log").string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("symbolic link"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(path("elsewhere")));
}

// The port goes away (the target ends: its pseudo-terminal vanishes, or its TCP server
// closes) and comes back (a new target under the same name): with --reconnect the monitor
// says both and shows the new board's lines; without, it ends with exit 1. The name of the
// pseudo-terminal is a link in the test's folder that points nowhere while it is away.
TEST_F(CliMonitor, ReconnectsWhenThePortComesBack) {
  struct Case {
    bool tcp;
    bool reconnect;
  };
  for (const Case& c : {Case{false, true}, Case{true, true}, Case{false, false}}) {
    SCOPED_TRACE(std::string(c.tcp ? "tcp" : "pty") + (c.reconnect ? " --reconnect" : ""));
    const fs::path name = path("port");
    fs::remove(name);
    auto first = board("first @", c.tcp ? std::vector<std::string>{"--tcp", "0"} : std::vector<std::string>{});
    if (!c.tcp) fs::create_symlink(first->port(), name);
    const std::string port = c.tcp ? first->port() : name.string();
    std::vector<std::string> args = {"--port", port, "monitor"};
    if (c.reconnect) args.push_back("--reconnect");
    Monitor monitor(args, false);
    ASSERT_TRUE(monitor.started());
    EXPECT_TRUE(monitor.waitForOut("first ")) << monitor.err;
    fs::remove(name);
    first->stop();
    EXPECT_TRUE(monitor.waitForErr("went away")) << monitor.err;
    if (!c.reconnect) {
      EXPECT_EQ(monitor.finish(), 1) << monitor.err;
      continue;
    }
    auto second = board("second @", c.tcp ? std::vector<std::string>{"--tcp", port.substr(port.rfind(':') + 1)}
                                          : std::vector<std::string>{});
    if (!c.tcp) fs::create_symlink(second->port(), name);
    EXPECT_TRUE(monitor.waitForErr("is back")) << monitor.err;
    EXPECT_TRUE(monitor.waitForOut("second ")) << monitor.out;
    monitor.type("still here\r");
    EXPECT_TRUE(monitor.waitForOut("got still here")) << monitor.out;
    monitor.closeInput();
    EXPECT_EQ(monitor.finish(), 0) << monitor.err;
  }
}

// program -> run -> watch: the board runs its application until a reset with RTS held puts
// it into its bootloader; after programming with the boot loader jump bit cleared, the run
// sequence starts the application, which prints its first line at once. The monitor on the
// same line shows that line (000): nothing is lost between the program and the watch. The
// application runs at 9600 bit/s: only --monitor-baud 9600 shows it readably.
TEST_F(CliMonitor, ProgramRunWatchShowsTheApplicationFromItsFirstLine) {
  struct Case {
    std::vector<std::string> rate;
    bool readable;
  };
  for (const Case& c : {Case{{"--monitor-baud", "9600"}, true}, Case{{}, false}}) {
    SCOPED_TRACE(c.readable ? "at the application's rate" : "at the default rate");
    auto target = board("app @", {"--tcp", "0", "--rfc2217", "--needs-reset", "--app-baud", "9600"});
    const std::string port = "rfc2217://" + target->port().substr(6);
    std::vector<std::string> args = {"--port", port, "--reset", "dtr=0,rts=1,wait=10,dtr=1", "--run",
                                     "rts=0,dtr=0,wait=10,dtr=1", "program", kBlinky, "--no-bljb", "--monitor"};
    args.insert(args.end(), c.rate.begin(), c.rate.end());
    Monitor monitor(args, false);
    ASSERT_TRUE(monitor.started());
    EXPECT_TRUE(monitor.waitForOut("Programmed and verified")) << monitor.err;
    if (c.readable) {
      EXPECT_TRUE(monitor.waitForOut("app 000\r\napp 001\r\n")) << monitor.out << monitor.err;
    } else {
      // Garbled lines arrive all the same: wait for a few of them.
      const auto at = monitor.out.find("Programmed and verified");
      EXPECT_TRUE(monitor.waitUntil([&] { return monitor.out.size() > at + 100; })) << monitor.out;
    }
    monitor.closeInput();
    EXPECT_EQ(monitor.finish(), 0) << monitor.err;
    EXPECT_EQ(monitor.out.find("app 0") != std::string::npos, c.readable) << monitor.out;
  }
}

// Which options belong to the monitor, and which rate each form sets.
TEST(MonitorOptions, RatesAndPlaces) {
  using cli::Command;
  using cli::parseOptions;
  const cli::ParseResult watch = parseOptions({"monitor", "-b", "9600", "--timestamps", "--log", "x.log", "--reconnect"});
  ASSERT_TRUE(watch.ok) << watch.error;
  EXPECT_EQ(watch.options.command, Command::Monitor);
  EXPECT_EQ(watch.options.baud, 9600);
  EXPECT_TRUE(watch.options.timestamps && watch.options.reconnect);
  EXPECT_EQ(watch.options.logFile, "x.log");
  const cli::ParseResult program = parseOptions({"-b", "460800", "program", "a.hex", "--monitor", "--monitor-baud", "9600"});
  ASSERT_TRUE(program.ok) << program.error;
  EXPECT_EQ(program.options.baud, 460800);
  EXPECT_EQ(program.options.monitorBaud, 9600);
  EXPECT_TRUE(program.options.monitor);
  EXPECT_EQ(parseOptions({"program", "a.hex", "--monitor"}).options.monitorBaud, 115200);
  const std::vector<std::vector<std::string>> refused = {
      {"verify", "a.hex", "--monitor"},                 // only program starts an application
      {"program", "a.hex", "--monitor-baud", "9600"},  // without --monitor
      {"monitor", "--monitor-baud", "9600"},           // monitor's own rate is -b
      {"info", "--timestamps"},
      {"program", "a.hex", "--log", "x.log"},
      {"erase", "--reconnect"},
      {"monitor", "--log"},
      {"monitor", "--log="},
      {"--json", "monitor"},                           // stdout holds the received bytes
      {"--json", "program", "a.hex", "--monitor"},
      {"monitor", "extra"},
      {"program", "a.hex", "--monitor", "--monitor-baud", "0"},
  };
  for (const auto& args : refused) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const cli::ParseResult r = parseOptions(args);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());
  }
}

// What the screen and the log make of received bytes: time stamps at line starts only, on
// both; \xNN on a terminal's screen only (the log keeps the bytes); the log a line at a time,
// a line without its LF kept for the end.
TEST(ReceivedText, ScreenAndLog) {
  struct Case {
    std::vector<std::string> pieces;
    bool timestamps, escapes;
    std::string screen, log, partial;
  };
  const std::string stamp = cli::timeStamp(1.5);
  const Case cases[] = {
      {{"ab\r\n", "cd"}, false, false, "ab\r\ncd", "ab\r\n", "cd"},
      {{"a", "b\n", "\nc"}, true, false, stamp + "ab\n" + stamp + "\n" + stamp + "c",
       stamp + "ab\n" + stamp + "\n", stamp + "c"},
      {{"\x1B[2J\t\xFFok\r\n"}, false, true, "\\x1B[2J\t\\xFFok\r\n", "\x1B[2J\t\xFFok\r\n", ""},
      {{"x\x1D"}, true, true, stamp + "x\\x1D", "", stamp + "x\x1D"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.pieces));
    cli::ReceivedText text(c.timestamps, c.escapes);
    std::string screen, log;
    for (const std::string& piece : c.pieces) text.add(piece, 1.5, screen, log);
    EXPECT_EQ(screen, c.screen);
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(text.takePartialLogLine(), c.partial);
  }
}

}  // namespace
}  // namespace velkorn::testing
