#pragma once
// How velkorn-cli reports what a command ended in: the exit status, and the lines that say
// what failed. Both come from the Outcome alone, never from a box the engine showed.
#include <string>
#include <vector>

#include "isp/outcome.h"

namespace velkorn::cli {

// What the lines mention besides the outcome itself.
struct ReportContext {
  std::string command;  // "verify", "read", ...: what "the chip could not be ..." refers to
  std::string file;     // the HEX file of program, verify and diff
  std::string port;     // as given with --port
  int syncTimeoutS = 60;
  bool interrupted = false;  // Ctrl+C ended the command
};

// An address as the command line writes it: "0x0105".
std::string hexAddress(int address);

// 0 done; 1 the chip operation failed; 2 the input file; 3 no target on the line.
int exitStatus(const isp::Outcome& outcome);

// The lines (without the stderr prefix) that say what failed: the window's closing box
// where it has one for this outcome, then what happened, with its details. Empty when done.
std::vector<std::string> failureLines(const isp::Outcome& outcome, const ReportContext& context);

}  // namespace velkorn::cli
