// Splitting a HEX file into lines, and what each line does to the file image.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "image/hex_codec.h"
#include "image/hex_file.h"
#include "support/hex_records.h"

namespace velkorn {
namespace {

using E = HexLineError;

using testing::counting;
using testing::rec;

TEST(HexLines, LineEndsNulAndTheFinalBreak) {
  using L = std::vector<std::string>;
  const struct {
    std::string text;
    L lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r", {"a"}},
      {"\n", {""}},
      {"a\n\n", {"a", ""}},
      {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"a\r\rb", {"a", "", "b"}},
      {"a\n\rb", {"a", "", "b"}},  // LF, then a lone CR
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},
      {std::string("a\0b\nc", 5), {"a"}},
      {std::string("\0abc\n", 5), {}},
      {std::string("a\n\0\n\n", 5), {"a"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(splitHexLines(c.text), c.lines) << ::testing::PrintToString(c.text);
  }
}

// The loader's count leaves out the blank lines after the last record, however many.
TEST(HexLines, CountEndsAtTheLastLineThatIsNotBlank) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0}, {"\n\n\n", 0}, {"a\n \t\n\r\n", 1}, {"a\n\nb\n\n", 3}, {std::string(1 << 20, '\n') + "a", (1 << 20) + 1},
      {"a\n" + std::string(1 << 20, '\n'), 1},
  };
  for (const auto& [text, count] : cases) EXPECT_EQ(HexLines(text).count(), count) << text.size();
}

struct LineCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<E> errors;                // of all lines, in order
  std::map<unsigned, int> stored;       // every byte that must differ from 0xFF afterwards
};

const std::string kData16 = ":10010000000102030405060708090A0B0C0D0E0F";

std::map<unsigned, int> bytesAt(unsigned address, const std::vector<int>& values) {
  std::map<unsigned, int> m;
  for (std::size_t k = 0; k < values.size(); ++k) m[address + static_cast<unsigned>(k)] = values[k];
  return m;
}

