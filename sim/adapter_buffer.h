#pragma once
// The receive side of a USB serial adapter between the chip and the programmer. The adapter
// does not pass each byte on as it comes off the line: it holds them until its latency timer,
// started by the first byte held, runs out, or until a USB packet is full, and then passes
// everything it holds on at once. With no latency and no jitter every byte passes at once.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace velkorn::sim {

class AdapterBuffer {
 public:
  using Clock = std::chrono::steady_clock;
  // A 64-byte full-speed USB packet less the two modem status bytes the adapter puts first.
  static constexpr std::size_t kPacketBytes = 62;

  AdapterBuffer() = default;
  // Each hold lasts `latency` plus a random 0..`jitter`, drawn from a generator seeded with
  // `seed`, so that a run can be repeated.
  AdapterBuffer(std::chrono::microseconds latency, std::chrono::microseconds jitter, std::uint32_t seed);

  // A byte that came off the line at `at`; bytes come in the order of their times.
  void put(char byte, Clock::time_point at);
  // Everything the adapter has passed on by `now`, in the order the line carried it.
  std::string take(Clock::time_point now);
  // When the bytes held now are passed on at the latest; nothing when none are held.
  std::optional<Clock::time_point> deadline() const;

 private:
  void passOnHeld() {
    passed_ += held_;
    held_.clear();
  }

  std::chrono::microseconds latency_{0};
  std::chrono::microseconds jitter_{0};
  std::mt19937 random_{1};
  std::string held_;    // in the adapter, waiting for the timer or a full packet
  std::string passed_;  // passed on to the programmer's side, not yet taken
  Clock::time_point deadline_{};
};

}  // namespace velkorn::sim
