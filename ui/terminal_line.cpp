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
  // A failed write shows as the line lost, on the next look at the line.
  if (port_.isOpen())
    (void)port_.write(bytes);
  else if (network_.isOpen())
    (void)network_.link()->writeBytes(bytes);
}

link::ReadResult TerminalLine::serialReadByte() {
  if (port_.isOpen()) return port_.readByte();
  if (!network_.isOpen()) return makeError(ErrorCode::Closed, "no line is open");
  return network_.link()->readByte();
}

bool TerminalLine::socketConnected() const { return module_.connected(); }

void TerminalLine::socketWrite(const std::string& text) { module_.write(text); }

std::string TerminalLine::socketRead() { return module_.read(); }

}  // namespace velkorn::ui
