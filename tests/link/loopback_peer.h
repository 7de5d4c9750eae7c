#pragma once
// A one-connection server on 127.0.0.1 for the network link tests: it listens on a free
// port, accepts one client and runs the test's script against it on a thread of its own.
// Every wait is bounded, so a client that never comes or never sends costs the script its
// limit, never a hang.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace velkorn::testing {

class LoopbackPeer {
 public:
  using Script = std::function<void(LoopbackPeer&)>;

  explicit LoopbackPeer(Script script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return;
      client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client_ >= 0 && script) script(*this);
      // The script's end closes the connection, as a server that is done.
      closeClient();
    });
  }
  ~LoopbackPeer() {
    join();
    closeClient();
    if (listener_ >= 0) ::close(listener_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int port() const { return port_; }
  std::string url(const std::string& scheme) const { return scheme + "://127.0.0.1:" + std::to_string(port_); }
  // Waits for the script to end; what it received is complete then.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  // ---- for the script
  bool send(std::string_view bytes) {
    return client_ >= 0 && ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(bytes.size());
  }
  // Sends `bytes` again and again for `limit`, as fast as the client takes them, without
  // ever blocking; stops when the client is gone. Returns how many bytes went out.
  std::size_t flood(std::string_view bytes, std::chrono::milliseconds limit) {
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (client_ >= 0 && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd p{client_, POLLOUT, 0};
        ::poll(&p, 1, 10);
      } else {
        break;
      }
    }
    return sent;
  }
  // What the client sends within `limit`, stopping once `want` bytes came. Everything the
  // script received is also kept in `received`.
  std::string receive(std::size_t want, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (client_ >= 0 && got.size() < want) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{client_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) != 1) continue;
      char buffer[1024];
      const ssize_t n = ::recv(client_, buffer, std::min(sizeof buffer, want - got.size()), 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    received += got;
    return got;
  }
  void closeClient() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }

  std::string received;

 private:
  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace velkorn::testing
