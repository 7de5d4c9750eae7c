// velkorn-target: its options, the COMn link, the flash files, and the program itself on a
// pseudo-terminal opened the way a serial port is.
#include "sim/pty_target.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace velkorn::sim {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velkorn-sim-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Points XDG_CONFIG_HOME somewhere else for one test.
class ScopedConfigHome {
 public:
  explicit ScopedConfigHome(const std::string& dir) {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) old_ = old;
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  }
  ~ScopedConfigHome() {
    if (old_) ::setenv("XDG_CONFIG_HOME", old_->c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
  }

 private:
  std::optional<std::string> old_;
};

std::vector<std::uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TargetOptions, GoodOptionsSetTheModel) {
  std::string error;
  const auto o = parseTargetOptions({"--product", "ef", "--manufacturer=0x12", "--32k", "--security", "EE",
                                     "--refuse-record", "3", "--silent-after=7", "--erase-delay", "0",
                                     "--pace", "--rate", "9600", "--link", "COM12", "--replace", "--flash-out", "f",
                                     "--flash-out-live", "--garble-output", "2", "--garble-with", "7", "--latency", "16",
                                     "--latency-jitter=4", "--seed", "9", "--delay", "20", "--garble-blank-check", "2",
                                     "--late-blank-check=3", "--late-by", "700", "--drop-blank-check", "4",
                                     "--lie-blank-check", "5", "--refuse-lock1", "--refuse-bljb", "--stuck-cell",
                                     "0x7ff5", "--stuck-value", "00"},
                                    error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->profile.product, 0xEF);
  EXPECT_EQ(o->profile.manufacturer, 0x12);
  EXPECT_EQ(o->profile.flashSize(), 0x8000);
  EXPECT_EQ(o->profile.securityByte, 0xEE);
  EXPECT_EQ(o->faults.refuseDataRecord, 3);
  EXPECT_EQ(o->faults.silentAfterRecords, 7);
  EXPECT_EQ(o->faults.garbleOutputByte, 2);
  EXPECT_EQ(o->faults.garbleReadWith, '7');
  EXPECT_TRUE(o->pace);
  EXPECT_EQ(o->rateBitsPerSecond, 9600);
  EXPECT_EQ(o->link, "COM12");
  EXPECT_TRUE(o->replaceLink);
  EXPECT_TRUE(o->flashOutLive);
  EXPECT_EQ(o->latencyMs, 16);
  EXPECT_EQ(o->latencyJitterMs, 4);
  EXPECT_EQ(o->seed, 9u);
  EXPECT_EQ(o->delayMs, 20);
  EXPECT_EQ(o->faults.garbleBlankCheck, 2);
  EXPECT_EQ(o->faults.lateBlankCheck, 3);
  EXPECT_EQ(o->faults.lateByMs, 700);
  EXPECT_EQ(o->faults.dropBlankCheck, 4);
  EXPECT_EQ(o->faults.lieBlankCheck, 5);
  EXPECT_FALSE(o->faults.refuseLock0);
  EXPECT_TRUE(o->faults.refuseLock1);
  EXPECT_TRUE(o->faults.refuseBljb);
  EXPECT_FALSE(o->faults.forgetLocks);
  EXPECT_EQ(o->faults.stuckCell, 0x7FF5);
  EXPECT_EQ(o->faults.stuckValue, 0x00);
  const auto tcp = parseTargetOptions({"--tcp", "0", "--hang-up-after", "5"}, error);
  ASSERT_TRUE(tcp) << error;
  EXPECT_EQ(tcp->tcpPort, 0);
  EXPECT_EQ(tcp->hangUpAfter, 5);
}

TEST(TargetOptions, BadOptionsAreNamed) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--product"},
      {"--product", "1FF"},
      {"--product", "G1"},
      {"--family", ""},
      {"--refuse-record", "0"},
      {"--silent-after", "-1"},
      {"--drop-echo", "two"},
      {"--rate", "0"},
      {"--erase-delay", "600001"},
      {"--latency", "10001"},
      {"--latency-jitter", "-1"},
      {"--seed", "x"},
      {"--garble-with", "AB"},
      {"--garble-with", " "},
      {"--link", "LPT1"},
      {"--link", "COM0"},
      {"--link", "COM"},
      {"--link", "../COM1"},
      {"--pace=yes"},
      {"--flash-out-live"},
      {"COM3"},
      {"--tcp", "65536"},
      {"--tcp", "0", "--link", "COM3"},
      {"--replace"},
      {"--hang-up-after", "5"},
      {"--delay", "10001"},
      {"--app-running"},                       // no application to run
      {"--app-line", "a\rb"},                 // one line: the target adds CR LF
      {"--app-every", "0"},
      {"--app-baud", "9"},
      {"--late-by", "600001"},
      {"--drop-blank-check", "0"},
      {"--stuck-cell", "10000"},
      {"--stuck-cell", "0x"},
      {"--stuck-cell", "-1"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : std::string()));
    std::string error;
    EXPECT_FALSE(parseTargetOptions(args, error));
    EXPECT_FALSE(error.empty());
  }
}

