#pragma once
// The program's title: its name, the chip variants and the version from the build.
#include <array>
#include <cstddef>
#include <string_view>

#include "velkorn_version.h"

namespace velkorn::ui {

namespace title_detail {
inline constexpr std::string_view kName = "Velkorn RD2 / ED2 v";
inline constexpr std::string_view kNumber = velkorn::kVersion;
inline constexpr auto kText = [] {
  std::array<char, kName.size() + kNumber.size() + 1> text{};
  std::size_t at = 0;
  for (const char c : kName) text[at++] = c;
  for (const char c : kNumber) text[at++] = c;
  return text;
}();
}  // namespace title_detail

// A plain C string, as the boxes titled with the program's title take it.
inline constexpr const char* kProgramTitle = title_detail::kText.data();

}  // namespace velkorn::ui
