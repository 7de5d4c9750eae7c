#pragma once
// Telnet (RFC 854/855) and its COM-PORT-OPTION (RFC 2217): the bytes both ends of an
// rfc2217:// connection speak, the programmer's link and the simulated server alike.
#include <cstdint>

namespace velkorn::link {

namespace telnet {
inline constexpr std::uint8_t kSe = 240;    // end of subnegotiation
inline constexpr std::uint8_t kSb = 250;    // start of subnegotiation
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kIac = 255;   // interpret as command; doubled in data
inline constexpr std::uint8_t kBinary = 0;             // 8-bit data without NVT rules
inline constexpr std::uint8_t kSuppressGoAhead = 3;
inline constexpr std::uint8_t kComPortOption = 44;
}  // namespace telnet

// COM-PORT-OPTION subnegotiation commands, client to server. The server acknowledges each
// with the same command plus kServerCommandOffset and the value it applied.
namespace comport {
inline constexpr std::uint8_t kSetBaudRate = 1;   // 4-byte rate, network byte order
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kServerCommandOffset = 100;
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kStopSizeOne = 1;
inline constexpr std::uint8_t kControlNoFlowControl = 1;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlDtrOff = 9;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kControlRtsOff = 12;
}  // namespace comport

}  // namespace velkorn::link
