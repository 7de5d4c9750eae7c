#include "file/small_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "file/system_error.h"

namespace velkorn::file {
namespace {

namespace fs = std::filesystem;

// Names are UTF-8 inside the program, on Windows too.
fs::path pathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string joined(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  const char last = directory.back();
  return last == '/' || last == '\\' ? directory + name : directory + "/" + name;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

bool isRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(pathOf(path), ec);
}

std::string findFileAnyCase(const std::string& directory, const std::string& name) {
  const std::string exact = joined(directory, name);
  if (isRegularFile(exact)) return exact;
  const std::string wanted = lowered(name);
  std::error_code ec;
  for (fs::directory_iterator it(pathOf(directory.empty() ? "." : directory), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::u8string entry = it->path().filename().u8string();
    const std::string entryName(entry.begin(), entry.end());
    if (lowered(entryName) != wanted) continue;
    const std::string candidate = joined(directory, entryName);
    if (isRegularFile(candidate)) return candidate;
  }
  return {};
}

Result<std::string> readFileStart(const std::string& path, std::size_t limit) {
  errno = 0;
  std::ifstream in(pathOf(path), std::ios::binary);
  if (!in) return systemError(errno != 0 ? errno : ENOENT, path);
  std::string content(limit, '\0');
  in.read(content.data(), static_cast<std::streamsize>(limit));
  if (in.bad()) return systemError(errno != 0 ? errno : EIO, path);
  content.resize(static_cast<std::size_t>(in.gcount()));
  return content;
}

}  // namespace velkorn::file
