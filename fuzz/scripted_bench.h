#pragma once
// The person and the clock for an engine under the fuzzer: every error box is answered OK
// once, then Cancel, so a run always comes to an end; the clock moves only when the line
// waits (see advance()), so bounded waits end without real time passing.
#include <cstdint>
#include <optional>
#include <string>

#include "isp/clock.h"
#include "isp/person.h"

namespace velkorn::fuzz {

class BenchClock final : public isp::Clock {
 public:
  std::uint32_t tickMs() override { return now_; }
  void sleepMs(int ms) override { now_ += static_cast<std::uint32_t>(ms > 0 ? ms : 1); }
  void advance(std::uint32_t ms) { now_ += ms; }

 private:
  std::uint32_t now_ = 1000;
};

class BenchPerson final : public isp::Headless {
 public:
  int errorBoxes = 0;

  // isp::Prompts
  isp::Button showError(const std::string&, bool) override {
    return ++errorBoxes == 1 ? isp::Button::Ok : isp::Button::Cancel;
  }
  bool askYesNo(const std::string&, const std::string&) override { return false; }
  std::optional<std::string> askHexFileName(const std::string&) override { return std::nullopt; }

  // The synchronisation window is cancelled after its first attempt.
  bool syncCancelled() override { return true; }
  isp::BootChoice bootChoice() override { return {}; }
};

}  // namespace velkorn::fuzz
