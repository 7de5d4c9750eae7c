#pragma once
// Runs one command of velkorn-cli on the engine; its exit status and its result or failure
// lines come from the Outcome the engine returns.
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/options.h"

namespace velkorn::cli {

// `out` gets the device information and results, `err` the box texts and progress;
// `errIsTerminal` chooses the progress bar over one line per phase.
// With several ports the command runs on every board at once.
int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal);

// `velkorn-cli ports`.
int listPortsCommand(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace velkorn::cli
