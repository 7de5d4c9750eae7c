#include "link/port_list.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <map>
#include <sstream>
#include <system_error>

#include "file/directories.h"
#include "link/com_name.h"
#include "link/serial_port.h"

namespace velkorn::link {
namespace fs = std::filesystem;
namespace {

// The first line of a sysfs attribute; empty when missing.
std::string attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

fs::path canonicalOr(const fs::path& p) {
  std::error_code ec;
  fs::path c = fs::canonical(p, ec);
  return ec ? p : c;
}

// The USB device behind a tty: its sysfs "device" is the interface (ttyACM) or a port below
// the interface (ttyUSB); the USB device with idVendor is a level or two up.
std::optional<UsbIdentity> usbIdentity(const std::string& ttyName, const DeviceRoots& roots) {
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(roots.sysTty) / ttyName / "device", ec);
  if (ec) return std::nullopt;
  for (int up = 0; up < 4 && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path()) {
    if (fs::exists(dir / "idVendor", ec)) {
      return UsbIdentity{attribute(dir / "idVendor"), attribute(dir / "idProduct"), attribute(dir / "serial"),
                         attribute(dir / "product")};
    }
  }
  return std::nullopt;
}

// by-id names by the device they point to.
std::map<fs::path, std::string> byIdNames(const DeviceRoots& roots) {
  std::map<fs::path, std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(roots.dev) / "serial" / "by-id", ec), end; !ec && it != end;
       it.increment(ec)) {
    names.emplace(canonicalOr(it->path()), it->path().string());
  }
  return names;
}

// The COMn pins of the configuration folder, by n.
std::map<int, std::string> pins() {
  std::map<int, std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(file::configDirectory(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (const int n = comNumber(name); n > 0 && name.compare(0, 3, "COM") == 0) out.emplace(n, it->path().string());
  }
  return out;
}

// "MAJOR:MINOR:INODE" as /proc/locks names a locked file (major and minor in hex).
std::string lockKey(const struct stat& st) {
  char key[64];
  std::snprintf(key, sizeof key, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return key;
}

bool processLives(long pid) { return pid > 0 && fs::exists(fs::path("/proc") / std::to_string(pid)); }

PortEntry describe(std::string name, const std::string& path, const std::map<fs::path, std::string>& byId,
                   bool probe, const DeviceRoots& roots) {
  PortEntry e;
  e.name = std::move(name);
  e.path = path;
  const fs::path device = canonicalOr(path);
  if (const auto it = byId.find(device); it != byId.end()) e.byId = it->second;
  e.usb = usbIdentity(device.filename().string(), roots);
  if (probe) {
    SerialPort port;
    const Status opened = port.open(path);
    e.available = opened.ok();
    if (!opened) e.reason = opened.message();
    port.close();
  } else {
    std::error_code ec;
    e.available = fs::exists(path, ec);
    if (!e.available) {
      e.reason = "no such device";
    } else if (std::string holder = visibleHolder(path); !holder.empty()) {
      e.available = false;
      e.reason = std::move(holder);
    }
  }
  e.device = deviceBehind(path);
  return e;
}

}  // namespace

std::vector<PortEntry> listPorts(bool probe) { return listPorts(probe, DeviceRoots{}); }

std::vector<PortEntry> listPorts(bool probe, const DeviceRoots& roots) {
  const std::vector<std::string> devices = defaultSerialDevices(roots);
  const std::map<int, std::string> pinned = pins();
  const std::map<fs::path, std::string> byId = byIdNames(roots);
  std::vector<PortEntry> out;
  int last = static_cast<int>(devices.size());
  if (!pinned.empty()) last = std::max(last, pinned.rbegin()->first);
  for (int n = 1; n <= last; ++n) {
    const std::string path = comDevicePath(n, roots);
    if (!path.empty()) out.push_back(describe("COM" + std::to_string(n), path, byId, probe, roots));
  }
  // A device whose COM slot a pin took over is still a port of the machine.
  for (const std::string& device : devices) {
    const bool named = std::any_of(out.begin(), out.end(), [&](const PortEntry& e) {
      return canonicalOr(e.path) == canonicalOr(device);
    });
    if (!named) out.push_back(describe("", device, byId, probe, roots));
  }
  return out;
}

std::string deviceBehind(const std::string& path) {
  std::error_code ec;
  const fs::path device = fs::canonical(path, ec);
  if (!ec) return device.string();
  // A pin to an adapter that is unplugged: where it points is what the person looks for.
  const fs::path target = fs::read_symlink(path, ec);
  if (ec) return path;
  return target.is_absolute() ? target.string() : (fs::path(path).parent_path() / target).lexically_normal().string();
}

std::string visibleHolder(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  // A flock (this program's own, and others') shows in /proc/locks by device and inode.
  const std::string key = lockKey(st);
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, file;
    long pid = 0;
    if (!(fields >> number >> kind)) continue;
    if (kind == "->") fields >> kind;  // a waiter, listed under the holder
    if (fields >> mode >> access >> pid >> file && file == key) return "the port is held by another program";
  }
  // Terminal programs (minicom, picocom, screen) leave a UUCP lock file with their process number.
  const std::string base = fs::path(canonicalOr(path)).filename().string();
  for (const char* folder : {"/run/lock", "/var/lock"}) {
    std::ifstream lock(fs::path(folder) / ("LCK.." + base));
    long pid = 0;
    if (lock >> pid && processLives(pid)) {
      return "the port is held by process " + std::to_string(pid) + " (a lock file)";
    }
  }
  return {};
}

std::optional<UsbIdentity> usbIdentityOf(const std::string& path) {
  if (path.empty()) return std::nullopt;
  return usbIdentity(canonicalOr(path).filename().string(), DeviceRoots{});
}

Result<std::string> usbSerialDevice(const std::string& serial) { return usbSerialDevice(serial, DeviceRoots{}); }

Result<std::string> usbSerialDevice(const std::string& serial, const DeviceRoots& roots) {
  std::vector<std::string> found;
  for (const std::string& device : defaultSerialDevices(roots)) {
    const auto usb = usbIdentity(fs::path(device).filename().string(), roots);
    if (usb && !serial.empty() && usb->serial == serial) found.push_back(device);
  }
  if (found.size() == 1) return found.front();
  if (found.empty()) return makeError(ErrorCode::NotFound, "no USB serial adapter has the serial number " + serial);
  return makeError(ErrorCode::Invalid,
                   std::to_string(found.size()) + " USB serial adapters have the serial number " + serial);
}

}  // namespace velkorn::link
