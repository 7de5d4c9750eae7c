#include "scripted_operator.h"

namespace velkorn::testing {

std::vector<std::string> ScriptedOperator::of(const std::string& kind) const {
  std::vector<std::string> out;
  const std::string prefix = kind + "|";
  for (const auto& e : events)
    if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
  return out;
}

isp::Button ScriptedOperator::showError(const std::string& text, bool cancellable) {
  events.push_back("error|" + text + (cancellable ? "|okcancel" : "|ok"));
  isp::Button b = isp::Button::Ok;
  if (!errorAnswers.empty()) {
    b = errorAnswers.front();
    errorAnswers.pop_front();
  }
  if (!cancellable) b = isp::Button::Ok;
  return b;
}

bool ScriptedOperator::askYesNo(const std::string& caption, const std::string& text) {
  events.push_back("ask|" + caption + "|" + text);
  if (yesNoAnswers.empty()) return true;
  const bool yes = yesNoAnswers.front();
  yesNoAnswers.pop_front();
  return yes;
}

std::optional<std::string> ScriptedOperator::askHexFileName(const std::string& remembered) {
  events.push_back("dialog|" + remembered);
  if (fileAnswers.empty()) return std::nullopt;
  auto answer = fileAnswers.front();
  fileAnswers.pop_front();
  return answer;
}

void ScriptedOperator::syncShow() {
  events.push_back("sync|show");
  syncShownAt_ = clock_.tickMs();
}

bool ScriptedOperator::syncCancelled() {
  // The window's own timer: one step a second, the flag goes up at the bar's maximum.
  const std::uint32_t steps = (clock_.tickMs() - syncShownAt_) / 1000;
  return cancelSyncNow || steps >= static_cast<std::uint32_t>(syncLimitSeconds);
}

}  // namespace velkorn::testing
