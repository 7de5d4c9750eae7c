#pragma once
// The read request and its answer, shared by the read-back and the blank-run search: a
// 256-byte block is asked for with one record and comes back as 16 lines of CR LF, four
// address digits, "=" and 32 data digits. The answer carries no checksum.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkorn::isp {

inline constexpr int kReadBlockBytes = 256;  // bytes per read request
inline constexpr int kReadLineBytes = 16;    // bytes per line of a read answer
inline constexpr int kReadLines = kReadBlockBytes / kReadLineBytes;
inline constexpr int kReadLineChars = 39;     // CR LF AAAA = and 32 data digits
inline constexpr int kReadAnswerChars = 626;  // 16 lines plus 2 characters not examined
inline constexpr int kReadReplyLimit = 647;   // the 21-character echo plus the answer

using BlockBytes = std::array<std::uint8_t, kReadBlockBytes>;

// The read request of the block starting at `block`, without its checksum.
std::string readRequest(int block);
// The blank check of `first`..`last` (both included), without its checksum: answered "."
// when every byte there is 0xFF, else the first other address as four hex digits, CR LF.
std::string blankCheckRequest(int first, int last);

enum class LineFault {
  None,
  Format,   // not CR LF AAAA =, too short, or the address of another line
  Address,  // the address digits are not hex
  Data,     // a data digit pair is not hex
};

// One line of a read answer, checked against the address it must carry.
struct ReadLine {
  LineFault fault = LineFault::None;
  int readable = 0;  // data bytes before the first pair that is not hex
  std::array<std::uint8_t, kReadLineBytes> bytes{};
};
ReadLine parseReadLine(std::string_view line, int address);

// A whole answer in which every line is in form, at its address, with readable data.
std::optional<BlockBytes> parseReadAnswer(std::string_view answer, int block);

// A blank-check answer: nullopt when it is neither "." (`blank`) nor four hex digits and
// CR LF (the address).
struct BlankCheckAnswer {
  bool blank = false;
  int address = -1;
};
std::optional<BlankCheckAnswer> parseBlankCheckAnswer(std::string_view answer);

}  // namespace velkorn::isp