// A COMn that exists is someone's: the user's pin to a board (an unplugged one leaves the
// link dangling), or another target's.
TEST(TargetPortLink, LeavesOthersLinksAloneAndTakesOnlyItsOwnAway) {
  enum class Before { Nothing, UsersLink, DanglingLink, RegularFile };
  const struct {
    const char* name;
    Before before;
    bool replace;
    bool created;
    const char* errorNames;  // what the refusal must mention
  } cases[] = {
      {"a new link, in a folder made for it", Before::Nothing, false, true, ""},
      {"the user's pin is kept", Before::UsersLink, false, false, "/dev/ttyUSB7"},
      {"a dangling pin is kept", Before::DanglingLink, false, false, "--replace"},
      {"--replace stands in for the pin and puts it back", Before::UsersLink, true, true, ""},
      {"a file is no link, --replace or not", Before::RegularFile, true, false, "not a symbolic link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScopedConfigHome home(dir.path() + "/config");
    const std::string path = dir.path() + "/config/velkorn/COM4";
    std::string old;
    if (c.before != Before::Nothing) fs::create_directories(dir.path() + "/config/velkorn");
    if (c.before == Before::UsersLink) old = "/dev/ttyUSB7";
    if (c.before == Before::DanglingLink) old = dir.path() + "/gone";
    if (!old.empty()) fs::create_symlink(old, path);
    if (c.before == Before::RegularFile) std::ofstream(path) << "keep me";

    std::string error;
    const auto made = createPortLink("COM4", "/dev/pts/98", c.replace, error);
    ASSERT_EQ(made.has_value(), c.created) << error;
    if (!made) {
      EXPECT_NE(error.find("COM4"), std::string::npos) << error;
      EXPECT_NE(error.find(c.errorNames), std::string::npos) << error;
      if (!old.empty()) {
        EXPECT_EQ(fs::read_symlink(path), old);
      }
      if (c.before == Before::RegularFile) {
        EXPECT_EQ(fileBytes(path).size(), 7u);
      }
      continue;
    }
    EXPECT_EQ(made->path, path);
    EXPECT_EQ(fs::read_symlink(path), "/dev/pts/98");
    removePortLink(*made);
    if (old.empty()) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    } else {
      EXPECT_EQ(fs::read_symlink(path), old);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() + "/config/velkorn"), fs::directory_iterator()),
              old.empty() ? 0 : 1);
  }

  // Another target took the name over meanwhile: its link stays.
  TempDir dir;
  ScopedConfigHome home(dir.path() + "/config");
  std::string error;
  const auto first = createPortLink("COM4", "/dev/pts/98", false, error);
  ASSERT_TRUE(first) << error;
  const auto second = createPortLink("COM4", "/dev/pts/99", true, error);
  ASSERT_TRUE(second) << error;
  removePortLink(*first);
  EXPECT_EQ(fs::read_symlink(first->path), "/dev/pts/99");
}

TEST(TargetFlashFile, PresetAndDumpFollowTheFlashSize) {
  TempDir dir;
  struct Case {
    const char* name;
    std::uint8_t memoryCode;
    std::size_t presetBytes;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"short preset on 64k", 0xFC, 300, true},
      {"full preset on 32k", 0xF7, 0x8000, true},
      {"64k preset on 32k", 0xF7, 0x10000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir.path() + "/in.bin";
    const std::string out = dir.path() + "/out.bin";
    {
      std::ofstream f(in, std::ios::binary | std::ios::trunc);
      for (std::size_t i = 0; i < c.presetBytes; ++i) f.put(static_cast<char>(i % 251));
    }
    DeviceProfile p;
    p.memoryCode = c.memoryCode;
    Bootloader b(p);
    std::string error;
    ASSERT_EQ(readFlashFile(in, b, error), c.accepted) << error;
    if (!c.accepted) {
      EXPECT_NE(error.find("more than the flash"), std::string::npos);
      EXPECT_EQ(b.flash()[0], 0xFF);  // nothing taken from a file that does not fit
      continue;
    }
    ASSERT_TRUE(writeFlashFile(out, b, error)) << error;
    const auto dump = fileBytes(out);
    ASSERT_EQ(dump.size(), static_cast<std::size_t>(p.flashSize()));
    for (std::size_t i = 0; i < dump.size(); ++i) {
      ASSERT_EQ(dump[i], i < c.presetBytes ? i % 251 : 0xFF) << i;
    }
    EXPECT_FALSE(fs::exists(out + ".tmp"));
  }
  std::string error;
  Bootloader b;
  EXPECT_FALSE(readFlashFile(dir.path() + "/missing.bin", b, error));
  EXPECT_FALSE(writeFlashFile(dir.path() + "/no/such/dir/out.bin", b, error));
}

