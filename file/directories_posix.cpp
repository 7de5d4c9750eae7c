// Where the programs keep their files (POSIX).
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "file/directories.h"
#include "file/system_error.h"

namespace velkorn::file {
namespace fs = std::filesystem;
namespace {

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

}  // namespace

std::string configDirectory() {
  // A relative XDG_CONFIG_HOME is to be ignored, as the base directory rules say.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    return (fs::path(xdg) / "velkorn").string();
  }
  return (fs::path(homeDirectory()) / ".config" / "velkorn").string();
}

Status ensureConfigDirectory() {
  std::error_code ec;
  const fs::path dir = configDirectory();
  fs::create_directories(dir, ec);
  if (std::error_code ignored; fs::is_directory(dir, ignored)) return {};
  if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
  return systemError(ec.value(), dir.string());
}

std::string programDirectory() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  std::string dir(exe, static_cast<std::size_t>(n));
  dir.erase(dir.find_last_of('/') + 1);
  return dir;
}

}  // namespace velkorn::file
