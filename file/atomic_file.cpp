#include "file/atomic_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "file/atomic_file_system.h"

namespace velkorn::file {

Status writeFileAtomically(const std::string& path, std::string_view text, bool replace, const PlaceCheck& mayPlace) {
  const Result<std::string> temporary = writeTemporaryFile(path, text);
  if (!temporary) return temporary.error();
  Status placed = mayPlace ? mayPlace() : Status();
  if (placed) placed = moveIntoPlace(*temporary, path, replace);
  if (!placed) removeTemporary(*temporary);
  return placed;
}

Status replaceFile(const std::string& path, std::string_view text) { return writeFileAtomically(path, text, true); }

Result<std::string> resolvedTarget(const std::string& path) {
  namespace fs = std::filesystem;
  // A chain of links longer than this is taken for a loop.
  constexpr int kMaxLinkHops = 40;
  fs::path at(std::u8string(path.begin(), path.end()));
  for (int hops = 0;; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(at, ec))) {
      const std::u8string utf8 = at.u8string();
      return std::string(utf8.begin(), utf8.end());
    }
    if (hops == kMaxLinkHops) return makeError(ErrorCode::Invalid, path + ": too many levels of symbolic links");
    const fs::path target = fs::read_symlink(at, ec);
    if (ec) return makeError(ErrorCode::Failed, path + ": " + ec.message());
    at = target.is_absolute() ? target : at.parent_path() / target;
  }
}

bool isBinaryName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".bin";
}

}  // namespace velkorn::file
