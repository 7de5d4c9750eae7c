#pragma once
// The engine's line on a serial port: one adapter for the window and the command line.
// What a rate change did is handed to the owner, who shows it (the window's status panel
// and "SetCommState failed" notice, the command line's message).
#include <functional>

#include "isp/link.h"
#include "link/serial_port.h"

namespace velkorn::link {

// What a rate change did, for the owner who shows it: done, or Closed (no line took it),
// Unsupported (the line runs at a rate that is not ours to set), or a refusal (Failed, or
// Invalid for no rate at all) with the line's reason.
using RateHandler = std::function<void(int rate, const Status& result)>;
// A rate change the line refused (the window's "SetCommState failed"): not one that found
// no line, nor one that cannot reach a rate not ours to set.
inline bool rateRefused(const Status& result) {
  return !result && result.code() != ErrorCode::Closed && result.code() != ErrorCode::Unsupported;
}

class SerialLink final : public isp::Link {
 public:
  explicit SerialLink(SerialPort& port) : port_(port) {}

  bool isOpen() const override { return port_.isOpen(); }
  Status writeBytes(std::string_view bytes) override { return port_.write(bytes); }
  Result<isp::LinkRead> readByte() override { return port_.readByte(); }
  // A refused rate keeps the port's previous settings; either way onRate hears of it.
  Status setBaudRate(int rate) override;
  isp::LinkCapabilities capabilities() const override { return {true, true, true}; }
  void expectBytes(std::size_t count) override { port_.expectBytes(count); }

  RateHandler onRate;

 private:
  SerialPort& port_;
};

}  // namespace velkorn::link
