#pragma once
// The two flat copies of the 8051 code space and the values the chip operations share
// with the loader; what belongs to one command run travels with that run. One instance
// lives as long as the program; the hex views show the images in place.
#include <array>
#include <bitset>
#include <cstdint>

namespace velkorn {

inline constexpr int kImageSize = 0x10000;   // both images always hold 64 KiB
inline constexpr int kChipSize64K = 0x10000; // chip size at start
inline constexpr int kChipSize32K = 0x8000;  // after memory code "F7"
inline constexpr std::uint8_t kErasedByte = 0xFF;

using Image = std::array<std::uint8_t, kImageSize>;

struct MemoryImages {
  Image fileImage{};  // what the HEX file says the flash must hold (00 until a load)
  Image chipImage{};  // what was last read back from the chip (00 until a read)
  // The bytes of chipImage that the last read stored, or that its blank checks vouched for
  // as erased; cleared when a read starts. The rest are older bytes, maybe another chip's.
  std::bitset<kImageSize> chipRead;
  int chipSize = kChipSize64K;  // bytes handled by read-back, programming, verification
  bool fileLoaded = false;      // every line of the last HEX file was visited
  int hexLineCount = 0;         // lines of the last HEX file read
};

}  // namespace velkorn