// The flash files are the target's own: a FIFO, a folder or a link where one is named stays
// as it was (a link at FILE.tmp is never followed), and a file to read that is not a regular
// file is refused at once instead of waited on.
TEST(TargetFlashFile, OnlyRegularFilesAreReadOrReplaced) {
  TempDir dir;
  const std::string victim = dir.path() + "/victim";
  std::ofstream(victim) << "someone else's";
  enum class Put { Nothing, Fifo, Folder, LinkAtName, LinkAtTmp };
  struct Case {
    const char* name;
    Put put;
    bool written;        // --flash-out replaces or creates the file
    std::string refusal; // what the refusal says, when there is one
  };
  const Case cases[] = {
      {"a new file", Put::Nothing, true, ""},
      {"a link at FILE.tmp", Put::LinkAtTmp, true, ""},
      {"a FIFO", Put::Fifo, false, "is a FIFO"},
      {"a folder", Put::Folder, false, "is a folder"},
      {"a link at the name", Put::LinkAtName, false, "is a symbolic link"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir.path() + "/out" + std::to_string(++n) + ".bin";
    switch (c.put) {
      case Put::Nothing: break;
      case Put::Fifo: ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0); break;
      case Put::Folder: fs::create_directory(out); break;
      case Put::LinkAtName: fs::create_symlink(victim, out); break;
      case Put::LinkAtTmp: fs::create_symlink(victim, out + ".tmp"); break;
    }
    const auto problem = flashOutProblem(out);
    EXPECT_EQ(problem.has_value(), !c.written);
    if (problem) {
      EXPECT_NE(problem->find(c.refusal), std::string::npos) << *problem;
    }
    Bootloader b;
    std::string error;
    EXPECT_EQ(writeFlashFile(out, b, error), c.written) << error;
    EXPECT_EQ(fs::is_regular_file(fs::symlink_status(out)), c.written);
    std::ifstream kept(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone else's");
    if (c.written) {
      EXPECT_EQ(fileBytes(out).size(), 0x10000u);
    }
  }

  const std::string fifo = dir.path() + "/in.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string says;
  } unreadable[] = {{fifo, "is a FIFO"}, {dir.path(), "is a folder"}};
  for (const auto& u : unreadable) {
    SCOPED_TRACE(u.path);
    Bootloader b;
    std::string error;
    EXPECT_FALSE(readFlashFile(u.path, b, error));
    EXPECT_NE(error.find(u.says + ": --flash-in reads a regular file only"), std::string::npos) << error;
  }
}

#ifdef VELKORN_TARGET_PATH

