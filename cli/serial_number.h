#pragma once
// Serial numbers for a production station: one number per board, taken from a counter file
// that several processes share, written into the board's image at a fixed address.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/images.h"

namespace velkorn::cli {

struct SerialFormat {
  enum Kind { Le16, Be16, Le32, Be32, Dec, Hex };
  Kind kind = Le16;
  int digits = 0;  // Dec, Hex: the number of ASCII digits, zero-padded
};

// "le16", "be16", "le32", "be32", "dec:N", "hex:N" (N from 1 to 20); nothing when none of these.
std::optional<SerialFormat> parseSerialFormat(const std::string& text);

// How many bytes the number takes in the image.
int serialBytes(const SerialFormat& format);

// The bytes of `number` in `format`; nothing when it does not fit (above 0xFFFF for a
// 16-bit field, more digits than the field has).
std::optional<std::vector<std::uint8_t>> serialImage(std::uint64_t number, const SerialFormat& format);

// Takes the next number from the counter file `path` for one board: under an exclusive lock
// it reads the number, checks that it fits `format`, and writes the number after it, synced
// to the disk before this returns, so the number is never given to another board, by this
// process or any other, even when the machine stops right after. Nothing with `why` set
// when no number was taken (the file is missing or holds no number, the number does not fit).
std::optional<std::uint64_t> takeSerialNumber(const std::string& path, const SerialFormat& format, std::string* why);

// One board's number: taken from `counter` (takeSerialNumber) and written over what `image`
// holds at `at`. Nothing with `why` set when no number was taken.
std::optional<std::uint64_t> stampSerialNumber(const std::string& counter, const SerialFormat& format, int at,
                                               Image& image, std::string* why);

}  // namespace velkorn::cli
