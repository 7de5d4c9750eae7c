#include "link/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file/system_error.h"
#include "link/serial_rate.h"

namespace velkorn::link {
namespace {

// How far the rate a driver reports may be from the one asked for: a UART's divisor rarely
// hits a rate exactly, and the two ends of a line together tolerate some 4 %. A driver
// that took another rate altogether (some fall back to 9600) has refused the one asked.
constexpr int kRateTolerancePercent = 3;
constexpr long long kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr std::size_t kGatherMargin = 4;  // expected bytes left to come one by one

Error reasonFor(int err) {
  std::string text = std::strerror(err);
  if (err == EACCES || err == EPERM) text += " (is the user in the group dialout?)";
  return makeError(file::errorCodeOf(err), std::move(text));
}

Error systemError(int err) { return makeError(ErrorCode::Failed, std::strerror(err)); }
Error notOpen() { return makeError(ErrorCode::Closed, "no port is open"); }
Error hangUp() { return makeError(ErrorCode::Closed, "the line hung up"); }
Error writeTimedOut() { return makeError(ErrorCode::TimedOut, "the write timed out"); }

}  // namespace

SerialPort::~SerialPort() { close(); }

Status SerialPort::setModemLine(ModemLine line, bool high) {
  if (fd_ < 0) return makeError(ErrorCode::Closed, "the port is not open");
  int bits = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
  if (::ioctl(fd_, high ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
    const int err = errno;
    // A pseudo-terminal has no modem lines: ENOTTY or EINVAL.
    return makeError(err == ENOTTY || err == EINVAL ? ErrorCode::Unsupported : ErrorCode::Failed, std::strerror(err));
  }
  return {};
}

bool SerialPort::isOpen() const { return fd_ >= 0; }

Status SerialPort::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return reasonFor(errno);
  auto fail = [&](Error error) -> Status {
    ::close(fd);
    return error;
  };
  if (!::isatty(fd)) return fail(makeError(ErrorCode::Invalid, "not a serial device (no terminal)"));
  // flock first: a second program asking for the same device sees who holds it, while
  // TIOCEXCL keeps out programs that do not lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) return fail(makeError(ErrorCode::Busy, "the port is held by another program"));
    return fail(reasonFor(err));
  }
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(reasonFor(errno));

  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return fail(reasonFor(errno));
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD | CS8;
  tio.c_cflag &= ~(PARENB | CSTOPB | CRTSCTS);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  // Reads never wait in the driver: every wait is a poll with its own limit.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail(reasonFor(errno));

  // A pseudo-terminal has no modem lines and refuses this; a real adapter raises DTR and RTS.
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)::ioctl(fd, TIOCMBIS, &lines);

  fd_ = fd;
  path_ = path;
  askForLowLatency();
  rate_ = lineRate(fd);
  return {};
}

void SerialPort::askForLowLatency() {
  auto notAvailable = [this](const std::string& reason) {
    lowLatency_ = LowLatency::NotAvailable;
    lowLatencyNote_ = "low latency not available: " + reason;
  };
  serial_struct info{};
  if (::ioctl(fd_, TIOCGSERIAL, &info) != 0) return notAvailable(std::strerror(errno));
  if (info.flags & ASYNC_LOW_LATENCY) {
    lowLatency_ = LowLatency::AlreadyOn;
    lowLatencyNote_ = "low latency already on";
    return;
  }
  info.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd_, TIOCSSERIAL, &info) != 0) return notAvailable(std::strerror(errno));
  // Some drivers accept the request and keep their own timing: believe what reads back.
  serial_struct check{};
  if (::ioctl(fd_, TIOCGSERIAL, &check) != 0 || !(check.flags & ASYNC_LOW_LATENCY)) {
    return notAvailable("the driver ignores the request");
  }
  lowLatency_ = LowLatency::On;
  lowLatencyNote_ = "low latency on";
}

void SerialPort::close() {
  if (fd_ >= 0) {
    // The latency setting outlives the open: leave the driver as the port was found. A
    // vanished adapter refuses this, which does not matter any more.
    serial_struct info{};
    if (lowLatency_ == LowLatency::On && ::ioctl(fd_, TIOCGSERIAL, &info) == 0) {
      info.flags &= ~ASYNC_LOW_LATENCY;
      (void)::ioctl(fd_, TIOCSSERIAL, &info);
    }
    ::flock(fd_, LOCK_UN);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }
  fd_ = -1;
  rate_ = 0;
  path_.clear();
  lowLatency_ = LowLatency::NotAsked;
  lowLatencyNote_.clear();
  rxPos_ = rxLen_ = 0;
  expected_ = 0;
  gatherUntil_ = {};
}

