#include "link/port_names.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "file/directories.h"
#include "link/com_name.h"

namespace velkorn::link {
namespace fs = std::filesystem;
namespace {

// "ttyUSB10" after "ttyUSB2": runs of digits compare by value, the rest by character.
bool naturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (da && db) {
      std::size_t ei = i;
      std::size_t ej = j;
      while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
      while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
      std::string na = a.substr(i, ei - i);
      std::string nb = b.substr(j, ej - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

bool hasPrefixAndNumber(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::vector<std::string> defaultSerialDevices() { return defaultSerialDevices(DeviceRoots{}); }

std::vector<std::string> defaultSerialDevices(const DeviceRoots& roots) {
  std::vector<std::string> adapters;
  std::vector<std::string> builtIn;
  std::error_code ec;
  for (fs::directory_iterator it(roots.dev, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (hasPrefixAndNumber(name, "ttyUSB") || hasPrefixAndNumber(name, "ttyACM")) {
      adapters.push_back(name);
    } else if (hasPrefixAndNumber(name, "ttyS")) {
      // Most machines list 32 ttyS nodes; only those with a driver bound have a UART.
      std::error_code dec;
      if (fs::exists(fs::path(roots.sysTty) / name / "device" / "driver", dec)) {
        builtIn.push_back(name);
      }
    }
  }
  std::sort(adapters.begin(), adapters.end(), naturalLess);
  std::sort(builtIn.begin(), builtIn.end(), naturalLess);
  std::vector<std::string> out;
  for (const auto& v : {adapters, builtIn}) {
    for (const auto& name : v) out.push_back((fs::path(roots.dev) / name).string());
  }
  return out;
}

std::string comDevicePath(int n) { return comDevicePath(n, DeviceRoots{}); }

std::string comDevicePath(int n, const DeviceRoots& roots) {
  if (n < 1) return {};
  const fs::path pin = fs::path(file::configDirectory()) / ("COM" + std::to_string(n));
  struct stat st {};
  // lstat: a pin whose target is missing right now still names COM n (the open then says
  // why it fails) instead of silently falling back to another device.
  if (::lstat(pin.c_str(), &st) == 0) return pin.string();
  const auto devices = defaultSerialDevices(roots);
  if (static_cast<std::size_t>(n) > devices.size()) return {};
  return devices[static_cast<std::size_t>(n) - 1];
}

std::string resolvePortName(const std::string& name) {
  return resolvePortName(name, DeviceRoots{});
}

std::string resolvePortName(const std::string& name, const DeviceRoots& roots) {
  if (const int n = comNumber(name); n > 0) return comDevicePath(n, roots);
  return name;
}

std::string deviceAccessHint(const std::string& path) {
  struct stat device {};
  if (::access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES || ::stat(path.c_str(), &device) != 0) return {};
  const group* owner = ::getgrgid(device.st_gid);
  return "; the device belongs to group " + (owner ? std::string(owner->gr_name) : std::to_string(device.st_gid)) +
         ": add yourself to it and log in again";
}

}  // namespace velkorn::link
