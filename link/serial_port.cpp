#include "link/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace velkorn::link {
namespace {

// The rates a termios driver knows by name. B0 is absent on purpose: it hangs up the line.
std::optional<speed_t> speedFor(int rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B500000
    case 500000: return B500000;
#endif
#ifdef B576000
    case 576000: return B576000;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
#ifdef B1000000
    case 1000000: return B1000000;
#endif
#ifdef B1152000
    case 1152000: return B1152000;
#endif
#ifdef B1500000
    case 1500000: return B1500000;
#endif
#ifdef B2000000
    case 2000000: return B2000000;
#endif
#ifdef B3000000
    case 3000000: return B3000000;
#endif
#ifdef B4000000
    case 4000000: return B4000000;
#endif
    default: return std::nullopt;
  }
}

std::string reasonFor(int err) {
  std::string text = std::strerror(err);
  if (err == EACCES || err == EPERM) text += " (is the user in the group dialout?)";
  return text;
}

void setReason(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

}  // namespace

SerialPort::~SerialPort() { close(); }

bool SerialPort::isOpen() const { return fd_ >= 0; }

bool SerialPort::open(const std::string& path, std::string* error) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    setReason(error, reasonFor(errno));
    return false;
  }
  auto fail = [&](std::string text) {
    ::close(fd);
    setReason(error, std::move(text));
    return false;
  };
  if (!::isatty(fd)) return fail("not a serial device (no terminal)");
  // flock first: a second program asking for the same device sees who holds it, while
  // TIOCEXCL keeps out programs that do not lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) return fail("the port is held by another program");
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
  const speed_t current = ::cfgetospeed(&tio);
  rate_ = 0;
  for (int rate : {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400}) {
    if (speedFor(rate) == current) rate_ = rate;
  }
  return true;
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
}

bool SerialPort::setBaudRate(int rate) {
  if (fd_ < 0) return false;
  const auto speed = speedFor(rate);
  if (!speed) return false;
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) return false;
  // Build the complete new settings first: the port only ever sees a valid record.
  termios next = tio;
  if (::cfsetispeed(&next, *speed) != 0 || ::cfsetospeed(&next, *speed) != 0) return false;
  if (::tcsetattr(fd_, TCSANOW, &next) != 0) {
    ::tcsetattr(fd_, TCSANOW, &tio);
    return false;
  }
  rate_ = rate;
  return true;
}

bool SerialPort::write(std::string_view bytes) {
  if (fd_ < 0) return failed("no port is open");
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
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return failed(std::strerror(errno));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return failed("the write timed out");
    pollfd pfd{fd_, POLLOUT, 0};
    const int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return failed(std::strerror(errno));
    if (r == 0) return failed("the write timed out");
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) return failed("the line hung up");
  }
  return true;
}

ReadResult SerialPort::readByte() {
  if (fd_ < 0) return readFailed("no port is open");
  if (rxPos_ < rxLen_) return {true, 1, rx_[rxPos_++]};
  // With VMIN and VTIME both 0 the driver answers a read at once, 0 bytes when nothing is
  // there; the wait for the byte is the poll below, bounded by the read time-out.
  const auto deadline = std::chrono::steady_clock::now() + kReadByteTimeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd_, POLLIN, 0};
    const int r = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return readFailed(std::strerror(errno));
    if (r == 0) return {true, 0, 0};
    if (pfd.revents & POLLIN) {
      const ssize_t n = ::read(fd_, rx_.data(), rx_.size());
      if (n >= 1) {
        rxLen_ = static_cast<std::size_t>(n);
        rxPos_ = 1;
        return {true, 1, rx_[0]};
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (left.count() <= 0) return {true, 0, 0};
        continue;
      }
      // EIO / ENXIO: the adapter or the other end is gone.
      if (n < 0) return readFailed(std::strerror(errno));
    }
    // Readable but empty together with a hang-up, or an error on the descriptor.
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) return readFailed("the line hung up");
    if (left.count() <= 0) return {true, 0, 0};
  }
}

}  // namespace velkorn::link