Status SerialPort::setBaudRate(int rate) {
  if (fd_ < 0) return notOpen();
  if (rate <= 0) return makeError(ErrorCode::Invalid, "no bit rate " + std::to_string(rate));
  const int before = lineRate(fd_);
  if (const int err = setLineRate(fd_, rate); err != 0) {
    return makeError(ErrorCode::Failed, "the driver refuses " + std::to_string(rate) + " bit/s: " + std::strerror(err));
  }
  const int applied = lineRate(fd_);
  if (std::abs(static_cast<long long>(applied) - rate) * 100 > static_cast<long long>(rate) * kRateTolerancePercent) {
    if (before > 0) (void)setLineRate(fd_, before);
    return makeError(ErrorCode::Failed,
                     "the driver set " + std::to_string(applied) + " bit/s instead of " + std::to_string(rate));
  }
  rate_ = rate;
  return {};
}

Status SerialPort::write(std::string_view bytes) {
  if (fd_ < 0) return notOpen();
  // What comes back is announced anew (expectBytes) after each write.
  expected_ = 0;
  gatherUntil_ = {};
  const auto limit = kWritePerByteTimeout * static_cast<long>(bytes.size()) + kWriteConstantTimeout;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return systemError(errno);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return writeTimedOut();
    pollfd pfd{fd_, POLLOUT, 0};
    const int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return systemError(errno);
    if (r == 0) return writeTimedOut();
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) return hangUp();
  }
  return {};
}

void SerialPort::expectBytes(std::size_t count) {
  expected_ = count;
  planGather(std::chrono::steady_clock::now());
}

void SerialPort::planGather(std::chrono::steady_clock::time_point from) {
  // Bytes come no faster than the line carries them: those not here yet at `from` cannot
  // all be here before their line time has passed.
  const std::size_t buffered = rxLen_ - rxPos_;
  const std::size_t coming = expected_ > buffered ? expected_ - buffered : 0;
  gatherUntil_ = {};
  // The last few are taken as they come: the sleep may overrun, and the byte after them
  // may end the answer.
  const std::size_t run = std::min(coming, kGatherBytes);
  if (run <= kGatherMargin + 1 || rate_ <= 0) return;
  const long long ns = 1000000000LL * kBitsPerByte * static_cast<long long>(run - kGatherMargin) / rate_;
  gatherUntil_ = from + std::chrono::nanoseconds(ns);
}

Status SerialPort::checkLine() {
  if (fd_ < 0) return {};
  pollfd pfd{fd_, 0, 0};
  if (::poll(&pfd, 1, 0) <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return {};
  return hangUp();
}

ReadResult SerialPort::readByte() {
  if (fd_ < 0) return notOpen();
  auto handOut = [this](std::uint8_t byte) -> ReadResult {
    if (expected_ > 0) --expected_;
    return isp::LinkRead{1, byte};
  };
  if (rxPos_ < rxLen_) return handOut(rx_[rxPos_++]);
  const auto now = std::chrono::steady_clock::now();
  const auto deadline = now + kReadByteTimeout;
  // Rather than wake up for each byte of an echo or a read answer (a poll and a read every
  // 87 us at 115200 bit/s), sleep until a run of them can have come. Half the read time-out
  // at most, so a byte that never comes still costs no more than the time-out.
  if (now < gatherUntil_) {
    const auto pause = std::min<std::chrono::steady_clock::duration>(gatherUntil_ - now, kReadByteTimeout / 2);
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(pause).count();
    timespec left{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {}
  }
  // With VMIN and VTIME both 0 the driver answers a read at once, 0 bytes when nothing is
  // there; the wait for the byte is the poll below, bounded by the read time-out.
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd_, POLLIN, 0};
    const int r = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return systemError(errno);
    if (r == 0) {
      // A read time-out breaks the run: what comes after it is not waited for.
      expected_ = 0;
      gatherUntil_ = {};
      return isp::LinkRead{};
    }
    if (pfd.revents & POLLIN) {
      const ssize_t n = ::read(fd_, rx_.data(), rx_.size());
      if (n >= 1) {
        rxLen_ = static_cast<std::size_t>(n);
        rxPos_ = 0;
        planGather(std::chrono::steady_clock::now());
        return handOut(rx_[rxPos_++]);
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (left.count() <= 0) return isp::LinkRead{};
        continue;
      }
      // EIO / ENXIO: the adapter or the other end is gone.
      if (n < 0) return makeError(ErrorCode::Closed, std::strerror(errno));
    }
    // Readable but empty together with a hang-up, or an error on the descriptor.
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) return hangUp();
    if (left.count() <= 0) return isp::LinkRead{};
  }
}

}  // namespace velkorn::link
