#pragma once
// Names are UTF-8 inside the program; the system's wide calls take UTF-16 (Windows only).
#include <windows.h>

#include <string>

namespace velkorn::file {

inline std::wstring wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

}  // namespace velkorn::file
