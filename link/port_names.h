#pragma once
// COM n on Linux: a `COMn` symbolic link in the configuration directory pins COM n to any
// tty or pseudo-terminal; otherwise COM n is the n-th of the machine's serial devices
// (USB adapters first by name, then /dev/ttyS* with hardware behind them).
#include <string>
#include <vector>

namespace velkorn::link {

// $XDG_CONFIG_HOME/velkorn, or ~/.config/velkorn (not created here).
std::string configDirectory();
// Creates the configuration directory when missing; returns false if it cannot.
bool ensureConfigDirectory();

// The machine's serial devices in COM order.
std::vector<std::string> defaultSerialDevices();

// The device path for COM n (1..8): the COMn link when present, else the n-th default
// device; empty when there is none.
std::string comDevicePath(int n);

// "COM3" / "com3" -> the device of COM 3; anything else is taken as a device path.
std::string resolvePortName(const std::string& name);

}  // namespace velkorn::link
