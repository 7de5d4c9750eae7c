#pragma once
// `program --loop`: a production line's loop on every given port. It waits for a board, programs
// it, reports (and records) it, and waits until that board is gone before taking the next.
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/options.h"

namespace velkorn::cli {

// Runs until Ctrl+C (or SIGTERM), which ends it after the boards in flight; then the totals.
// Exit status 0 when no board failed, else 1.
int runProductionLoop(const Options& options, const std::vector<std::string>& ports, std::ostream& out,
                      std::ostream& err, bool errIsTerminal);

}  // namespace velkorn::cli
