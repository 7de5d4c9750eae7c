#include "image/hex_file.h"

#include <optional>

#include "image/hex_codec.h"

namespace velkorn {

namespace {

// Record types the loader acts on; the rest (end of file, start addresses) are skipped.
constexpr std::string_view kDataRecord = "00";
constexpr std::string_view kSegmentAddressRecord = "02";  // base = value << 4
constexpr std::string_view kLinearAddressRecord = "04";   // base = value << 16
constexpr std::uint32_t kAddressRecordBytes = 2;          // both carry one 16-bit value

// Fixed 1-based positions of the fields in a line.
constexpr std::size_t kCountPos = 2, kCountLen = 2;
constexpr std::size_t kAddressPos = 4, kAddressLen = 4;
constexpr std::size_t kTypePos = 8, kTypeLen = 2;
constexpr std::size_t kDataPos = 10;  // byte k at 10 + 2k

// The text at a field's fixed positions; shorter (or empty) when the line ends earlier.
std::string_view field(std::string_view line, std::size_t pos1, std::size_t len) {
  const std::size_t start = pos1 - 1;
  if (start >= line.size()) return {};
  return line.substr(start, len);
}

std::optional<std::uint8_t> byteField(std::string_view line, std::size_t pos1) {
  const auto v = parseHex(field(line, pos1, 2));
  if (!v) return std::nullopt;
  return static_cast<std::uint8_t>(*v);
}

}  // namespace

HexLines::HexLines(std::string_view text) : text_(text.substr(0, text.find('\0'))) {
  std::size_t lines = 0;
  std::string_view line;
  while (next(&line)) {
    ++lines;
    if (line.find_first_not_of(" \t") != std::string_view::npos) count_ = lines;
  }
  at_ = 0;
}

bool HexLines::next(std::string_view* line) {
  if (at_ >= text_.size()) return false;
  const std::size_t end = text_.find_first_of("\r\n", at_);
  if (end == std::string_view::npos) {
    *line = text_.substr(at_);
    at_ = text_.size();
    return true;
  }
  *line = text_.substr(at_, end - at_);
  at_ = end + 1;
  if (text_[end] == '\r' && at_ < text_.size() && text_[at_] == '\n') ++at_;
  return true;
}

std::vector<std::string> splitHexLines(std::string_view text) {
  std::vector<std::string> lines;
  HexLines cursor(text);
  for (std::string_view line; cursor.next(&line);) lines.emplace_back(line);
  return lines;
}

std::string hexLineMessage(HexLineError error, int lineNumber) {
  const char* text = "";
  switch (error) {
    case HexLineError::Format: text = "Hex File format error in line "; break;
    case HexLineError::Address: text = "Address error in line "; break;
    case HexLineError::Len: text = "Len error in line "; break;
    case HexLineError::Data: text = "Data error in line "; break;
    case HexLineError::Checksum: text = "Checksum error in line "; break;
  }
  return text + std::to_string(lineNumber);
}

// Records the loader does not act on (end of file, start addresses, unknown types) are
// still checked: a damaged one is a damaged file.
std::vector<HexLineError> HexLineLoader::checkOnly(std::string_view line) {
  const auto count = parseHex(field(line, kCountPos, kCountLen));
  const auto address = parseHex(field(line, kAddressPos, kAddressLen));
  const auto type = parseHex(field(line, kTypePos, kTypeLen));
  if (!count || !address || !type || field(line, kTypePos, kTypeLen).size() < kTypeLen) {
    cutShort_ = line.size() < kDataPos - 1;
    return {HexLineError::Checksum};
  }
  cutShort_ = field(line, kDataPos + 2 * *count, 2).size() < 2;
  unsigned sum = *count + (*address >> 8) + (*address & 0xFF) + *type;
  for (std::uint32_t k = 0; k <= *count; ++k) {  // the data bytes, then the checksum
    const auto b = byteField(line, kDataPos + 2 * k);
    if (!b || field(line, kDataPos + 2 * k, 2).size() < 2) return {HexLineError::Checksum};
    sum += *b;
  }
  if ((sum & 0xFF) != 0) return {HexLineError::Checksum};
  return {};
}

std::vector<HexLineError> HexLineLoader::load(std::string_view line) {
  cutShort_ = false;
  if (line.empty() || line.front() != ':') return {HexLineError::Format};

  const std::string_view type = field(line, kTypePos, kTypeLen);
  const bool data = type == kDataRecord;
  const bool segment = type == kSegmentAddressRecord;
  const bool linear = type == kLinearAddressRecord;
  if (!data && !segment && !linear) return checkOnly(line);

  std::vector<HexLineError> errors;
  const auto address = parseHex(field(line, kAddressPos, kAddressLen));
  if (!address) errors.push_back(HexLineError::Address);
  const auto count = parseHex(field(line, kCountPos, kCountLen));
  if (!count) {
    errors.push_back(HexLineError::Len);
    return errors;  // without a count there are no data bytes to read
  }
  cutShort_ = field(line, kDataPos + 2 * *count, 2).size() < 2;

  std::vector<std::optional<std::uint8_t>> bytes;
  bytes.reserve(*count);
  bool unreadable = false;
  for (std::uint32_t k = 0; k < *count; ++k) {
    bytes.push_back(byteField(line, kDataPos + 2 * k));
    if (!bytes.back()) {
      errors.push_back(HexLineError::Data);
      unreadable = true;
    }
  }

  if (!address) return errors;  // no address of its own: nothing to store
  if (unreadable && !data) return errors;  // a damaged address record moves nothing

  // A record that reads completely must also carry a matching checksum; one that does not
  // read completely is a damaged line already reported, whose readable bytes are still kept.
  if (!unreadable) {
    const std::string_view checksumText = field(line, kDataPos + 2 * *count, 2);
    const auto checksum = checksumText.size() == 2 ? parseHex(checksumText) : std::nullopt;
    unsigned sum = *count + (*address >> 8) + (*address & 0xFF) + *parseHex(type);
    for (const auto& b : bytes) sum += *b;
    if (!checksum || ((sum + *checksum) & 0xFF) != 0) return {HexLineError::Checksum};
  }

  if (!data) {
    if (*count != kAddressRecordBytes) return {HexLineError::Len};
    const std::uint32_t value = (std::uint32_t{*bytes[0]} << 8) | *bytes[1];
    base_ = linear ? value << 16 : value << 4;
    return errors;
  }

  bool outside = false;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (!bytes[k]) continue;
    const std::uint64_t target = std::uint64_t{base_} + *address + k;
    if (target >= static_cast<std::uint64_t>(kImageSize)) {
      // The image has no room past 0xFFFF; say so once per line.
      if (!outside) errors.push_back(HexLineError::Address);
      outside = true;
      continue;
    }
    image_[static_cast<std::size_t>(target)] = *bytes[k];
  }
  return errors;
}

}  // namespace velkorn
