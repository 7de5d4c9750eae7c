// The settings file's text through its parser: the steps come in the loading order, the
// baud selection stays inside the group, and whatever was read is written and read back
// unchanged, with all fifteen lines and no failure.
#include <cstdint>
#include <string_view>

#include "check.h"
#include "file/settings_file.h"

using namespace velkorn::file;

namespace {

bool sameSettings(const Settings& a, const Settings& b) {
  return a.captions == b.captions && a.cycleStr == b.cycleStr && a.cycle == b.cycle && a.left == b.left &&
         a.top == b.top && a.width == b.width && a.height == b.height && a.host == b.host &&
         a.baudIndex == b.baudIndex && a.fileName == b.fileName && a.fontName == b.fontName &&
         a.fontSize == b.fontSize && a.bold == b.bold;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const LoadedSettings loaded = parseSettings(text);

  FUZZ_CHECK(loaded.fileFound);
  for (std::size_t i = 1; i < loaded.steps.size(); ++i) FUZZ_CHECK(loaded.steps[i - 1] < loaded.steps[i]);
  const BaudSelection baud = baudSelection(loaded.values.baudIndex);
  FUZZ_CHECK(baud.index >= -1 && baud.index <= kLastBaudIndex);

  const LoadedSettings again = parseSettings(formatSettings(loaded.values));
  FUZZ_CHECK(!again.failure);
  FUZZ_CHECK(again.lineCount == kSettingsLineCount);
  FUZZ_CHECK(again.steps.size() == static_cast<std::size_t>(SettingsStep::FontStyle) + 1);
  FUZZ_CHECK(sameSettings(again.values, loaded.values));
  return 0;
}
