#pragma once
// Tick count and sleep, behind an interface so that tests can run the 60 s sync limit and
// the bounded waits without real time passing.
#include <cstdint>

namespace velkorn::isp {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t tickMs() = 0;  // milliseconds, wraps like the system tick count
  virtual void sleepMs(int ms) = 0;
};

// The machine's monotonic clock.
class SystemClock final : public Clock {
 public:
  std::uint32_t tickMs() override;
  void sleepMs(int ms) override;
};

}  // namespace velkorn::isp
