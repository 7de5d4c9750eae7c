#pragma once
// Builders for Intel HEX test input: a record with a correct checksum, counting bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "image/hex_codec.h"

namespace velkorn::testing {

// A record with a correct checksum: type, 16-bit field address, data bytes.
inline std::string rec(int type, unsigned address, const std::vector<int>& bytes) {
  std::string r = ":" + hexByte(static_cast<std::uint8_t>(bytes.size())) +
                  hexWord(static_cast<std::uint16_t>(address)) + hexByte(static_cast<std::uint8_t>(type));
  for (int b : bytes) r += hexByte(static_cast<std::uint8_t>(b));
  return appendChecksum(r);
}

// n bytes counting up from `first`, wrapping at 256.
inline std::vector<int> counting(int n, int first = 0) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back((first + i) & 0xFF);
  return v;
}

}  // namespace velkorn::testing
