#pragma once
// The engine's Link on the in-process simulated bootloader. A read with nothing waiting
// costs the 20 ms read time-out on the fake clock, so silence and time limits run
// without real time passing.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "isp/link.h"
#include "sim/bootloader.h"
#include "fake_clock.h"

namespace velkorn::testing {

class SimLink final : public isp::Link {
 public:
  SimLink(sim::Bootloader& target, FakeClock& clock) : target_(target), clock_(clock) {}

  bool isOpen() const override { return open_; }
  Status writeBytes(std::string_view bytes) override;
  Result<isp::LinkRead> readByte() override;
  Status setBaudRate(int rate) override {
    rates.push_back(rate);
    return {};
  }
  isp::LinkCapabilities capabilities() const override { return {true, false, false}; }
  // Why a write or read fails while the line is closed (setOpen(false)).
  std::string closedReason = "the line is closed";
  std::chrono::milliseconds answerStartLimit() const override { return startLimit; }

  void setOpen(bool open) { open_ = open; }
  // Bytes that arrive on the line as if the chip had sent them (noise, leftovers).
  void inject(const std::string& bytes) { for (unsigned char c : bytes) rx_.push_back({c, clock_.tickMs()}); }
  // Everything the programmer wrote, in order.
  std::string written;
  std::vector<int> rates;  // every SetBaudRate
  int reads = 0;           // ReadLinkByte calls
  // Holds back what the chip sends for one input byte by this many extra milliseconds (a
  // busy machine, an adapter's latency); `out` is what the chip sent.
  std::function<std::uint32_t(const std::string& out)> lateBy;
  std::chrono::milliseconds startLimit{0};  // as a network link says it

 private:
  struct Pending { std::uint8_t byte; std::uint32_t at; };
  sim::Bootloader& target_;
  FakeClock& clock_;
  std::deque<Pending> rx_;
  bool open_ = true;
};

}  // namespace velkorn::testing
