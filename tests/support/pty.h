#pragma once
// The far end of a serial line for tests: the master side of a pseudo-terminal. The slave
// is the device the code under test opens; the test talks through the master. Every read
// waits a bounded time, so a silent line costs a test its limit, never a hang.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

namespace velkorn::testing {

class PseudoTerminal {
 public:
  // On failure slave() is empty and every transfer fails; tests assert on isOpen().
  PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return;
    if (::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      if (const char* name = ::ptsname(master_)) slave_ = name;
    }
    if (slave_.empty()) closeMaster();
  }
  ~PseudoTerminal() { closeMaster(); }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool isOpen() const { return master_ >= 0; }
  // The device path the code under test opens.
  const std::string& slave() const { return slave_; }
  int master() const { return master_; }

  // True when every byte went into the line.
  bool send(std::string_view bytes) {
    if (master_ < 0) return false;
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // What arrives at the master within `limit`, stopping early once `want` bytes have come
  // (it may return a little more when they arrive together).
  std::string receive(std::size_t want,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    std::string got;
    if (master_ < 0) return got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // Everything that arrives within `limit`; always waits the whole limit.
  std::string drain(std::chrono::milliseconds limit) {
    return receive(std::numeric_limits<std::size_t>::max(), limit);
  }

  // The line's setting as the device's user left it: both ends of a pseudo-terminal share
  // one. The bit rate in bit/s, or -1 for a rate not in the table.
  int baudRate() const {
    termios t{};
    if (::tcgetattr(master_, &t) != 0) return -1;
    for (const auto& [rate, speed] : kSpeeds)
      if (speed == ::cfgetospeed(&t)) return rate;
    return -1;
  }
  // Sets the bit rate behind the user's back, as another program on the device would.
  bool setBaudRate(int rate) {
    termios t{};
    if (::tcgetattr(master_, &t) != 0) return false;
    for (const auto& [r, speed] : kSpeeds)
      if (r == rate) return ::cfsetspeed(&t, speed) == 0 && ::tcsetattr(master_, TCSANOW, &t) == 0;
    return false;
  }
  // Whether the code under test holds the slave open (the master sees a hang-up otherwise).
  bool slaveInUse() const {
    pollfd p{master_, POLLIN, 0};
    return master_ >= 0 && ::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
  }

  // Closing the master makes the slave side hang up, as a port that was unplugged.
  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  // How long one poll waits, so the deadline is checked often.
  static constexpr int kPollSliceMs = 20;
  static constexpr std::pair<int, speed_t> kSpeeds[] = {
      {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},     {4800, B4800},    {9600, B9600},
      {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};

  int master_ = -1;
  std::string slave_;
};

}  // namespace velkorn::testing
