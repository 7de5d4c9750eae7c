#pragma once
// The line the terminal talks on: the open serial port, else the link to a network serial
// server (which it uses as it uses a serial port), else the connected socket to the module.
// While a chip command or a HEX load owns the line the terminal keeps off it.
#include <functional>
#include <string>
#include <string_view>

#include "link/serial_port.h"
#include "ui/terminal.h"

namespace velkorn::ui {

class ModuleSocket;
class NetworkLine;

class TerminalLine final : public TerminalLink {
 public:
  TerminalLine(link::SerialPort& port, NetworkLine& network, ModuleSocket& module,
               std::function<bool()> commandRunning);

  bool serialOpen() const override;
  void serialWrite(std::string_view bytes) override;
  link::ReadResult serialReadByte() override;
  bool socketConnected() const override;
  void socketWrite(const std::string& text) override;
  std::string socketRead() override;
  bool linkBusy() const override { return commandRunning_(); }

 private:
  link::SerialPort& port_;
  NetworkLine& network_;
  ModuleSocket& module_;
  std::function<bool()> commandRunning_;
};

}  // namespace velkorn::ui
