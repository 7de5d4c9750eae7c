// The writer behind the command line's "read": what it writes must load back unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "image/hex_file.h"
#include "image/hex_writer.h"

namespace velkorn {
namespace {

TEST(HexWriter, ExactTextOfSmallImages) {
  std::uint8_t bytes[17];
  for (int i = 0; i < 17; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const std::uint8_t three[] = {0x00, 0x01, 0xAB};
  const struct {
    const char* name;
    const std::uint8_t* data;
    int size;
    std::string text;
  } cases[] = {
      {"nothing", three, 0, ":00000001FF\r\n"},
      {"negative size", three, -5, ":00000001FF\r\n"},
      {"no data", nullptr, 16, ":00000001FF\r\n"},
      {"three bytes", three, 3, ":030000000001AB51\r\n:00000001FF\r\n"},
      {"a full record and a short last one", bytes, 17,
       ":10000000000102030405060708090A0B0C0D0E0F78\r\n:0100100010DF\r\n:00000001FF\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(writeIntelHex(c.data, c.size), c.text) << c.name;
  }
}

TEST(HexWriter, WhatItWritesLoadsBackIntoTheSameBytes) {
  std::mt19937 random(20240611);
  for (const int size : {1, 15, 16, 17, 0x7C00, 0x8000, 0xFFF1, 0x10000, 0x10001}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> source(0x10001);
    for (auto& b : source) b = static_cast<std::uint8_t>(random());
    const std::string text = writeIntelHex(source.data(), size);

    Image image;
    image.fill(kErasedByte);
    HexLineLoader loader(image);
    const auto lines = splitHexLines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      ASSERT_TRUE(loader.load(lines[i]).empty()) << "line " << i + 1 << ": " << lines[i];
    }
    const int written = std::min(size, kImageSize);
    EXPECT_EQ(lines.size(), static_cast<std::size_t>((written + 15) / 16 + 1));
    EXPECT_EQ(lines.back(), ":00000001FF");
    for (int a = 0; a < kImageSize; ++a) {
      const int want = a < written ? source[static_cast<std::size_t>(a)] : kErasedByte;
      ASSERT_EQ(image[static_cast<std::size_t>(a)], want) << "address " << a;
    }
  }
}

}  // namespace
}  // namespace velkorn