TEST(HexLineLoader, TableOfLines) {
  const std::vector<LineCase> cases = {
      {"data record", {kData16 + "77"}, {}, bytesAt(0x100, counting(16))},
      {"lower-case digits", {":10010000000102030405060708090a0b0c0d0e0f77"}, {}, bytesAt(0x100, counting(16))},
      {"trailing text after the checksum", {kData16 + "77  ;x"}, {}, bytesAt(0x100, counting(16))},
      {"byte count 0", {":0000000000"}, {}, {}},
      {"end record", {":00000001FF"}, {}, {}},
      {"end record with a wrong checksum", {":00000001AA"}, {E::Checksum}, {}},
      {"start address records skipped", {":0400000300001234B3", ":0400000500001234B1"}, {}, {}},
      {"start address record with a wrong checksum", {":04000005000012349E"}, {E::Checksum}, {}},
      {"too short to hold the type", {":1000"}, {E::Checksum}, {}},
      {"type field half there", {":1000000"}, {E::Checksum}, {}},
      {"not a type the loader knows", {":0201000A1234AD"}, {}, {}},
      {"empty line", {""}, {E::Format}, {}},
      {"no start mark", {"10010000000102030405060708090A0B0C0D0E0F77"}, {E::Format}, {}},
      {"leading blank", {" " + kData16 + "77"}, {E::Format}, {}},
      {"wrong checksum", {kData16 + "78"}, {E::Checksum}, {}},
      {"checksum missing", {kData16}, {E::Checksum}, {}},
      {"checksum half there", {kData16 + "7"}, {E::Checksum}, {}},
      {"checksum not hex", {kData16 + "7G"}, {E::Checksum}, {}},
      // The count promises one byte more: the checksum reads as data, then none is left.
      {"count one too high", {":11010000000102030405060708090A0B0C0D0E0F77"}, {E::Checksum}, {}},
      // Three more: the checksum is taken as a byte and two bytes lie wholly past the end.
      {"count three too high",
       {":13010000000102030405060708090A0B0C0D0E0F77"},
       {E::Data, E::Data},
       [] {
         auto m = bytesAt(0x100, counting(16));
         m[0x110] = 0x77;
         return m;
       }()},
      // One digit of a pair left: that field still reads as a value.
      {"count three too high, odd length",
       {":13010000000102030405060708090A0B0C0D0E0F775"},
       {E::Data},
       [] {
         auto m = bytesAt(0x100, counting(16));
         m[0x110] = 0x77;
         m[0x111] = 0x05;
         return m;
       }()},
      {"bad hex in the address", {":10G10000000102030405060708090A0B0C0D0E0F77"}, {E::Address}, {}},
      {"bad hex in the count", {":G0010000000102030405060708090A0B0C0D0E0F77"}, {E::Len}, {}},
      {"bad address and bad data", {":02Z10000GG11FF"}, {E::Address, E::Data}, {}},
      {"one unreadable data byte keeps the others", {":03000000AAZZCC00"}, {E::Data}, {{0x0000, 0xAA}, {0x0002, 0xCC}}},
      {"runs past 0xFFFF", {rec(0, 0xFFF8, counting(16, 0x40))}, {E::Address}, bytesAt(0xFFF8, counting(8, 0x40))},
      {"starts at 0xFFFF", {rec(0, 0xFFFF, {0x11, 0x22})}, {E::Address}, {{0xFFFF, 0x11}}},
      {"ends at 0xFFFF exactly", {rec(0, 0xFFF0, counting(16))}, {}, bytesAt(0xFFF0, counting(16))},
      {"later record overwrites", {rec(0, 0x10, {1, 2, 3}), rec(0, 0x11, {9})}, {}, {{0x10, 1}, {0x11, 9}, {0x12, 3}}},
      {"linear base 0", {rec(4, 0, {0, 0}), rec(0, 0x100, {0xAB})}, {}, {{0x100, 0xAB}}},
      {"linear base 1: all data past the image", {rec(4, 0, {0, 1}), rec(0, 0x100, {0xAB})}, {E::Address}, {}},
      {"linear base back to 0", {rec(4, 0, {0, 1}), rec(4, 0, {0, 0}), rec(0, 0x20, {0x5A})}, {}, {{0x20, 0x5A}}},
      {"largest linear base does not wrap", {rec(4, 0, {0xFF, 0xFF}), rec(0, 0xFFFF, counting(255))}, {E::Address}, {}},
      {"segment base 0x1000", {rec(2, 0, {0x01, 0x00}), rec(0, 0x0020, {7, 8})}, {}, {{0x1020, 7}, {0x1021, 8}}},
      {"segment base 0xFFF0, record runs past the end",
       {rec(2, 0, {0x0F, 0xFF}), rec(0, 0x0008, counting(16))},
       {E::Address},
       bytesAt(0xFFF8, counting(8))},
      {"segment base 0x10000", {rec(2, 0, {0x10, 0x00}), rec(0, 0, {1})}, {E::Address}, {}},
      {"address record with a wrong checksum moves nothing",
       {":020000040001F8", rec(0, 0x30, {0x33})},
       {E::Checksum},
       {{0x30, 0x33}}},
      {"address record with one byte", {rec(4, 0, {1})}, {E::Len}, {}},
      {"address record with an unreadable value", {":02000004ZZ01F9"}, {E::Data}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Image image;
    image.fill(kErasedByte);
    HexLineLoader loader(image);
    std::vector<E> errors;
    for (const auto& line : c.lines) {
      const auto e = loader.load(line);
      errors.insert(errors.end(), e.begin(), e.end());
    }
    EXPECT_EQ(errors, c.errors);
    for (unsigned a = 0; a < static_cast<unsigned>(kImageSize); ++a) {
      const auto it = c.stored.find(a);
      const int want = it == c.stored.end() ? kErasedByte : it->second;
      if (image[a] != want) {
        ADD_FAILURE() << "address " << std::hex << a << ": " << int{image[a]} << " instead of " << want;
        break;
      }
    }
  }
}

// A line that ends before its checksum pair is a file cut off there.
TEST(HexLineLoader, CutShortLines) {
  const std::pair<std::string, bool> cases[] = {
      {kData16 + "77", false}, {kData16, true},     {kData16 + "7", true},       {":00000001FF", false},
      {":00000001", true},     {":1000", true},     {":13010000000102030405060708090A0B0C0D0E0F77", true},
  };
  for (const auto& [line, cut] : cases) {
    Image image;
    HexLineLoader loader(image);
    loader.load(line);
    EXPECT_EQ(loader.cutShort(), cut) << line;
  }
}

}  // namespace
}  // namespace velkorn
