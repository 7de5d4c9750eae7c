#pragma once
// The download abort flag: raised by Abort, Cancel, a close or an interrupt, looked at by
// every loop of a chip command and the HEX load, and lowered by each phase before its loop.
#include <atomic>

namespace velkorn::isp {

class StopFlag {
 public:
  void raise() { raised_ = true; }
  void lower() { raised_ = false; }
  bool raised() const { return raised_; }

 private:
  // Atomic, so a signal handler may raise it while a command runs.
  std::atomic<bool> raised_{false};
};

}  // namespace velkorn::isp
