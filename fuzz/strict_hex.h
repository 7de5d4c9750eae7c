#pragma once
// A deliberately plain reading of well-formed Intel HEX, independent of image/: the fuzzers
// compare the loader against it on the inputs it accepts.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace velkorn::fuzz {

inline int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// `len` hex digits at `pos`, all present; nullopt otherwise.
inline std::optional<std::uint32_t> hexAt(std::string_view text, std::size_t pos, std::size_t len) {
  if (pos + len > text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = pos; i < pos + len; ++i) {
    const int d = hexDigit(text[i]);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(d);
  }
  return value;
}

struct StrictRecord {
  std::uint8_t type = 0;
  std::uint16_t address = 0;
  std::vector<std::uint8_t> data;
};

// ":" count address type data checksum, nothing missing or extra, the checksum right.
inline std::optional<StrictRecord> strictRecord(std::string_view line) {
  if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  unsigned sum = 0;
  for (std::size_t i = 1; i < line.size(); i += 2) {
    const auto b = hexAt(line, i, 2);
    if (!b) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*b));
    sum += *b;
  }
  if (bytes.size() != bytes[0] + 5u || (sum & 0xFF) != 0) return std::nullopt;
  StrictRecord r;
  r.type = bytes[3];
  r.address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
  r.data.assign(bytes.begin() + 4, bytes.end() - 1);
  return r;
}

}  // namespace velkorn::fuzz
