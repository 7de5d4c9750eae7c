#pragma once
// What the machine offers as serial ports, for `velkorn-cli ports` and for naming an adapter
// by its USB serial number: every port under its COM name, its path, the stable
// /dev/serial/by-id name, the USB adapter's identity, and whether it can be opened now.
#include <optional>
#include <string>
#include <vector>

#include "link/port_names.h"

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
};

// Every COM name with a device: the pins of the configuration folder and the machine's
// serial devices in COM order. `probe` opens each one for a moment to say whether it is
// free (opening a port raises DTR, which resets some boards).
std::vector<PortEntry> listPorts(bool probe);
std::vector<PortEntry> listPorts(bool probe, const DeviceRoots& roots);

// The USB adapter behind the device `path` (a COMn pin or a by-id name followed); nothing
// for a port that is no USB adapter.
std::optional<UsbIdentity> usbIdentityOf(const std::string& path);

// "usb:SERIAL": the device of the USB adapter whose serial number is SERIAL; empty with
// `why` set when none or more than one has it.
inline constexpr const char* kUsbPortScheme = "usb:";
std::string usbSerialDevice(const std::string& serial, std::string* why);
std::string usbSerialDevice(const std::string& serial, std::string* why, const DeviceRoots& roots);

}  // namespace velkorn::link
