// Thousands of damaged HEX files, made deterministically from good ones: the loader must
// never crash, never write outside the image, and never store a changed byte silently.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "image/hex_codec.h"
#include "image/hex_file.h"
#include "image/hex_writer.h"

namespace velkorn {
namespace {

constexpr std::uint8_t kGuardByte = 0xA5;

// The image with guard bands on both sides: a write past either end lands in a guard.
struct GuardedImage {
  std::array<std::uint8_t, 256> before;
  Image image;
  std::array<std::uint8_t, 256> after;

  GuardedImage() {
    before.fill(kGuardByte);
    after.fill(kGuardByte);
    image.fill(kErasedByte);
  }
  bool guardsIntact() const {
    for (std::size_t i = 0; i < before.size(); ++i)
      if (before[i] != kGuardByte || after[i] != kGuardByte) return false;
    return true;
  }
};

std::vector<HexLineError> loadText(const std::string& text, Image& image) {
  HexLineLoader loader(image);
  std::vector<HexLineError> all;
  for (const auto& line : splitHexLines(text)) {
    const auto e = loader.load(line);
    all.insert(all.end(), e.begin(), e.end());
  }
  return all;
}

std::string record(int type, unsigned address, const std::vector<std::uint8_t>& data) {
  std::string r = ":" + hexByte(static_cast<std::uint8_t>(data.size())) +
                  hexWord(static_cast<std::uint16_t>(address)) + hexByte(static_cast<std::uint8_t>(type));
  for (auto b : data) r += hexByte(b);
  return appendChecksum(r);
}

// Good files of several shapes: sparse 16-bit data, records near the top of the image,
// extended address records, long records, lower case, mixed line ends.
std::vector<std::string> seedFiles(std::mt19937& random) {
  std::vector<std::string> seeds;
  auto bytes = [&](std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(random());
    return v;
  };
  {
    std::vector<std::uint8_t> image(0x200);
    for (auto& b : image) b = static_cast<std::uint8_t>(random());
    seeds.push_back(writeIntelHex(image.data(), static_cast<int>(image.size())));
  }
  {
    std::string f;
    for (unsigned a : {0x0000u, 0x1230u, 0x8000u, 0xFFE0u, 0xFFF8u}) f += record(0, a, bytes(16)) + "\n";
    f += ":00000001FF\n";
    seeds.push_back(f);
  }
  {
    std::string f = record(4, 0, {0x00, 0x00}) + "\r\n" + record(0, 0x0100, bytes(32)) + "\r\n" +
                    record(2, 0, {0x0F, 0xF0}) + "\r\n" + record(0, 0x00F0, bytes(16)) + "\r\n" +
                    record(4, 0, {0x00, 0x01}) + "\r\n" + record(0, 0x0000, bytes(8)) + "\r\n" +
                    record(4, 0, {0xFF, 0xFF}) + "\r\n" + record(0, 0xFFFF, bytes(255)) + "\r\n";
    seeds.push_back(f);
  }
  {
    std::string f = record(0, 0x4000, bytes(255)) + "\r" + record(0, 0x4100, bytes(0)) + "\r";
    for (auto& c : f) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    seeds.push_back(f + ":00000001ff\r");
  }
  return seeds;
}

char randomChar(std::mt19937& random) {
  static const char kAlphabet[] = "0123456789ABCDEFabcdef:\r\n G";
  if (random() % 8 == 0) return static_cast<char>(random());  // any byte, NUL included
  return kAlphabet[random() % (sizeof kAlphabet - 1)];
}

std::string mutate(std::string text, std::mt19937& random) {
  const int steps = 1 + static_cast<int>(random() % 4);
  for (int s = 0; s < steps && !text.empty(); ++s) {
    const std::size_t at = random() % text.size();
    switch (random() % 6) {
      case 0: text[at] = randomChar(random); break;
      case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), randomChar(random)); break;
      case 2: text.erase(at, 1 + random() % 8); break;
      case 3: text.resize(at); break;
      case 4: {  // repeat a stretch, as a botched copy would
        const std::size_t len = std::min<std::size_t>(1 + random() % 64, text.size() - at);
        text.insert(at, text.substr(at, len));
        break;
      }
      default: {  // a raised count promises far more than the line holds
        const std::size_t colon = text.rfind(':', at);
        if (colon != std::string::npos && colon + 2 < text.size()) {
          text[colon + 1] = 'F';
          text[colon + 2] = 'F';
        }
        break;
      }
    }
  }
  return text;
}

TEST(HexFuzz, DamagedFilesNeverWriteOutsideTheImage) {
  std::mt19937 random(0x8051);
  const auto seeds = seedFiles(random);
  int files = 0, withErrors = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string text = mutate(seeds[static_cast<std::size_t>(round) % seeds.size()], random);
    GuardedImage g;
    if (!loadText(text, g.image).empty()) ++withErrors;
    ++files;
    ASSERT_TRUE(g.guardsIntact()) << "round " << round << ":\n" << text;
  }
  // Most damage must be noticed; a loader that reports nothing is not checking at all.
  EXPECT_GT(withErrors, files / 2);
}

TEST(HexFuzz, RandomBytesAreHandled) {
  std::mt19937 random(1951);
  for (int round = 0; round < 500; ++round) {
    std::string text(random() % 2048, '\0');
    for (auto& c : text) c = random() % 4 == 0 ? ':' : randomChar(random);
    GuardedImage g;
    loadText(text, g.image);
    ASSERT_TRUE(g.guardsIntact()) << "round " << round;
  }
}

// One changed character in a good 16-bit file is either reported, or costs only bytes that
// stay 0xFF (a line skipped as an unknown type); it never stores a byte the file did not hold.
TEST(HexFuzz, OneChangedCharacterNeverStoresAWrongByteSilently) {
  std::mt19937 random(4242);
  std::vector<std::uint8_t> source(0x100);
  for (auto& b : source) b = static_cast<std::uint8_t>(random());
  const std::string good = writeIntelHex(source.data(), static_cast<int>(source.size()));
  static const char kReplacements[] = "0123456789ABCDEFabcdefGZ: ";
  Image reference;
  reference.fill(kErasedByte);
  const std::span<const std::uint8_t> erased(reference.data(), reference.size() - source.size());
  int silent = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string text = good;
    const std::size_t at = random() % text.size();
    if (text[at] == '\r' || text[at] == '\n') continue;
    text[at] = kReplacements[random() % (sizeof kReplacements - 1)];
    GuardedImage g;
    if (!loadText(text, g.image).empty()) continue;
    ++silent;
    for (std::size_t a = 0; a < source.size(); ++a) {
      if (g.image[a] != kErasedByte && g.image[a] != source[a]) {
        FAIL() << "round " << round << " changed position " << at << ", address " << a;
      }
    }
    ASSERT_EQ(std::memcmp(g.image.data() + source.size(), erased.data(), erased.size()), 0) << "round " << round;
  }
  EXPECT_GT(silent, 0);  // case changes of digits and skipped lines do occur
}

}  // namespace
}  // namespace velkorn
