#include "file/atomic_file.h"

#include <algorithm>
#include <cctype>

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

bool isBinaryName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".bin";
}

}  // namespace velkorn::file
