// The station's configuration file: the input is its text. A refusal names the file and
// says why; an accepted file gives options that the command line's parser accepts again.
#include <cstdint>
#include <string>

#include "check.h"
#include "cli/config_file.h"
#include "cli/options.h"

using namespace velkorn::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string why;
  const auto config = parseConfigText("station.conf", text, &why);
  if (!config) {
    FUZZ_CHECK(why.rfind("station.conf:", 0) == 0);
    return 0;
  }
  for (const auto& [name, entries] : config->sections) {
    FUZZ_CHECK(!name.empty());
    const auto options = configuredOptions(*config, name, false, &why);
    FUZZ_CHECK(options.has_value());
    std::vector<std::string> args = *options;
    args.push_back("--help");
    const ParseResult parsed = parseArguments({}, args);
    FUZZ_CHECK(parsed.ok);
  }
  return 0;
}
