#include "file/atomic_file.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace velkorn::file {

Placed writeFileAtomically(const std::string& path, const std::string& text, bool replace, std::string* why,
                           const std::function<bool(std::string*)>& mayPlace) {
  const std::optional<std::string> temp = writeTemporaryFile(path, text, why);
  if (!temp) return Placed::Failed;
  Placed placed = Placed::Failed;
  if (!mayPlace || mayPlace(why)) placed = moveIntoPlace(*temp, path, replace, why);
  if (placed != Placed::Done) {
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(std::u8string(temp->begin(), temp->end())), ec);
  }
  return placed;
}

std::optional<std::string> replaceFile(const std::string& path, const std::string& text) {
  std::string why;
  switch (writeFileAtomically(path, text, true, &why)) {
    case Placed::Done: return std::nullopt;
    case Placed::Failed: return why;
    default: return std::string("not a regular file, which is left as it is");
  }
}

bool isBinaryName(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".bin";
}

}  // namespace velkorn::file
