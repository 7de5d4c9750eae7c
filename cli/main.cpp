// velkorn-cli: the programmer's engine on the command line, for production lines and scripts.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/outcome_report.h"
#include "cli/platform.h"
#include "cli/terminal_operator.h"
#include "velkorn_version.h"

int main(int argc, char** argv) {
  using namespace velkorn::cli;
  const std::vector<std::string> args = platform::utf8Arguments(argc, argv);
  const ParseResult parsed = parseOptions(args);
  if (!parsed.ok) {
    // The error quotes an argument: shown so that it cannot forge a line.
    std::cerr << kStderrPrefix << printable(parsed.error) << " (velkorn-cli --help lists the commands and options)\n";
    return kExitUsage;
  }
  if (parsed.options.help) {
    std::cout << (parsed.options.command == Command::None ? usageText() : commandUsage(parsed.options.command));
    return kExitDone;
  }
  if (parsed.options.version) {
    std::cout << "velkorn-cli " << velkorn::kVersion << '\n';
    return kExitDone;
  }
  platform::setUpProcess(TerminalOperator::interrupted);
  return runCommand(parsed.options, std::cout, std::cerr, platform::stderrShowsProgressBar());
}
