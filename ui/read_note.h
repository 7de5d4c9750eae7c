#pragma once
// What the status bar says of the last command: where a read that did not get every byte
// of the chip stopped (the Chip Data view then shows older bytes, maybe another chip's,
// drawn apart).
#include <QString>
#include <bitset>

#include "image/images.h"

namespace velkorn::ui {

// The bytes below `chipSize` that the last read did not get: the first one's address (-1
// when it got them all), how many, and whether it read any byte past the first.
struct ReadCoverage {
  int first = -1;
  int missing = 0;
  bool readPast = false;
};
ReadCoverage readCoverage(const std::bitset<kImageSize>& read, int chipSize);

// "Read stopped at 1200: 60928 bytes not read, shown grey" when nothing was read from the
// first missing byte to the chip's end, "Read incomplete: 16 bytes not read, the first at
// 0020; shown grey" when reading went on past it; empty when every byte below `chipSize`
// was read.
QString readCoverageNote(const std::bitset<kImageSize>& read, int chipSize);

// The file's data that the comparison leaves out (the bootloader's top KiB): "blink.hex
// holds data at FC00 and above (from FC10): programmed, but not compared"; empty when none.
QString uncomparedDataNote(const MemoryImages& images, const QString& fileName);

}  // namespace velkorn::ui
