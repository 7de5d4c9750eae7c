#include "isp/clock.h"

#include <chrono>
#include <thread>

namespace velkorn::isp {

std::uint32_t SystemClock::tickMs() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::sleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace velkorn::isp
