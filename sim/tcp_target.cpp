#include "sim/tcp_target.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velkorn::sim {

namespace {

constexpr int kListenBacklog = 4;

}  // namespace

TcpTarget::~TcpTarget() {
  onConnection = nullptr;
  closeClient();
  if (listener_ >= 0) ::close(listener_);
}

bool TcpTarget::listen(int port, std::string& error) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t len = sizeof a;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, kListenBacklog) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  port_ = ntohs(a.sin_port);
  return true;
}

void TcpTarget::onWatchReadable() {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  // Answers go out as the line carries them, as a serial server's do.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  closeClient();
  client_ = fd;
  newLine();
  if (onConnection) {
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    onConnection(std::string(host) + ":" + std::to_string(ntohs(peer.sin_port)));
  }
}

ssize_t TcpTarget::readLine(char* buffer, std::size_t size) {
  if (hangUpAfter_ > 0 && received_ < static_cast<std::uint64_t>(hangUpAfter_)) {
    size = std::min<std::size_t>(size, static_cast<std::size_t>(hangUpAfter_ - received_));
  }
  const ssize_t n = ::read(client_, buffer, size);
  if (n <= 0) return n;
  received_ += static_cast<std::uint64_t>(n);
  if (received_ == static_cast<std::uint64_t>(hangUpAfter_)) closeClient();
  return n;
}

bool TcpTarget::onLineEnd() {
  closeClient();
  return true;
}

void TcpTarget::closeClient() {
  if (client_ < 0) return;
  ::close(client_);
  client_ = -1;
  newLine();
  if (onConnection) onConnection({});
}

}  // namespace velkorn::sim
