#pragma once
// Runs one command of velkorn-cli on the engine; its exit status and its result or failure
// lines come from the Outcome the engine returns.
#include <iosfwd>

#include "cli/options.h"

namespace velkorn::cli {

// `out` gets the device information and results, `err` the box texts and progress;
// `errIsTerminal` chooses the progress bar over one line per phase.
int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal);

}  // namespace velkorn::cli
