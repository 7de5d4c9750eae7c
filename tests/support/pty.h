#pragma once
// The far end of a serial line for tests: the master side of a pseudo-terminal. The slave
// is the device the code under test opens; the test talks through the master. Every read
// waits a bounded time, so a silent line costs a test its limit, never a hang.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

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

  // Closing the master makes the slave side hang up, as a port that was unplugged.
  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  // How long one poll waits, so the deadline is checked often.
  static constexpr int kPollSliceMs = 20;

  int master_ = -1;
  std::string slave_;
};

}  // namespace velkorn::testing
