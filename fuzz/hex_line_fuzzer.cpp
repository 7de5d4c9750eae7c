// HEX text split into lines and each line through the line loader: nothing lands outside
// the bytes the record names, a damaged record stores nothing, a well-formed one is taken
// exactly.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "check.h"
#include "image/hex_file.h"
#include "strict_hex.h"

using namespace velkorn;

namespace {

bool has(const std::vector<HexLineError>& errors, HexLineError e) {
  return std::find(errors.begin(), errors.end(), e) != errors.end();
}

bool sameOutside(const Image& a, const Image& b, std::uint64_t lo, std::uint64_t hi) {
  lo = std::min<std::uint64_t>(lo, kImageSize);
  hi = std::min<std::uint64_t>(std::max(hi, lo), kImageSize);
  return std::memcmp(a.data(), b.data(), lo) == 0 && std::memcmp(a.data() + hi, b.data() + hi, kImageSize - hi) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = splitHexLines(text);

  // Every character before the first NUL, except the line ends, is in exactly one line.
  const std::string_view kept = text.substr(0, text.find('\0'));
  std::size_t chars = 0;
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
    chars += line.size();
  }
  FUZZ_CHECK(chars == kept.size() - static_cast<std::size_t>(std::count_if(kept.begin(), kept.end(), [](char c) {
                       return c == '\r' || c == '\n';
                     })));

  static Image image, before;
  image.fill(0xFF);
  HexLineLoader loader(image);
  for (const std::string& line : lines) {
    before = image;
    const std::uint32_t base = loader.baseAddress();
    const std::vector<HexLineError> errors = loader.load(line);

    // Only base + address + [0, count) may change, and only when both fields read.
    const auto count = fuzz::hexAt(line, 1, 2);
    const auto address = fuzz::hexAt(line, 3, 4);
    if (count && address) {
      FUZZ_CHECK(sameOutside(image, before, std::uint64_t{base} + *address, std::uint64_t{base} + *address + *count));
    } else {
      FUZZ_CHECK(image == before);
    }
    if (has(errors, HexLineError::Format) || has(errors, HexLineError::Len) || has(errors, HexLineError::Checksum)) {
      FUZZ_CHECK(image == before);
    }

    const auto record = fuzz::strictRecord(line);
    if (!record) continue;
    const std::size_t n = record->data.size();
    switch (record->type) {
      case 0x00:
        if (std::uint64_t{base} + record->address + n <= kImageSize) {
          FUZZ_CHECK(errors.empty());
          FUZZ_CHECK(std::equal(record->data.begin(), record->data.end(), image.begin() + base + record->address));
        }
        FUZZ_CHECK(loader.baseAddress() == base);
        break;
      case 0x02:
      case 0x04:
        if (n == 2) {
          FUZZ_CHECK(errors.empty());
          const std::uint32_t value = record->data[0] << 8 | record->data[1];
          FUZZ_CHECK(loader.baseAddress() == (record->type == 0x04 ? value << 16 : value << 4));
        }
        FUZZ_CHECK(image == before);
        break;
      default:  // end of file, start addresses, unknown types: checked, never acted on
        FUZZ_CHECK(errors.empty());
        FUZZ_CHECK(image == before);
        FUZZ_CHECK(loader.baseAddress() == base);
    }
  }
  return 0;
}