// velkorn-target as a child process. Every wait is bounded; the destructor kills what is left.
class TargetProcess {
 public:
  TargetProcess(const std::vector<std::string>& args, const std::string& configHome) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(out[0]);
      ::close(err[0]);
      ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(VELKORN_TARGET_PATH)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(VELKORN_TARGET_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~TargetProcess() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  // The first line of stdout (the slave path), or empty when none came within the time.
  std::string firstLine(int timeoutMs = 5000) {
    std::string line;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  // Waits for the exit status (-1 when it did not end in time).
  int wait(int timeoutMs = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ < 0 && Clock::now() < end) {
      int raw = 0;
      if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }
  int terminate(int signal = SIGTERM) {
    ::kill(pid_, signal);
    return wait();
  }
  // What the program wrote on stderr so far (call after it ended).
  std::string errorText() {
    std::string s;
    char buf[512];
    ssize_t n;
    pollfd p{err_, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && (n = ::read(err_, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int status_ = -1;
};

// The slave side opened as the programmer opens a serial port: raw, 8N1, 115200 bit/s
// unless told otherwise.
class Port {
 public:
  explicit Port(const std::string& path, speed_t speed = B115200) {
    if (path.rfind("tcp://127.0.0.1:", 0) == 0) {
      // velkorn-target --tcp: a connection instead of a port.
      fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(path.substr(16))));
      if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
      }
      return;
    }
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, speed);
    ::tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Port() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool isOpen() const { return fd_ >= 0; }
  void send(const std::string& s) { ASSERT_EQ(::write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  // Reads until `count` bytes came or `timeoutMs` passed.
  std::string read(std::size_t count, int timeoutMs = 5000) {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[1024];
      const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
  std::string exchange(const std::string& record, std::size_t answerBytes) {
    send(record);
    return read(record.size() + answerBytes);
  }
  // True when the other end closed the connection within `timeoutMs`; what came before is dropped.
  bool closedByPeer(int timeoutMs = 5000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[1024];
      if (::read(fd_, buf, sizeof buf) <= 0) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
};

TEST(TargetProgram, ServesThePortLinkAndDumpsTheFlashOnAStopSignal) {
  // Whoever started the target may end it with either signal: the flash file is written all the same.
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    const std::string dump = dir.path() + "/flash.bin";
    TargetProcess target({"--link", "COM5", "--flash-out", dump}, dir.path());
    const std::string slave = target.firstLine();
    ASSERT_FALSE(slave.empty()) << target.errorText();
    const std::string link = dir.path() + "/velkorn/COM5";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), slave);

    {
      Port port(link);
      ASSERT_TRUE(port.isOpen());
      port.send("U");
      EXPECT_EQ(port.read(1), "U");
      EXPECT_EQ(port.exchange(":020000050000F9", 3), ":020000050000F958.");
      EXPECT_EQ(port.exchange(":10010000000102030405060708090A0B0C0D0E0F77", 1),
                ":10010000000102030405060708090A0B0C0D0E0F77.");
    }
    {
      // A second client (a new programmer process) synchronises again on the same port.
      Port port(slave);
      ASSERT_TRUE(port.isOpen());
      port.send("U");
      EXPECT_EQ(port.read(1), "U");
      EXPECT_EQ(port.exchange(":020000050001F8", 3), ":020000050001F8D7.");
    }

    EXPECT_EQ(target.terminate(signal), 0) << target.errorText();
    const auto bytes = fileBytes(dump);
    ASSERT_EQ(bytes.size(), 0x10000u);
    for (unsigned a = 0x00F0; a < 0x0120; ++a) {
      EXPECT_EQ(bytes[a], a >= 0x100 && a < 0x110 ? a - 0x100 : 0xFF) << a;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  }
}

TEST(TargetProgram, PresetLiveDumpAndSmallPart) {
  TempDir dir;
  const std::string preset = dir.path() + "/in.bin";
  const std::string dump = dir.path() + "/flash.bin";
  {
    std::ofstream f(preset, std::ios::binary);
    for (int i = 0; i < 0x8000; ++i) f.put(static_cast<char>(i == 0x7F05 ? 0x3C : 0xFF));
  }
  TargetProcess target({"--32k", "--flash-in", preset, "--flash-out", dump, "--flash-out-live"}, dir.path());
  const std::string slave = target.firstLine();
  ASSERT_FALSE(slave.empty()) << target.errorText();
  Port port(slave);
  port.send("U");
  ASSERT_EQ(port.read(1), "U");
  const std::string reply = port.exchange(":050000047F007FFF00FA", 626);
  ASSERT_EQ(reply.size(), 21u + 626u);
  EXPECT_EQ(reply.substr(21, 39), "\r\n7F00=FFFFFFFFFF3CFFFFFFFFFFFFFFFFFFFF");
  EXPECT_EQ(port.exchange(":050000040000FFBF0138", 6), ":050000040000FFBF01387F05\r\n");

  // The live dump follows each change while the target still runs.
  EXPECT_EQ(port.exchange(":0100000307F5", 1), ":0100000307F5.");
  EXPECT_EQ(port.exchange(":0100020000FD", 1), ":0100020000FD.");  // byte 0x00 at 0x0002
  const auto bytes = fileBytes(dump);
  ASSERT_EQ(bytes.size(), 0x8000u);
  EXPECT_EQ(bytes[0x0002], 0x00);
  EXPECT_EQ(bytes[0x7F05], 0xFF);
  EXPECT_EQ(target.terminate(), 0);
}

// True when the port can be opened and nobody has it in exclusive use.
bool portIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  int exclusive = 1;
  ::ioctl(fd, TIOCGEXCL, &exclusive);
  ::close(fd);
  return exclusive == 0;
}

bool becomesFree(const std::string& path, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (portIsFree(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(TargetProgram, ExclusiveUseLeftByADeadClientIsReleased) {
  TempDir dir;
  TargetProcess target({}, dir.path());
  const std::string slave = target.firstLine();
  ASSERT_FALSE(slave.empty()) << target.errorText();

  // A client that locks the port keeps it, however long it stays.
  int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_FALSE(portIsFree(slave));

  // It dies without clearing the flag: the port becomes usable again.
  ::close(fd);
  EXPECT_TRUE(becomesFree(slave, 3000));
  EXPECT_EQ(target.terminate(), 0);
}

TEST(TargetProgram, SlowAnswersComeWholeInOrderAndTakeAtLeastTheirTime) {
  // Lower bounds only: a slow machine makes these longer, never shorter.
  const std::string readBlock = ":05000004000000FF00F8";  // 0000..00FF: 626 characters after the echo
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string record;
    int atLeastMs;
    speed_t portSpeed = B115200;
  };
  const std::vector<Case> cases = {
      // 647 bytes at 19200 bit/s are 337 ms on the line
      {"paced read answer", {"--pace", "--rate", "19200"}, readBlock, 300},
      // ... and 674 ms at the 9600 bit/s the programmer set when its "U" came
      {"paced at the programmer's rate", {"--pace"}, readBlock, 600, B9600},
      {"late blank-check answer", {"--late-blank-check", "1", "--late-by", "400"}, ":050000040000FFFF01F8", 380},
      {"delayed erase", {"--erase-delay", "400"}, ":0100000307F5", 380},
      {"short answer held by an adapter", {"--latency", "300"}, ":0100000307F5", 280},
      {"short answer across a network", {"--delay", "100"}, ":0100000307F5", 190},
      // 11 packets of 62 bytes pass on as they fill: the whole answer takes about its line time
      {"paced read behind an adapter with jitter",
       {"--pace", "--latency", "16", "--latency-jitter", "10", "--seed", "3"}, readBlock, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    TargetProcess target(c.args, dir.path());
    const std::string slave = target.firstLine();
    ASSERT_FALSE(slave.empty()) << target.errorText();
    Bootloader reference;
    reference.receive("U");
    const std::string expected = reference.receive(c.record);
    Port port(slave, c.portSpeed);
    port.send("U");
    ASSERT_EQ(port.read(1), "U");
    const auto start = Clock::now();
    const std::string reply = port.exchange(c.record, expected.size() - c.record.size());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(reply, expected);
    EXPECT_GE(ms, c.atLeastMs);
    EXPECT_EQ(target.terminate(), 0);
  }
}

// --tcp: one programmer at a time, a newcomer replacing the old one; the flash outlives the
// connections; --hang-up-after closes the connection after that byte.
TEST(TargetProgram, TcpServesOneProgrammerAtATime) {
  TempDir dir;
  TargetProcess target({"--tcp", "0", "--hang-up-after", "40"}, dir.path());
  const std::string url = target.firstLine();
  ASSERT_EQ(url.rfind("tcp://127.0.0.1:", 0), 0u) << url << target.errorText();
  Port first(url);
  ASSERT_TRUE(first.isOpen());
  first.send("U");
  EXPECT_EQ(first.read(1), "U");
  EXPECT_EQ(first.exchange(":0100020000FD", 1), ":0100020000FD.");  // byte 0x00 at 0x0002: 14 bytes in

  Port second(url);
  ASSERT_TRUE(second.isOpen());
  EXPECT_TRUE(first.closedByPeer());
  second.send("U");
  EXPECT_EQ(second.read(1), "U");
  // Bytes 0..2 read back, the first connection's byte among them: 36 bytes in.
  EXPECT_EQ(second.exchange(":050000040000000200F5", 15), ":050000040000000200F5\r\n0000=FFFF00\r\n");
  // The 40th byte, inside this record, is the last one the target takes.
  second.send(":020000050000F9");
  EXPECT_TRUE(second.closedByPeer());
  EXPECT_EQ(target.terminate(), 0) << target.errorText();
}

TEST(TargetProgram, BadUseEndsWithStatus2AndAMessage) {
  TempDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {"--no-such-option"},
      {"--product", "XYZ"},
      {"--link", "ttyS0"},
      {"--flash-in", dir.path() + "/missing.bin"},
      {"--flash-in", dir.path()},
      {"--flash-out", dir.path()},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    TargetProcess target(args, dir.path());
    EXPECT_EQ(target.wait(), 2);
    EXPECT_NE(target.errorText().find("velkorn-target: "), std::string::npos);
  }
}

#endif  // VELKORN_TARGET_PATH

}  // namespace
}  // namespace velkorn::sim
