#include "cli/serial_number.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "file/locked_file.h"

namespace velkorn::cli {
namespace {

// 20 decimal digits hold every 64-bit number.
constexpr int kMaxDigits = 20;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The counter file: a decimal number, with blanks and line ends around it allowed (an editor
// adds a line end).
std::optional<std::uint64_t> counterValue(const std::string& text) {
  std::size_t first = 0, last = text.size();
  while (first < last && isSpace(text[first])) ++first;
  while (last > first && isSpace(text[last - 1])) --last;
  std::uint64_t value = 0;
  const char* end = text.data() + last;
  const auto [ptr, ec] = std::from_chars(text.data() + first, end, value, 10);
  if (first == last || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string formatName(const SerialFormat& f) {
  switch (f.kind) {
    case SerialFormat::Le16: return "le16";
    case SerialFormat::Be16: return "be16";
    case SerialFormat::Le32: return "le32";
    case SerialFormat::Be32: return "be32";
    case SerialFormat::Dec: return "dec:" + std::to_string(f.digits);
    case SerialFormat::Hex: return "hex:" + std::to_string(f.digits);
  }
  return {};
}

}  // namespace

std::optional<SerialFormat> parseSerialFormat(const std::string& text) {
  static constexpr struct {
    const char* name;
    SerialFormat::Kind kind;
  } kBinary[] = {{"le16", SerialFormat::Le16}, {"be16", SerialFormat::Be16},
                 {"le32", SerialFormat::Le32}, {"be32", SerialFormat::Be32}};
  for (const auto& b : kBinary) {
    if (text == b.name) return SerialFormat{b.kind, 0};
  }
  const bool dec = text.rfind("dec:", 0) == 0;
  if (!dec && text.rfind("hex:", 0) != 0) return std::nullopt;
  int digits = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data() + 4, end, digits);
  if (text.size() == 4 || ec != std::errc() || ptr != end || digits < 1 || digits > kMaxDigits) return std::nullopt;
  return SerialFormat{dec ? SerialFormat::Dec : SerialFormat::Hex, digits};
}

int serialBytes(const SerialFormat& format) {
  switch (format.kind) {
    case SerialFormat::Le16:
    case SerialFormat::Be16: return 2;
    case SerialFormat::Le32:
    case SerialFormat::Be32: return 4;
    case SerialFormat::Dec:
    case SerialFormat::Hex: return format.digits;
  }
  return 0;
}

std::optional<std::vector<std::uint8_t>> serialImage(std::uint64_t number, const SerialFormat& format) {
  std::vector<std::uint8_t> bytes;
  switch (format.kind) {
    case SerialFormat::Le16:
    case SerialFormat::Be16:
    case SerialFormat::Le32:
    case SerialFormat::Be32: {
      const int width = serialBytes(format);
      if (number >> (8 * width) != 0) return std::nullopt;
      for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
      if (format.kind == SerialFormat::Be16 || format.kind == SerialFormat::Be32) {
        std::reverse(bytes.begin(), bytes.end());
      }
      return bytes;
    }
    case SerialFormat::Dec:
    case SerialFormat::Hex: {
      char text[kMaxDigits + 1];
      const int base = format.kind == SerialFormat::Dec ? 10 : 16;
      const auto [ptr, ec] = std::to_chars(text, text + sizeof text, number, base);
      if (ec != std::errc()) return std::nullopt;
      const auto length = static_cast<int>(ptr - text);
      if (length > format.digits) return std::nullopt;
      bytes.assign(static_cast<std::size_t>(format.digits - length), '0');
      for (const char* c = text; c != ptr; ++c) {
        // Upper-case hex digits, as a label printer and the bootloader's own answers write them.
        bytes.push_back(static_cast<std::uint8_t>(*c >= 'a' && *c <= 'f' ? *c - 'a' + 'A' : *c));
      }
      return bytes;
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> takeSerialNumber(const std::string& path, const SerialFormat& format, std::string* why) {
  std::optional<std::uint64_t> taken;
  const auto next = [&](const std::string& old) -> Result<std::string> {
    const std::optional<std::uint64_t> value = counterValue(old);
    if (!value) return makeError(ErrorCode::Invalid, "it does not hold a decimal number (the next serial number)");
    if (!serialImage(*value, format)) {
      return makeError(ErrorCode::Invalid, "the next serial number, " + std::to_string(*value) + ", does not fit " +
                                               formatName(format));
    }
    if (*value == std::numeric_limits<std::uint64_t>::max())
      return makeError(ErrorCode::Invalid, "the serial numbers are used up");
    taken = *value;
    return std::to_string(*value + 1) + "\n";
  };
  if (const Status changed = file::changeLocked(path, next); !changed) {
    *why = changed.message();
    return std::nullopt;
  }
  return taken;
}

std::optional<std::uint64_t> stampSerialNumber(const std::string& counter, const SerialFormat& format, int at,
                                               Image& image, std::string* why) {
  const std::optional<std::uint64_t> number = takeSerialNumber(counter, format, why);
  if (!number) return std::nullopt;
  const std::vector<std::uint8_t> bytes = *serialImage(*number, format);
  if (at < 0 || at + static_cast<int>(bytes.size()) > kImageSize) {
    *why = "the serial number does not fit below 0x10000";
    return std::nullopt;
  }
  std::copy(bytes.begin(), bytes.end(), image.begin() + at);
  return number;
}

}  // namespace velkorn::cli
