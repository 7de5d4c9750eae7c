#pragma once
// A clock that moves only when someone sleeps or a simulated read times out.
#include <cstdint>

#include "isp/clock.h"

namespace velkorn::testing {

class FakeClock final : public isp::Clock {
 public:
  std::uint32_t tickMs() override { return now_; }
  void sleepMs(int ms) override { if (ms > 0) now_ += static_cast<std::uint32_t>(ms); }
  void advance(std::uint32_t ms) { now_ += ms; }
  void set(std::uint32_t ms) { now_ = ms; }

 private:
  std::uint32_t now_ = 1000000;
};

}  // namespace velkorn::testing
