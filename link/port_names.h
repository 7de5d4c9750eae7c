#pragma once
// COM n on Linux: a `COMn` symbolic link in the configuration directory (file/directories.h)
// pins COM n to any tty or pseudo-terminal; otherwise COM n is the n-th of the machine's serial devices
// (USB adapters first by name, then /dev/ttyS* with hardware behind them).
// On Windows (win32_port_names.cpp) COM n is `\\.\COMn`, the devices are the ports the
// system lists and the roots are not used.
#include <string>
#include <vector>

namespace velkorn::link {

// Where the machine's devices are looked for; tests point these at fake trees.
struct DeviceRoots {
  std::string dev = "/dev";             // device nodes ttyUSB*, ttyACM*, ttyS*
  std::string sysTty = "/sys/class/tty";  // ttySN/device/driver marks hardware behind ttySN
};

// The machine's serial devices in COM order.
std::vector<std::string> defaultSerialDevices();
std::vector<std::string> defaultSerialDevices(const DeviceRoots& roots);

// The device path for COM n (1..8): the COMn link when present, else the n-th default
// device; empty when there is none.
// The link's own path is returned (opening follows it), so a pin to a device that comes and
// goes keeps its COM number.
std::string comDevicePath(int n);
std::string comDevicePath(int n, const DeviceRoots& roots);

// Why the operator may not open `path` when the usual reason on a fresh system applies:
// "; the device belongs to group G: add yourself to it and log in again" while the device
// denies this user access; empty otherwise.
std::string deviceAccessHint(const std::string& path);

// "COM3" / "com3" -> the device of COM 3; anything else is taken as a device path.
// Empty when COM n has no device.
std::string resolvePortName(const std::string& name);
std::string resolvePortName(const std::string& name, const DeviceRoots& roots);

}  // namespace velkorn::link
