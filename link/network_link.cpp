#include "link/network_link.h"

#include <algorithm>
#include <utility>

#include "link/rfc2217_link.h"
#include "link/serial_port.h"
#include "link/socket_compat.h"
#include "link/tcp_link.h"

namespace velkorn::link {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One receive takes what the socket holds, up to this much.
constexpr std::size_t kReceiveChunkBytes = 4096;

}  // namespace

NetworkLink::NetworkLink(NetAddress address, int fd, NetworkLimits limits)
    : limits_(limits), address_(std::move(address)), fd_(fd) {}

NetworkLink::~NetworkLink() { close(); }

void NetworkLink::close() {
  if (fd_ >= 0) sock::close(fd_);
  fd_ = -1;
  rx_.clear();
  rxPos_ = 0;
}

Error NetworkLink::lost(std::string reason) {
  gone_ = true;
  lost_ = reason;
  return makeError(ErrorCode::Closed, std::move(reason));
}

void NetworkLink::sendOwed(std::string_view bytes) {
  if (fd_ < 0 || gone_) return;
  owed_.append(bytes.substr(0, kMaxOwedBytes - std::min(kMaxOwedBytes, owed_.size())));
  std::size_t done = 0;
  while (done < owed_.size()) {
    const long n = sock::send(fd_, owed_.data() + done, owed_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && sock::interrupted(sock::lastError())) {
      continue;
    } else {
      break;  // full, or failed: the next send or receive says so
    }
  }
  owed_.erase(0, done);
}

Status NetworkLink::sendRaw(std::string_view record) {
  if (fd_ < 0) return notOpen();
  if (gone_) return makeError(ErrorCode::Closed, lost_.empty() ? "the connection is closed" : lost_);
  // What is owed goes first and whole: a Telnet answer cut by a record would be garbage.
  std::string withOwed;
  std::string_view bytes = record;
  if (!owed_.empty()) {
    withOwed = std::exchange(owed_, {}) + std::string(record);
    bytes = withOwed;
  }
  const auto limit = kWritePerByteTimeout * static_cast<long>(bytes.size()) + kWriteConstantTimeout;
  auto deadline = Clock::now() + limit;
  if (deadline_ && *deadline_ < deadline) deadline = *deadline_;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const long n = sock::send(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int code = n < 0 ? sock::lastError() : 0;
    if (sock::interrupted(code)) continue;
    if (n < 0 && !sock::wouldBlock(code)) {
      return lost("connection to " + address_.hostPort() + " lost: " + sock::errorText(code));
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return writeTimedOut();
    const int r = sock::waitWritable(fd_, static_cast<int>(left.count()));
    if (r < 0 && !sock::interrupted(sock::lastError())) {
      return makeError(ErrorCode::Failed, sock::errorText(sock::lastError()));
    }
    if (r == 0) return writeTimedOut();
  }
  return {};
}

Error NetworkLink::writeTimedOut() const {
  return makeError(ErrorCode::TimedOut, "the write to " + address_.hostPort() + " timed out");
}

Status NetworkLink::writeBytes(std::string_view bytes) { return sendRaw(encode(bytes)); }

Status NetworkLink::setModemLine(ModemLine, bool) {
  return makeError(ErrorCode::Unsupported, "a raw TCP port carries no modem lines (rfc2217:// does)");
}

Status NetworkLink::pump(milliseconds wait) {
  if (fd_ < 0) return notOpen();
  if (gone_) return makeError(ErrorCode::Closed, lost_);
  const int r = sock::waitReadable(fd_, static_cast<int>(std::max<long long>(wait.count(), 0)));
  if (r < 0) {
    const int code = sock::lastError();
    if (sock::interrupted(code)) return {};
    return makeError(ErrorCode::Failed, sock::errorText(code));
  }
  if (r == 0) return {};
  char buffer[kReceiveChunkBytes];
  const long n = sock::recv(fd_, buffer, sizeof buffer);
  const int code = n < 0 ? sock::lastError() : 0;
  // Acknowledge at once: a server that waits for our acknowledgement before it sends the
  // rest of an answer (Nagle) would otherwise wait for the delayed one, some 40 ms an
  // exchange.
  sock::acknowledgeNow(fd_);
  if (n > 0) {
    // Compact once everything decoded before was handed out.
    if (rxPos_ == rx_.size()) {
      rx_.clear();
      rxPos_ = 0;
    }
    decode(std::string_view(buffer, static_cast<std::size_t>(n)), rx_);
    if (rx_.size() - rxPos_ > kMaxUnreadBytes) rx_.resize(rxPos_ + kMaxUnreadBytes);
    if (rxPos_ >= kMaxUnreadBytes) {
      rx_.erase(0, rxPos_);
      rxPos_ = 0;
    }
    return {};
  }
  if (n < 0 && (sock::interrupted(code) || sock::wouldBlock(code))) return {};
  if (n == 0) return lost("the server " + address_.hostPort() + " closed the connection");
  return lost("connection to " + address_.hostPort() + " lost: " + sock::errorText(code));
}

Result<isp::LinkRead> NetworkLink::readByte() {
  const auto deadline = Clock::now() + kReadByteTimeout;
  for (;;) {
    if (rxPos_ < rx_.size()) return isp::LinkRead{1, static_cast<std::uint8_t>(rx_[rxPos_++])};
    if (fd_ < 0) return notOpen();
    if (gone_) return makeError(ErrorCode::Closed, lost_);
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (Status pumped = pump(left); !pumped) return pumped.error();
    // Only protocol bytes came (or nothing): go on waiting while the read time-out lasts.
    if (rxPos_ == rx_.size() && Clock::now() >= deadline) return isp::LinkRead{};
  }
}

Status NetworkLink::reportRate(int rate, Status result, std::string note) {
  lastRate_ = result;
  note_ = std::move(note);
  if (onRate) onRate(rate, result);
  return result;
}

Result<std::unique_ptr<NetworkLink>> openNetworkLink(const std::string& url, const NetworkLimits& limits) {
  const auto address = parseNetAddress(url);
  if (!address) return address.error();
  // The way to the server and the Telnet negotiation share the connect limit.
  const auto deadline = Clock::now() + limits.connect.total;
  auto fd = connectTcp(*address, limits.connect);
  if (!fd) return fd.error();
  if (address->scheme == NetScheme::Tcp) return std::unique_ptr<NetworkLink>(std::make_unique<TcpLink>(*address, *fd, limits));
  auto link = std::make_unique<Rfc2217Link>(*address, *fd, limits);
  link->setDeadline(deadline);
  if (Status agreed = link->negotiate(); !agreed) return agreed.error();
  link->setDeadline(std::nullopt);
  return std::unique_ptr<NetworkLink>(std::move(link));
}

}  // namespace velkorn::link
