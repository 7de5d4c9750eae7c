#include "image/hex_writer.h"

#include <algorithm>

#include "image/hex_codec.h"

namespace velkorn {

namespace {
constexpr int kBytesPerRecord = 16;
constexpr const char* kEndRecord = ":00000001FF\r\n";
constexpr const char* kLineEnd = "\r\n";

// The records of the bytes `present` says (all of them when null).
std::string writeRecords(const std::uint8_t* data, int size, const std::bitset<kImageSize>* present) {
  size = std::clamp(size, 0, kImageSize);
  if (data == nullptr) size = 0;
  const auto has = [present](int at) { return present == nullptr || present->test(static_cast<std::size_t>(at)); };
  std::string out;
  // ":" + count + address + type + 16 data pairs + checksum + CR LF per record.
  out.reserve(static_cast<std::size_t>(size / kBytesPerRecord + 2) * 45);
  for (int row = 0; row < size; row += kBytesPerRecord) {
    const int rowEnd = std::min(row + kBytesPerRecord, size);
    for (int address = row; address < rowEnd;) {
      if (!has(address)) {
        ++address;
        continue;
      }
      int end = address;
      while (end < rowEnd && has(end)) ++end;
      std::string record = ":" + hexByte(static_cast<std::uint8_t>(end - address)) +
                           hexWord(static_cast<std::uint16_t>(address)) + "00";
      for (int k = address; k < end; ++k) record += hexByte(data[k]);
      out += appendChecksum(record) + kLineEnd;
      address = end;
    }
  }
  out += kEndRecord;
  return out;
}

}  // namespace

std::string writeIntelHex(const std::uint8_t* data, int size) { return writeRecords(data, size, nullptr); }

std::string writeIntelHex(const std::uint8_t* data, int size, const std::bitset<kImageSize>& present) {
  return writeRecords(data, size, &present);
}

}  // namespace velkorn
