#include "ui/terminal_line.h"

#include <utility>

#include "ui/module_socket.h"

namespace velkorn::ui {

TerminalLine::TerminalLine(link::SerialPort& port, ModuleSocket& module, std::function<bool()> commandRunning)
    : port_(port), module_(module), commandRunning_(std::move(commandRunning)) {}

bool TerminalLine::socketConnected() const { return module_.connected(); }

void TerminalLine::socketWrite(const std::string& text) { module_.write(text); }

std::string TerminalLine::socketRead() { return module_.read(); }

}  // namespace velkorn::ui
