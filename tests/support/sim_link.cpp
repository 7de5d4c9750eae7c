#include "sim_link.h"

namespace velkorn::testing {

namespace {
constexpr std::uint32_t kReadTimeoutMs = 20;  // one-byte read time-out of the serial line
}

Status SimLink::writeBytes(std::string_view bytes) {
  if (!open_) return makeError(ErrorCode::Closed, closedReason);
  written.append(bytes);
  for (unsigned char c : bytes) {
    std::string out;
    int delayMs = 0;
    target_.receive(c, out, &delayMs);
    // Answers never overtake what the chip sent before them.
    std::uint32_t at = clock_.tickMs() + static_cast<std::uint32_t>(delayMs) + (lateBy ? lateBy(out) : 0);
    if (!rx_.empty() && rx_.back().at > at) at = rx_.back().at;
    for (unsigned char o : out) rx_.push_back({o, at});
  }
  return {};
}

Result<isp::LinkRead> SimLink::readByte() {
  ++reads;
  if (!open_) return makeError(ErrorCode::Closed, closedReason);
  const std::uint32_t now = clock_.tickMs();
  if (!rx_.empty() && static_cast<std::int32_t>(rx_.front().at - now) <= 0) {
    const std::uint8_t b = rx_.front().byte;
    rx_.pop_front();
    return isp::LinkRead{1, b};
  }
  // Nothing within the time-out: the read gives up after 20 ms, or earlier data arrives.
  if (!rx_.empty() && rx_.front().at - now < kReadTimeoutMs) {
    clock_.advance(rx_.front().at - now);
    const std::uint8_t b = rx_.front().byte;
    rx_.pop_front();
    return isp::LinkRead{1, b};
  }
  clock_.advance(kReadTimeoutMs);
  return isp::LinkRead{};
}

}  // namespace velkorn::testing
