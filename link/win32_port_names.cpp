// COM n on Windows is the system's own name `\\.\COMn` (the device namespace reaches every
// n, not only 1 to 9).
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "link/com_name.h"
#include "link/port_names.h"

namespace velkorn::link {
namespace fs = std::filesystem;

std::vector<std::string> defaultSerialDevices() { return defaultSerialDevices(DeviceRoots{}); }

// The ports the system lists under HARDWARE\DEVICEMAP\SERIALCOMM, by number.
std::vector<std::string> defaultSerialDevices(const DeviceRoots&) {
  std::vector<int> numbers;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD nameSize = sizeof name;
      char data[64];
      DWORD dataSize = sizeof data - 1;
      DWORD type = 0;
      const LONG rc = ::RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
      data[dataSize] = '\0';
      if (const int n = comNumber(data); n > 0) numbers.push_back(n);
    }
    ::RegCloseKey(key);
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<std::string> out;
  for (const int n : numbers) out.push_back(comDevicePath(n));
  return out;
}

std::string comDevicePath(int n) { return comDevicePath(n, DeviceRoots{}); }

std::string comDevicePath(int n, const DeviceRoots&) {
  if (n < 1) return {};
  return "\\\\.\\COM" + std::to_string(n);
}

std::string resolvePortName(const std::string& name) { return resolvePortName(name, DeviceRoots{}); }

std::string resolvePortName(const std::string& name, const DeviceRoots& roots) {
  if (const int n = comNumber(name); n > 0) return comDevicePath(n, roots);
  return name;
}

}  // namespace velkorn::link
