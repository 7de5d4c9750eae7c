// velkorn-cli: the programmer's engine on the command line, for production lines and scripts.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/terminal_operator.h"
#include "velkorn_version.h"

namespace {

void onSignal(int) { velkorn::cli::TerminalOperator::interrupted = true; }

// Ctrl+C ends a running command the way the Abort button would: after the current block,
// with the port released, instead of killing the process in the middle of a record.
void installSignalHandlers() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A file size limit makes a write fail with EFBIG, reported like a full disk, instead of
  // killing the program with its temporary file left behind.
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velkorn::cli;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParseResult parsed = parseOptions(args);
  if (!parsed.ok) {
    std::cerr << kStderrPrefix << parsed.error << "\n\n" << usageText();
    return kExitUsage;
  }
  if (parsed.options.help) {
    std::cout << usageText();
    return kExitDone;
  }
  if (parsed.options.version) {
    std::cout << "velkorn-cli " << velkorn::kVersion << '\n';
    return kExitDone;
  }
  installSignalHandlers();
  return runCommand(parsed.options, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
}
