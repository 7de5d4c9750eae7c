// Where the programs keep their files (Windows).
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "file/directories.h"

namespace velkorn::file {
namespace fs = std::filesystem;

std::string configDirectory() {
  if (const char* appData = std::getenv("APPDATA"); appData && *appData) {
    return (fs::path(appData) / "velkorn").string();
  }
  if (const char* profile = std::getenv("USERPROFILE"); profile && *profile) {
    return (fs::path(profile) / "AppData" / "Roaming" / "velkorn").string();
  }
  return {};
}

Status ensureConfigDirectory() {
  const std::string dir = configDirectory();
  if (dir.empty()) return makeError(ErrorCode::NotFound, "neither APPDATA nor USERPROFILE is set");
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (std::error_code ignored; fs::is_directory(dir, ignored)) return {};
  return makeError(ErrorCode::Failed, dir + ": " + (ec ? ec.message() : std::string("not a folder")));
}

std::string programDirectory() {
  wchar_t exe[MAX_PATH + 1];
  const DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  const std::u8string utf8 = fs::path(std::wstring(exe, n)).parent_path().u8string();
  return std::string(utf8.begin(), utf8.end()) + "\\";
}

}  // namespace velkorn::file
