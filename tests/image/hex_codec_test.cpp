// The one hex codec behind the loader, the writer and the bootloader's command records.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "image/failures.h"
#include "image/hex_codec.h"

namespace velkorn {
namespace {

TEST(HexCodec, ParseHexReadsDigitsOfEitherCaseAndRejectsEverythingElse) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> value;
  };
  const Case cases[] = {
      {"0", 0u},           {"F", 15u},          {"f", 15u},           {"7f", 0x7Fu},
      {"aB", 0xABu},       {"FFFF", 0xFFFFu},   {"0010", 0x10u},      {"FFFFFFFF", 0xFFFFFFFFu},
      {"", std::nullopt},  {"G0", std::nullopt}, {"0x10", std::nullopt}, {" 1", std::nullopt},
      {"1 ", std::nullopt}, {"-1", std::nullopt}, {"+1", std::nullopt},  {":1", std::nullopt},
      {"123456789", std::nullopt},  // more than 32 bits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseHex(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(HexCodec, HexToIntNamesTheOffendingTextInItsFailure) {
  EXPECT_EQ(hexToInt("C3"), 0xC3u);
  for (const char* bad : {"", "ZZ", "5."}) {
    try {
      hexToInt(bad);
      ADD_FAILURE() << "no failure for \"" << bad << '"';
    } catch (const InvalidInteger& e) {
      EXPECT_EQ(std::string(e.what()), invalidIntegerText(bad));
    }
  }
}

// The bootloader's fixed records and the two built ones, as they go out on the line.
TEST(HexCodec, AppendChecksumGivesTheRecordsAsSent) {
  const struct {
    const char* record;
    const char* sent;
  } cases[] = {
      {":0100000307", ":0100000307F5"},
      {":020000050000", ":020000050000F9"},
      {":020000050001", ":020000050001F8"},
      {":020000050002", ":020000050002F7"},
      {":020000050003", ":020000050003F6"},
      {":020000050700", ":020000050700F2"},
      {":020000050701", ":020000050701F1"},
      {":020000050702", ":020000050702F0"},
      {":020000050703", ":020000050703EF"},
      {":020000050800", ":020000050800F1"},
      {":020000050B00", ":020000050B00EE"},
      {":020000050F00", ":020000050F00EA"},
      {":10010000000102030405060708090A0B0C0D0E0F", ":10010000000102030405060708090A0B0C0D0E0F77"},
      {":05000004000000FF00", ":05000004000000FF00F8"},
      {":00000001", ":00000001FF"},
      {":", ":00"},  // no pairs: the sum is 0
  };
  for (const auto& c : cases) {
    EXPECT_EQ(appendChecksum(c.record), c.sent) << c.record;
  }
}

TEST(HexCodec, ChecksumOfANonHexPairIsAFailureNotAGuess) {
  EXPECT_THROW(recordChecksum(":01G0"), InvalidInteger);
  EXPECT_THROW(recordChecksum(":0100 0"), InvalidInteger);
}

}  // namespace
}  // namespace velkorn
