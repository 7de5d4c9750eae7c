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
      const Status opened = port.open(path);
      e.available = opened.ok();
      if (!opened) e.reason = opened.message();
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

Result<std::string> usbSerialDevice(const std::string& serial) { return usbSerialDevice(serial, DeviceRoots{}); }

Result<std::string> usbSerialDevice(const std::string& serial, const DeviceRoots&) {
  return makeError(ErrorCode::Unsupported,
                   "usb:" + serial + ": USB serial numbers are not looked up on Windows; give the COM port");
}

}  // namespace velkorn::link
