#include "isp/read_answer.h"

#include <algorithm>

#include "image/hex_codec.h"

namespace velkorn::isp {

namespace {
constexpr int kLineAddressAt = 2;  // four hex digits after CR LF
constexpr int kLineEqualsAt = 6;
constexpr int kLineDataAt = 7;

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
}  // namespace

std::string readRequest(int block) {
  return ":05000004" + hexWord(static_cast<std::uint16_t>(block)) +
         hexWord(static_cast<std::uint16_t>(block + kReadBlockBytes - 1)) + "00";
}

std::string blankCheckRequest(int first, int last) {
  return ":05000004" + hexWord(static_cast<std::uint16_t>(first)) + hexWord(static_cast<std::uint16_t>(last)) + "01";
}

ReadLine parseReadLine(std::string_view line, int address) {
  ReadLine r;
  if (line.size() < static_cast<std::size_t>(kReadLineChars) || line[0] != '\r' || line[1] != '\n' ||
      line[kLineEqualsAt] != '=') {
    r.fault = LineFault::Format;
    return r;
  }
  const auto lineAddress = parseHex(line.substr(kLineAddressAt, 4));
  if (!lineAddress) {
    r.fault = LineFault::Address;
    return r;
  }
  // A line whose address reads one line too far must not be taken for the next line: its
  // bytes would land 16 addresses off.
  if (*lineAddress != static_cast<std::uint32_t>(address)) {
    r.fault = LineFault::Format;
    return r;
  }
  for (; r.readable < kReadLineBytes; ++r.readable) {
    const auto value = parseHex(line.substr(kLineDataAt + 2 * static_cast<std::size_t>(r.readable), 2));
    if (!value) {
      r.fault = LineFault::Data;
      break;
    }
    r.bytes[static_cast<std::size_t>(r.readable)] = static_cast<std::uint8_t>(*value);
  }
  return r;
}

std::optional<BlockBytes> parseReadAnswer(std::string_view answer, int block) {
  if (answer.size() != static_cast<std::size_t>(kReadAnswerChars)) return std::nullopt;
  BlockBytes bytes{};
  for (int k = 0; k < kReadLines; ++k) {
    const ReadLine line = parseReadLine(answer.substr(static_cast<std::size_t>(k) * kReadLineChars, kReadLineChars),
                                        block + k * kReadLineBytes);
    if (line.fault != LineFault::None) return std::nullopt;
    std::copy(line.bytes.begin(), line.bytes.end(), bytes.begin() + k * kReadLineBytes);
  }
  return bytes;
}

std::optional<BlankCheckAnswer> parseBlankCheckAnswer(std::string_view answer) {
  if (answer == ".") return BlankCheckAnswer{true, -1};
  if (answer.size() != 6 || answer[4] != '\r' || answer[5] != '\n') return std::nullopt;
  for (std::size_t i = 0; i < 4; ++i) {
    if (!isHexDigit(answer[i])) return std::nullopt;
  }
  return BlankCheckAnswer{false, static_cast<int>(*parseHex(answer.substr(0, 4)))};
}

}  // namespace velkorn::isp
