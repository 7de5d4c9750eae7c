#include "link/modem_lines.h"

#include <algorithm>
#include <charconv>

namespace velkorn::link {

namespace {
constexpr int kMaxWaitMs = 60000;
}

Result<std::vector<ModemStep>> parseModemSteps(const std::string& text) {
  auto bad = [](std::string why) { return makeError(ErrorCode::Invalid, std::move(why)); };
  std::vector<ModemStep> steps;
  // Every comma separates two steps: an empty step at either end or between two commas is
  // a typing error, not nothing.
  for (std::size_t from = 0; from <= text.size();) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    const std::string part = text.substr(from, comma - from);
    from = comma + 1;
    if (part.empty()) {
      return bad(text.empty() ? "no steps (dtr=0|1, rts=0|1, wait=MS, comma-separated)" : "an empty step in '" + text + "'");
    }
    const auto eq = part.find('=');
    const std::string name = part.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : part.substr(eq + 1);
    ModemStep step;
    if ((name == "dtr" || name == "rts") && (value == "0" || value == "1")) {
      step.line = name == "dtr" ? ModemLine::Dtr : ModemLine::Rts;
      step.high = value == "1";
    } else if (name == "wait") {
      step.kind = ModemStep::Wait;
      const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), step.waitMs);
      if (value.empty() || value[0] < '0' || value[0] > '9' || ec != std::errc() || ptr != value.data() + value.size() || step.waitMs < 0 ||
          step.waitMs > kMaxWaitMs) {
        return bad("'" + part + "': a wait is 0 to " + std::to_string(kMaxWaitMs) + " ms");
      }
    } else {
      return bad("'" + part + "' is no step (dtr=0|1, rts=0|1, wait=MS)");
    }
    steps.push_back(step);
  }
  if (steps.empty()) return bad("no steps (dtr=0|1, rts=0|1, wait=MS, comma-separated)");
  return steps;
}

std::string describe(const ModemStep& step) {
  if (step.kind == ModemStep::Wait) return "wait=" + std::to_string(step.waitMs);
  return std::string(step.line == ModemLine::Dtr ? "dtr=" : "rts=") + (step.high ? "1" : "0");
}

}  // namespace velkorn::link
