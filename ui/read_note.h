#pragma once
// What the status bar says after a read that did not get every byte of the chip: the
// Chip Data view then shows older bytes, maybe another chip's, drawn apart.
#include <QString>
#include <bitset>

#include "image/images.h"

namespace velkorn::ui {

// "Read stopped at 1200: 60928 bytes not read, shown grey" when nothing was read from the
// first missing byte to the chip's end, "Read incomplete: 16 bytes not read, the first at
// 0020; shown grey" when reading went on past it; empty when every byte below `chipSize`
// was read.
QString readCoverageNote(const std::bitset<kImageSize>& read, int chipSize);

}  // namespace velkorn::ui
