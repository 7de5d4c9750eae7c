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

#include "link/telnet.h"

namespace velkorn::sim {

namespace {

constexpr int kListenBacklog = 4;

using namespace link::telnet;
using link::comport::kSetBaudRate;
using link::comport::kSetControl;
constexpr std::uint8_t kServerOffset = link::comport::kServerCommandOffset;
constexpr std::uint8_t kDtrOn = link::comport::kControlDtrOn, kDtrOff = link::comport::kControlDtrOff;
constexpr std::uint8_t kRtsOn = link::comport::kControlRtsOn, kRtsOff = link::comport::kControlRtsOff;

bool served(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

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
  telnet_.reset();
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
  if (!rfc2217_ && !applicationRunning()) return n;
  std::string data;
  if (rfc2217_) {
    telnet_.decode(buffer, static_cast<std::size_t>(n), data);
  } else {
    data.assign(buffer, static_cast<std::size_t>(n));
  }
  // A board without an application of ours ignores what the programmer sends; the
  // bootloader never hears it while the application runs.
  if (applicationRunning() && !hasApplication()) data.clear();
  if (data.empty()) {
    // Only Telnet commands came: not the end of the connection.
    errno = EAGAIN;
    return -1;
  }
  std::copy(data.begin(), data.end(), buffer);
  return static_cast<ssize_t>(data.size());
}

// The server agrees to what a serial server offers and refuses the rest. It asks nothing
// itself, so an answer never starts a loop.
void TcpTarget::command(std::uint8_t verb, std::uint8_t option) {
  const bool yes = served(option);
  if (verb == kWill) reply({static_cast<char>(kIac), static_cast<char>(yes ? kDo : kDont), static_cast<char>(option)});
  if (verb == kDo) reply({static_cast<char>(kIac), static_cast<char>(yes ? kWill : kWont), static_cast<char>(option)});
}

void TcpTarget::subnegotiation(const std::string& sub) {
  if (sub.size() < 2 || static_cast<std::uint8_t>(sub[0]) != kComPortOption) return;
  const auto request = static_cast<std::uint8_t>(sub[1]);
  const std::string value = sub.substr(2);
  if (request == kSetBaudRate && value.size() == 4) {
    int rate = 0;
    for (char c : value) rate = rate << 8 | static_cast<std::uint8_t>(c);
    if (rate > 0) rate_ = rate;
    if (rate > 0 && onRate) onRate(rate);
  }
  if (request == kSetControl && value.size() == 1) {
    const auto control = static_cast<std::uint8_t>(value[0]);
    std::string step;
    if (control == kDtrOn || control == kDtrOff) step = control == kDtrOn ? "dtr=1" : "dtr=0";
    if (control == kRtsOn || control == kRtsOff) step = control == kRtsOn ? "rts=1" : "rts=0";
    if (!step.empty() && onModemLine) onModemLine(step);
    if (control == kRtsOn || control == kRtsOff) rtsHigh_ = control == kRtsOn;
    // DTR low, then high again: the reset ends. The chip starts its bootloader when the boot
    // loader jump bit says so or the entry pin (RTS) is held, else its application; either
    // starts afresh, the bootloader waiting for a "U".
    if (control == kDtrOff) dtrWentLow_ = true;
    if (control == kDtrOn && dtrWentLow_) {
      dtrWentLow_ = false;
      model_.resetSync();
      runApplication(hasApplication() && !model_.bljb() && !rtsHigh_);
    }
  }
  std::string ack = {static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPortOption),
                     static_cast<char>(request + kServerOffset)};
  for (char c : value) {
    ack += c;
    if (static_cast<std::uint8_t>(c) == kIac) ack += c;
  }
  ack += {static_cast<char>(kIac), static_cast<char>(kSe)};
  reply(ack);
}

void TcpTarget::reply(const std::string& bytes) {
  // A handful of bytes on a connection that reads: what the socket does not take is lost,
  // as a real server's answers would be on a peer that stopped reading. A connection that
  // failed is noticed by the next read, which ends it.
  std::size_t done = 0;
  while (client_ >= 0 && done < bytes.size()) {
    const ssize_t n = ::write(client_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string TcpTarget::encodeOutput(std::string_view bytes) {
  if (!rfc2217_) return std::string(bytes);
  std::string out;
  for (char c : bytes) {
    out += c;
    if (static_cast<std::uint8_t>(c) == kIac) out += c;
  }
  return out;
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
