#pragma once
// The two modem lines a board's reset circuit may hang on, and the sequences that drive
// them: "dtr=0,rts=1,wait=100,dtr=1" (a step at a time, in order).
#include <string>
#include <vector>

#include "base/result.h"

namespace velkorn::link {

enum class ModemLine { Dtr, Rts };

struct ModemStep {
  enum Kind { Set, Wait } kind = Set;
  ModemLine line = ModemLine::Dtr;  // Set
  bool high = false;                // Set: 1 raises the line
  int waitMs = 0;                   // Wait
};

// Parses a sequence; Invalid when a step is unknown or a wait out of range (0 to 60000 ms).
Result<std::vector<ModemStep>> parseModemSteps(const std::string& text);

// "dtr=0", "wait=100": a step as the debug log shows it.
std::string describe(const ModemStep& step);

}  // namespace velkorn::link
