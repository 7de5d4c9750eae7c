#pragma once
// What the machine offers as serial ports, for `velkorn-cli ports` and for naming an adapter
// by its USB serial number: every port under its COM name, its path, the stable
// /dev/serial/by-id name, the USB adapter's identity, and whether it can be opened now.
#include <optional>
#include <string>
#include <vector>

#include "link/port_names.h"

#include "base/result.h"

namespace velkorn::link {

struct UsbIdentity {
  std::string vid, pid;  // four hex digits each, as the adapter reports them
  std::string serial;    // empty when the adapter has none
  std::string product;   // the adapter's own name for itself
};

struct PortEntry {
  std::string name;   // "COM3": the name that reaches it
  std::string path;   // the device, or the COMn pin of the configuration folder
  std::string byId;   // its /dev/serial/by-id name; empty when none points to it
  std::optional<UsbIdentity> usb;
  bool available = false;
  std::string reason;  // why it cannot be opened
  std::string device;  // the device the entry stands for: a pin's target, links followed
};

// Every COM name with a device: the pins of the configuration folder and the machine's
// serial devices in COM order. Without `probe` no port is opened: a port counts as free
// unless it is missing or another program's lock on it can be seen (a flock or a UUCP lock
// file). `probe` opens each one for a moment for the stronger answer (opening a port raises
// DTR and RTS, which resets a board wired for a DTR reset).
std::vector<PortEntry> listPorts(bool probe);
std::vector<PortEntry> listPorts(bool probe, const DeviceRoots& roots);

// The USB adapter behind the device `path` (a COMn pin or a by-id name followed); nothing
// for a port that is no USB adapter.
std::optional<UsbIdentity> usbIdentityOf(const std::string& path);

// The device `path` stands for: symbolic links followed (a link that points nowhere: its
// target); `path` itself when it is no link.
std::string deviceBehind(const std::string& path);

// Why another program holds the device at `path`, as far as can be seen without opening it;
// empty when nothing shows.
std::string visibleHolder(const std::string& path);

// "usb:SERIAL": the device of the USB adapter whose serial number is SERIAL; NotFound when
// none has it, Invalid when more than one does (Unsupported on Windows).
inline constexpr const char* kUsbPortScheme = "usb:";
Result<std::string> usbSerialDevice(const std::string& serial);
Result<std::string> usbSerialDevice(const std::string& serial, const DeviceRoots& roots);

}  // namespace velkorn::link
