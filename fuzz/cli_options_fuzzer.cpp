// velkorn-cli's command line: the input is its arguments, separated by NUL bytes. A refusal
// always says why; an accepted line holds values inside their ranges and options only
// where their command takes them.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "cli/options.h"

using namespace velkorn::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  if (size == 0) args.clear();

  // The arguments alone: a configuration file they name would make the run depend on
  // the machine's files (config_file_fuzzer takes the file's text).
  const ParseResult result = parseArguments({}, args);
  FUZZ_CHECK(result.ok == result.error.empty());
  if (!result.ok) return 0;
  const Options& o = result.options;
  for (const std::string& port : o.ports) FUZZ_CHECK(!port.empty());
  FUZZ_CHECK(o.retries >= 0 && o.syncTimeoutS >= 1);
  if (o.help || o.version) return 0;
  FUZZ_CHECK(o.command != Command::None);
  if (o.force) FUZZ_CHECK(o.command == Command::Read);
  if (o.lock0 || o.lock1 || !o.bljb) FUZZ_CHECK(o.command == Command::Program || o.command == Command::Boot);
  if (o.serialAt >= 0 || o.serialFormat || !o.serialFile.empty()) {
    FUZZ_CHECK(o.command == Command::Program && o.serialAt >= 0 && o.serialFormat && !o.serialFile.empty());
  }
  if (o.loop) FUZZ_CHECK(o.command == Command::Program);
  FUZZ_CHECK(!usageText().empty());
  return 0;
}
