#include "image/hex_codec.h"

#include "image/failures.h"

namespace velkorn {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

std::optional<std::uint32_t> parseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    const int d = digitValue(c);
    if (d < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return value;
}

std::uint32_t hexToInt(std::string_view digits) {
  const auto value = parseHex(digits);
  if (!value) throw InvalidInteger(std::string(digits));
  return *value;
}

std::string hexByte(std::uint8_t value) {
  return {kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
}

std::string hexWord(std::uint16_t value) {
  return hexByte(static_cast<std::uint8_t>(value >> 8)) + hexByte(static_cast<std::uint8_t>(value & 0xFF));
}

std::uint8_t recordChecksum(std::string_view record) {
  unsigned sum = 0;
  // From the first character after ':' while the position is before the last character.
  for (std::size_t pos = 1; pos + 1 < record.size(); pos += 2) {
    sum = (sum + hexToInt(record.substr(pos, 2))) & 0xFF;
  }
  return static_cast<std::uint8_t>((256 - sum) & 0xFF);
}

std::string appendChecksum(std::string_view record) {
  return std::string(record) + hexByte(recordChecksum(record));
}

}  // namespace velkorn
