#pragma once
// The boards a command runs on: the port lists of --port and $VELKORN_PORT, the check that no
// board is given twice, and the output file of each board for `read`.
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"

namespace velkorn::cli {

// Splits a comma-separated port list. A backslash right before a comma makes that comma
// part of the name ("/dev/serial/by-path/pci-0000:00:14.0-usb-0:1\,2:1.0-port0"); every
// other backslash stays as it is (Windows' \\.\COM10). An empty entry is an error: a stray
// comma must not leave a board out, nor fall back to the default port. Nothing, or why not.
std::optional<std::string> splitPortList(const std::string& text, std::vector<std::string>* ports);

// The boards of `options`: every --port list, else `environment` ($VELKORN_PORT), else COM1.
struct BoardPorts {
  std::vector<std::string> ports;
  std::string error;  // a usage error; empty when the lists were well-formed
};
BoardPorts boardPorts(const Options& options, const char* environment);

// What a port name reaches, so that the same port given twice under two names is seen: a
// device's canonical path, a network address in lower case, usb:SERIAL as it is.
std::string portIdentity(const std::string& name);

// The first board that names a port given before it, as {earlier, later}; nothing when every
// port is another. Linear in the number of ports.
std::optional<std::pair<std::size_t, std::size_t>> repeatedPort(const std::vector<std::string>& ports);

inline constexpr const char* kPortPlaceholder = "{port}";

// The output file of one board: each {port} in `pattern` replaced by the port's name, '/'
// as '_'.
std::string boardFile(const std::string& pattern, const std::string& port);

// The first two boards whose output files are the same, as {earlier, later}; nothing when
// each board writes its own file.
std::optional<std::pair<std::size_t, std::size_t>> sharedBoardFile(const std::string& pattern,
                                                                   const std::vector<std::string>& ports);

}  // namespace velkorn::cli
