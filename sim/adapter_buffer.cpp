#include "sim/adapter_buffer.h"

namespace velkorn::sim {

AdapterBuffer::AdapterBuffer(std::chrono::microseconds latency, std::chrono::microseconds jitter,
                             std::uint32_t seed)
    : latency_(latency), jitter_(jitter), random_(seed) {}

void AdapterBuffer::put(char byte, Clock::time_point at) {
  // The timer of the bytes already held may have run out before this byte came.
  if (!held_.empty() && at >= deadline_) passOnHeld();
  if (held_.empty()) {
    auto hold = latency_;
    if (jitter_.count() > 0) {
      std::uniform_int_distribution<std::int64_t> extra(0, jitter_.count());
      hold += std::chrono::microseconds(extra(random_));
    }
    deadline_ = at + hold;
  }
  held_ += byte;
  if (held_.size() >= kPacketBytes || deadline_ <= at) passOnHeld();
}

std::string AdapterBuffer::take(Clock::time_point now) {
  if (!held_.empty() && now >= deadline_) passOnHeld();
  std::string out;
  out.swap(passed_);
  return out;
}

std::optional<AdapterBuffer::Clock::time_point> AdapterBuffer::deadline() const {
  if (held_.empty()) return std::nullopt;
  return deadline_;
}

}  // namespace velkorn::sim
