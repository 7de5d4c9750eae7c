#pragma once
// ser2net (the Debian package) bridging a serial device to TCP on 127.0.0.1, for the
// network link tests: started in the foreground with a configuration of its own in the
// test's folder, on a free port, raw or with RFC 2217. Every wait is bounded. When ser2net
// is not installed, error() says so and how to install it: those tests fail, never skip.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velkorn::testing {

class Ser2Net {
 public:
  enum class Mode { Raw, Rfc2217 };

  // Bridges `device` at `rate` 8N1 (the rate its port is set to when a client connects); the
  // configuration, pid file and ser2net's output go into `dir`. `charDelay` false turns off
  // ser2net's wait for more characters before it sends what came from the port (on by
  // default: 2 character times, at least 1 ms, after each character).
  Ser2Net(Mode mode, const std::string& device, const std::filesystem::path& dir, int rate = 115200,
          bool charDelay = true)
      : mode_(mode), dir_(dir) {
    const std::string program = find();
    if (program.empty()) {
      error_ = "ser2net is not installed: install the Debian package ser2net (scripts/install-deps.sh does)";
      return;
    }
    // A free port: bound as port 0 and let go of just before ser2net takes it.
    port_ = freePort();
    start(program, device, rate, charDelay);
  }
  ~Ser2Net() { stop(); }
  Ser2Net(const Ser2Net&) = delete;
  Ser2Net& operator=(const Ser2Net&) = delete;

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Why it is not running, with the end of ser2net's own output.
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  std::string url() const {
    return (mode_ == Mode::Raw ? "tcp://127.0.0.1:" : "rfc2217://127.0.0.1:") + std::to_string(port_);
  }

  // A port on 127.0.0.1 that nobody listens on: bound as port 0, then let go of.
  static int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ::close(fd);
    return ok ? ntohs(a.sin_port) : -1;
  }

  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!waitExit(std::chrono::seconds(5))) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  // Debian puts ser2net in /usr/sbin, which is not on every PATH.
  static std::string find() {
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
      if (::access(p, X_OK) == 0) return p;
    }
    return {};
  }

  static sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
  }
  static bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }

  bool waitExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string output() const {
    std::ifstream in(dir_ / "ser2net.out", std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
  }

  void start(const std::string& program, const std::string& device, int rate, bool charDelay) {
    const std::string accepter = (mode_ == Mode::Raw ? "tcp,127.0.0.1," : "telnet(rfc2217),tcp,127.0.0.1,") +
                                 std::to_string(port_);
    const auto config = dir_ / "ser2net.yaml";
    std::ofstream(config, std::ios::trunc) << "%YAML 1.1\n---\n"
                                           << "connection: &velkorn\n"
                                           << "    accepter: " << accepter << "\n"
                                           << "    enable: on\n"
                                           << "    options:\n"
                                           // The readiness probe's connection may still be
                                           // closing when the test's own arrives.
                                           << "      kickolduser: true\n"
                                           << "      chardelay: " << (charDelay ? "true" : "false") << "\n"
                                           << "    connector: serialdev," << device << "," << rate << "n81,local\n";
    // -n: foreground; -d: debug output to stdout; -u: no UUCP lock files in system folders;
    // -P: the pid file in the test's folder.
    const std::vector<std::string> argv = {program, "-n", "-d", "-u", "-c", config.string(), "-P",
                                           (dir_ / "ser2net.pid").string()};
    const std::string out = (dir_ / "ser2net.out").string();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
      error_ = "cannot start " + program;
      return;
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (accepts(port_)) {
        error_.clear();
        return;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = "ser2net ended at start: " + output();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    error_ = "ser2net did not listen on 127.0.0.1:" + std::to_string(port_) + " within 10 s: " + output();
  }

  Mode mode_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int port_ = -1;
  std::string error_;
};

}  // namespace velkorn::testing
