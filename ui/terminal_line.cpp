#include "ui/terminal_line.h"

#include <utility>

#include "ui/module_socket.h"
#include "ui/network_line.h"

namespace velkorn::ui {

TerminalLine::TerminalLine(link::SerialPort& port, NetworkLine& network, ModuleSocket& module,
                           std::function<bool()> commandRunning)
    : port_(port), network_(network), module_(module), commandRunning_(std::move(commandRunning)) {}

bool TerminalLine::serialOpen() const { return port_.isOpen() || network_.isOpen(); }

void TerminalLine::serialWrite(std::string_view bytes) {
  if (port_.isOpen())
    port_.write(bytes);
  else if (network_.isOpen())
    network_.link()->writeBytes(bytes);
}

link::ReadResult TerminalLine::serialReadByte() {
  if (port_.isOpen()) return port_.readByte();
  if (!network_.isOpen()) return {};
  const isp::LinkRead r = network_.link()->readByte();
  return {r.ok, r.count, r.byte};
}

bool TerminalLine::socketConnected() const { return module_.connected(); }

void TerminalLine::socketWrite(const std::string& text) { module_.write(text); }

std::string TerminalLine::socketRead() { return module_.read(); }

}  // namespace velkorn::ui
