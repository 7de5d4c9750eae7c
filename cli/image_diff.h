#pragma once
// Where the chip and the file image differ, as diff lists it, and where a file holds data
// that programming or the comparison leaves out.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image/images.h"

namespace velkorn::cli {

// One line per run of differing addresses below `size`: its first and last address, its
// length and up to 8 of its first bytes on each side, e.g.
// "0x0100-0x010F (16 bytes): file 00 01 02 03 04 05 06 07 ... chip FF FF FF FF FF FF FF FF ...".
std::vector<std::string> differingRanges(const Image& file, const Image& chip, int size);
// The same runs as first and last address (included).
std::vector<std::pair<int, int>> differingRuns(const Image& file, const Image& chip, int size);

// The first address in [from, to) whose byte is not erased.
std::optional<int> firstDataAt(const Image& image, int from, int to);

}  // namespace velkorn::cli
