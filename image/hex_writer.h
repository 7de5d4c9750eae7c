#pragma once
// Writes memory as an Intel HEX file that the loader reads back into the same bytes.
#include <bitset>
#include <cstdint>
#include <string>

#include "image/images.h"

namespace velkorn {

// `size` bytes from address 0 (clamped to 0..64 KiB, 16-bit addresses only) as type 00
// records of 16 bytes each (the last one shorter when size is not a multiple of 16),
// upper-case with checksums, every line ended by "\r\n", then the end record
// ":00000001FF\r\n".
std::string writeIntelHex(const std::uint8_t* data, int size);

// The same for only the bytes below `size` that `present` marks (what a read got): each run
// of marked bytes within a 16-byte row is one record, so a gap leaves no record behind and
// a fully marked image gives the text above.
std::string writeIntelHex(const std::uint8_t* data, int size, const std::bitset<kImageSize>& present);

}  // namespace velkorn
