#pragma once
// Child processes for the end-to-end tests: the simulated target on its pseudo-terminal and
// velkorn-cli runs, each with bounded waits so that a stuck program fails the test instead
// of hanging it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace velkorn::testing {

inline const std::string kBlinky = std::string(VELKORN_SOURCE_DIR) + "/examples/blinky.hex";
// The proof a result line ends with for blinky on a 64 KiB part: zlib's CRC-32 of its image,
// unwritten bytes 0xFF, over everything below the bootloader's area.
inline const std::string kBlinkyProof = " (CRC-32 B96CEB9D over 0x0000-0xFBFF)";

// The bytes of examples/blinky.hex as a flash of `size` bytes must hold them.
inline std::vector<std::uint8_t> blinkyFlash(std::size_t size = 0x10000) {
  std::vector<std::uint8_t> f(size, 0xFF);
  const std::uint8_t reset[] = {0x02, 0x01, 0x00};
  const std::uint8_t main[] = {0x75, 0x81, 0x30, 0x75, 0x90, 0xFF, 0xB2, 0x90, 0x7D, 0x04, 0x7F,
                               0xFA, 0x7E, 0xFA, 0xDE, 0xFE, 0xDF, 0xFA, 0xDD, 0xF6, 0x80, 0xF0};
  std::copy(std::begin(reset), std::end(reset), f.begin());
  std::copy(std::begin(main), std::end(main), f.begin() + 0x100);
  return f;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct RunResult {
  int status = -1;  // exit status; -1 when killed at the time limit
  std::string out, err;
  std::chrono::milliseconds took{0};
};

// stdout to a pipe; stderr to a pipe, or to `errPath` when given (a chatty program must not
// stall on a full pipe nobody reads).
inline bool spawnWithPipes(const std::vector<std::string>& argv, pid_t* pid, int* outFd, int* errFd,
                           const std::string& errPath = {}) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (errPath.empty()) {
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = ::posix_spawn(pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    return false;
  }
  *outFd = out[0];
  *errFd = err[0];
  return true;
}

// Collects both pipes until they close or the limit passes.
inline void drain(int outFd, int errFd, std::string& out, std::string& err,
                  std::chrono::steady_clock::time_point deadline, bool untilNewlineOnOut = false) {
  bool outOpen = outFd >= 0, errOpen = errFd >= 0;
  while (outOpen || errOpen) {
    if (untilNewlineOnOut && out.find('\n') != std::string::npos) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
      } else {
        (i == 0 ? outOpen : errOpen) = false;
      }
    }
  }
}

// Runs a program to its end within `limit`; killed and status -1 when it overstays.
inline RunResult run(const std::vector<std::string>& argv, std::chrono::seconds limit = std::chrono::seconds(60)) {
  RunResult r;
  pid_t pid = 0;
  int outFd = -1, errFd = -1;
  const auto start = std::chrono::steady_clock::now();
  if (!spawnWithPipes(argv, &pid, &outFd, &errFd)) return r;
  drain(outFd, errFd, r.out, r.err, start + limit);
  ::close(outFd);
  ::close(errFd);
  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() > start + limit) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      return r;
    }
    ::usleep(2000);
  }
  r.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// velkorn-target started in the background; its first stdout line is the port.
class Target {
 public:
  // `logPath` receives the target's stderr (its --log lines).
  Target(std::vector<std::string> args, std::string logPath) : logPath_(std::move(logPath)) {
    args.insert(args.begin(), VELKORN_TARGET_PATH);
    if (!spawnWithPipes(args, &pid_, &outFd_, &errFd_, logPath_)) return;
    std::string out;
    drain(outFd_, -1, out, err_, std::chrono::steady_clock::now() + std::chrono::seconds(10), true);
    if (const auto nl = out.find('\n'); nl != std::string::npos) port_ = out.substr(0, nl);
  }
  ~Target() { stop(); }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  const std::string& port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Ends the target (it writes --flash-out then) and returns what it logged on stderr.
  std::string stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        ::usleep(2000);
      }
      ::close(outFd_);
      ::close(errFd_);
      pid_ = -1;
    }
    std::ifstream f(logPath_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  std::string port_;
  std::string err_;
  std::string logPath_;
};

}  // namespace velkorn::testing
