#pragma once
// Writes memory as an Intel HEX file that the loader reads back into the same bytes.
#include <cstdint>
#include <string>

namespace velkorn {

// `size` bytes from address 0 (clamped to 0..64 KiB, 16-bit addresses only) as type 00
// records of 16 bytes each (the last one shorter when size is not a multiple of 16),
// upper-case with checksums, every line ended by "\r\n", then the end record
// ":00000001FF\r\n".
std::string writeIntelHex(const std::uint8_t* data, int size);

}  // namespace velkorn
