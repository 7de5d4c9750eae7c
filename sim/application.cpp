#include "sim/application.h"

#include <cstdio>

namespace velkorn::sim {

namespace {
constexpr int kCountWraps = 1000;  // three digits
}

std::string Application::nextLine() {
  std::string text = line_;
  if (const auto at = text.find('@'); at != std::string::npos) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03d", count_);
    text.replace(at, 1, digits);
  }
  count_ = (count_ + 1) % kCountWraps;
  return text + "\r\n";
}

std::string Application::receive(std::string_view bytes) {
  std::string answer;
  for (const char c : bytes) {
    const bool end = c == '\r' || c == '\n';
    if (!end) typed_ += c;
    if ((end || typed_.size() >= kMaxTyped) && !typed_.empty()) {
      answer += "got " + typed_ + "\r\n";
      typed_.clear();
    }
  }
  return answer;
}

}  // namespace velkorn::sim
