#pragma once
// "COMn" as the window's menu and the command line name ports: the one parser of it.
#include <cctype>
#include <string_view>

namespace velkorn::link {

// The n of "COMn" in any letter case (n from 1, at most three digits); 0 for anything else.
inline int comNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 6) return 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  }
  int n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

}  // namespace velkorn::link
