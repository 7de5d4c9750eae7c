#pragma once
// How velkorn-cli reports what a command ended in: the exit status, and the lines that say
// what failed. Both come from the Outcome alone, never from a box the engine showed.
#include <string>
#include <string_view>
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

// Text from outside (a chip's answer, a file or host name) as a message shows it: control
// characters as "<0D>", as the window's terminal shows them, so no line break or escape
// sequence of a name can forge a line or move the cursor. Bytes of UTF-8 characters stay.
std::string printable(std::string_view text);

// A file or port name in a message: printable, and a name longer than a line keeps its
// start and its end around "...", so that the message stays readable.
std::string shortName(std::string_view name);

// 0 done; 1 the chip operation failed; 2 the input file; 3 no target on the line.
int exitStatus(const isp::Outcome& outcome);

// The lines (without the stderr prefix) that say what failed: the window's closing box
// where it has one for this outcome, then what happened, with its details. Empty when done.
std::vector<std::string> failureLines(const isp::Outcome& outcome, const ReportContext& context);

}  // namespace velkorn::cli
