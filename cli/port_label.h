#pragma once
// A port as messages name it: its name and the device it stands for, "COM1 (/dev/ttyUSB0)",
// so that a person sees which adapter a message is about whatever order they were plugged in.
#include <string>

namespace velkorn::cli {

// "COM1 (/dev/ttyUSB0)", "usb:A1B2 (/dev/ttyUSB1)", a pin to an unplugged adapter with its
// target; a device path or a network port as given (it names itself); a name with no device
// as given.
std::string portLabel(const std::string& name);

}  // namespace velkorn::cli
