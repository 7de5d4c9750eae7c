#pragma once
// One Intel HEX codec for the file loader, the writer and the bootloader's command
// records: hex pairs, upper-case formatting, the two's complement checksum.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkorn {

// One or more hex digits, either case, at most 8 (a 32-bit value). Empty text, any other
// character or a longer text gives nullopt.
std::optional<std::uint32_t> parseHex(std::string_view digits);

// Like parseHex, but a text that does not convert throws InvalidInteger with that text.
std::uint32_t hexToInt(std::string_view digits);

// Two upper-case hex digits of a byte; four of a 16-bit address.
std::string hexByte(std::uint8_t value);
std::string hexWord(std::uint16_t value);

// The two's complement (mod 256) of the sum of the hex pairs after the ':' of a record.
// Pairs are visited while the position is before the last character, as the bootloader
// records are built; a pair that is not hex throws InvalidInteger.
std::uint8_t recordChecksum(std::string_view record);

// The record with its checksum pair appended (":0100000307" -> ":0100000307F5").
std::string appendChecksum(std::string_view record);

}  // namespace velkorn
