#include "cli/port_label.h"

#include "cli/outcome_report.h"
#include "link/net_address.h"
#include "link/port_list.h"
#include "link/port_names.h"

namespace velkorn::cli {

std::string portLabel(const std::string& name) {
  if (link::isNetworkPort(name)) return shortName(name);
  const bool byUsbSerial = name.rfind(link::kUsbPortScheme, 0) == 0;
  const std::string path =
      byUsbSerial ? link::usbSerialDevice(name.substr(4)).valueOr({}) : link::resolvePortName(name);
  if (path.empty()) return shortName(name);
  const std::string device = link::deviceBehind(path);
  if (device == name) return shortName(name);
  return shortName(name) + " (" + shortName(device) + ")";
}

}  // namespace velkorn::cli
