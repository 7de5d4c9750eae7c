#pragma once
// The engine's line on a serial port: one adapter for the window and the command line.
// What a rate change did is handed to the owner, who shows it (the window's status panel
// and "SetCommState failed" notice, the command line's message).
#include <functional>
#include <string>

#include "isp/link.h"
#include "link/serial_port.h"

namespace velkorn::link {

enum class RateResult { Applied, Refused, NoPort };

class SerialLink final : public isp::Link {
 public:
  explicit SerialLink(SerialPort& port) : port_(port) {}

  bool isOpen() const override { return port_.isOpen(); }
  bool writeBytes(std::string_view bytes) override;
  isp::LinkRead readByte() override;
  // A refused rate keeps the port's previous settings; either way onRate hears of it.
  void setBaudRate(int rate) override;
  void expectBytes(std::size_t count) override { port_.expectBytes(count); }
  std::string lastError() const override { return port_.lastError(); }

  std::function<void(int rate, RateResult result)> onRate;

 private:
  SerialPort& port_;
};

}  // namespace velkorn::link
