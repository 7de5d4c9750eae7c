#include "cli/image_diff.h"

#include <algorithm>
#include <cstdio>

namespace velkorn::cli {
namespace {

constexpr int kShownBytes = 8;  // bytes of each side printed per range

std::string side(const Image& image, int first, int length) {
  std::string text;
  for (int i = 0; i < std::min(length, kShownBytes); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02X", image[static_cast<std::size_t>(first + i)]);
    text += byte;
  }
  if (length > kShownBytes) text += " ...";
  return text;
}

}  // namespace

std::vector<std::pair<int, int>> differingRuns(const Image& file, const Image& chip, int size) {
  std::vector<std::pair<int, int>> runs;
  const int end = std::clamp(size, 0, kImageSize);
  for (int a = 0; a < end;) {
    if (file[static_cast<std::size_t>(a)] == chip[static_cast<std::size_t>(a)]) {
      ++a;
      continue;
    }
    const int first = a;
    while (a < end && file[static_cast<std::size_t>(a)] != chip[static_cast<std::size_t>(a)]) ++a;
    runs.emplace_back(first, a - 1);
  }
  return runs;
}

std::vector<std::string> differingRanges(const Image& file, const Image& chip, int size) {
  std::vector<std::string> lines;
  for (const auto& [first, last] : differingRuns(file, chip, size)) {
    const int length = last - first + 1;
    char head[48];
    std::snprintf(head, sizeof head, "0x%04X-0x%04X (%d byte%s):", static_cast<unsigned>(first),
                  static_cast<unsigned>(last), length, length == 1 ? "" : "s");
    lines.push_back(head + std::string(" file") + side(file, first, length) + " chip" + side(chip, first, length));
  }
  return lines;
}

std::optional<int> firstDataAt(const Image& image, int from, int to) {
  for (int a = std::max(from, 0); a < std::min(to, kImageSize); ++a) {
    if (image[static_cast<std::size_t>(a)] != kErasedByte) return a;
  }
  return std::nullopt;
}

}  // namespace velkorn::cli
