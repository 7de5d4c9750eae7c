#pragma once
// The engine's line on the command line's own serial port.
#include <string>

#include "isp/link.h"
#include "isp/operator.h"
#include "link/serial_port.h"

namespace velkorn::cli {

class SerialLink final : public isp::Link {
 public:
  SerialLink(link::SerialPort& port, isp::Operator& op) : port_(port), op_(op) {}

  bool isOpen() const override { return port_.isOpen(); }
  bool writeBytes(std::string_view bytes) override;
  isp::LinkRead readByte() override;
  // A refused rate keeps the port's previous settings and says "SetCommState failed".
  void setBaudRate(int rate) override;

  // The last string written: the retry counter tells a resent record from a new one by it.
  const std::string& lastWritten() const { return lastWritten_; }
  // Writes that failed since the last reset (a vanished adapter fails every write).
  int failedWrites() const { return failedWrites_; }

 private:
  link::SerialPort& port_;
  isp::Operator& op_;
  std::string lastWritten_;
  int failedWrites_ = 0;
};

}  // namespace velkorn::cli
