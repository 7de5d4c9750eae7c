#include "image/hex_writer.h"

#include <algorithm>

#include "image/hex_codec.h"
#include "image/images.h"

namespace velkorn {

namespace {
constexpr int kBytesPerRecord = 16;
constexpr const char* kEndRecord = ":00000001FF\r\n";
constexpr const char* kLineEnd = "\r\n";
}  // namespace

std::string writeIntelHex(const std::uint8_t* data, int size) {
  size = std::clamp(size, 0, kImageSize);
  if (data == nullptr) size = 0;
  std::string out;
  // ":" + count + address + type + 16 data pairs + checksum + CR LF per record.
  out.reserve(static_cast<std::size_t>(size / kBytesPerRecord + 2) * 45);
  for (int address = 0; address < size; address += kBytesPerRecord) {
    const int count = std::min(kBytesPerRecord, size - address);
    std::string record = ":" + hexByte(static_cast<std::uint8_t>(count)) +
                         hexWord(static_cast<std::uint16_t>(address)) + "00";
    for (int k = 0; k < count; ++k) record += hexByte(data[address + k]);
    out += appendChecksum(record) + kLineEnd;
  }
  out += kEndRecord;
  return out;
}

}  // namespace velkorn
