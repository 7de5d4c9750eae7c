// The ports the system lists (HARDWARE\DEVICEMAP\SERIALCOMM); Windows keeps no by-id names,
// and the adapters' USB identities are not read here.
#include "link/port_list.h"

#include "link/com_name.h"
#include "link/serial_port.h"

namespace velkorn::link {

std::vector<PortEntry> listPorts(bool probe) { return listPorts(probe, DeviceRoots{}); }

std::vector<PortEntry> listPorts(bool probe, const DeviceRoots& roots) {
  std::vector<PortEntry> out;
  for (const std::string& path : defaultSerialDevices(roots)) {
    PortEntry e;
    const std::size_t at = path.rfind("COM");
    e.name = at == std::string::npos ? path : path.substr(at);
    e.path = path;
    if (probe) {
      SerialPort port;
      e.available = port.open(path, &e.reason);
      port.close();
    } else {
      e.available = true;
    }
    e.device = path;
    out.push_back(std::move(e));
  }
  return out;
}

std::optional<UsbIdentity> usbIdentityOf(const std::string&) { return std::nullopt; }

std::string deviceBehind(const std::string& path) { return path; }

// Windows lends a port to one program at a time and shows no holder without opening it.
std::string visibleHolder(const std::string&) { return {}; }

std::string usbSerialDevice(const std::string& serial, std::string* why) {
  return usbSerialDevice(serial, why, DeviceRoots{});
}

std::string usbSerialDevice(const std::string& serial, std::string* why, const DeviceRoots&) {
  if (why) *why = "usb:" + serial + ": USB serial numbers are not looked up on Windows; give the COM port";
  return {};
}

}  // namespace velkorn::link
