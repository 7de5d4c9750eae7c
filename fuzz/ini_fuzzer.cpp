// The window's memory file through the INI reader: whatever a text holds, each value it read
// is written and read back to the same texts.
#include <cstdint>
#include <string_view>

#include "check.h"
#include "file/ini_file.h"

using namespace velkorn::file;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto entries = parseIni(text);
  if (!entries) return 0;
  for (const auto& [name, value] : *entries) {
    // A list of one is written as its one text and read back as that text alone.
    const auto again = parseIni(formatIni({{"memory/value", value}}));
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(again->size() == 1);
    FUZZ_CHECK(again->begin()->second.items == value.items);
  }
  return 0;
}
