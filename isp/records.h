#pragma once
// The bootloader's fixed protocol values that more than one part of the program needs.
#include <cstdint>

namespace velkorn::isp {

inline constexpr int kBootloaderBaud = 115200;  // all bootloader traffic runs at this rate
inline constexpr char kAutobaud = 'U';          // sent until the bootloader sends it back
inline constexpr std::uint8_t kAccepted = '.';  // an answer ends in "." when accepted
inline constexpr std::uint8_t kRefused = 'X';   // ... and in "X" when refused

// Stop characters of ExchangeRecord: besides "." and "X", what else ends the wait.
inline constexpr char kStopNone = '\0';   // the first read that brings nothing ends it
inline constexpr char kStopErase = '.';   // erase: only "." or "X" (or the length limit)
inline constexpr char kStopBlank = '\n';  // blank check: its answer may end in a line feed
inline constexpr char kStopData = '\x01'; // data records: only "." or "X"

// The read-back compares nothing from here on: the bootloader's own area at the top of a
// 64 KiB part. A 32 KiB part ends below it, so there every address is compared.
inline constexpr int kCompareBelow = 0xFC00;

}  // namespace velkorn::isp
