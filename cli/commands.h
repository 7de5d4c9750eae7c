#pragma once
// Runs one command of velkorn-cli on the engine and judges its exit status from what the
// engine did: the boxes it showed, its success notices and the hand-back to the terminal.
#include <iosfwd>

#include "cli/options.h"

namespace velkorn::cli {

// `out` gets the device information and results, `err` the box texts and progress;
// `errIsTerminal` chooses the progress bar over one line per phase.
int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal);

}  // namespace velkorn::cli
