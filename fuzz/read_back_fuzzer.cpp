// "Read Chip" against a bootloader whose answers to the read requests come from the
// fuzzer. The first byte picks the chip size (256 << (byte % 8): 256 bytes to 32 KiB); the
// rest is split into one answer per read request (FuzzedDataProvider's random-length
// strings: a backslash and any other character end one). Every record is echoed first;
// synchronisation and the device information always succeed.
//
// Properties: the file image and the chip image past the chip size stay untouched, every
// request lies inside the chip, and the read is Done only when each block's last answer
// held sixteen well-formed lines for that block, whose bytes are what the chip image holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "isp/engine.h"
#include "scripted_bench.h"
#include "strict_hex.h"

using namespace velkorn;

namespace {

constexpr int kBlock = 256;
constexpr std::size_t kLongestAnswer = 1000;
constexpr std::uint32_t kReadTimeoutMs = 20;  // what an empty read costs on the line
constexpr std::uint8_t kFileMark = 0xA5, kChipMark = 0x5A;

class AnswerLink final : public isp::Link {
 public:
  struct Request {
    std::uint32_t block;
    std::string answer;
  };
  std::vector<Request> requests;

  AnswerLink(FuzzedDataProvider& input, fuzz::BenchClock& clock) : input_(input), clock_(clock) {}

  bool isOpen() const override { return true; }
  velkorn::Status setBaudRate(int) override { return {}; }
  isp::LinkCapabilities capabilities() const override { return {true, false, false}; }

  velkorn::Status writeBytes(std::string_view bytes) override {
    at_ = 0;
    if (bytes == "U") {
      pending_ = "U";
      return {};
    }
    pending_ = std::string(bytes);  // the echo
    if (bytes.substr(0, 9) == ":05000004") {
      const auto block = fuzz::hexAt(bytes, 9, 4);
      FUZZ_CHECK(block.has_value());
      requests.push_back({*block, input_.ConsumeRandomLengthString(kLongestAnswer)});
      pending_ += requests.back().answer;
    } else if (bytes.substr(0, 9) == ":02000005") {
      // Manufacturer 58, family D7, everything else FF: a known device, nothing locked.
      const std::string_view which = bytes.substr(9, 4);
      pending_ += which == "0000" ? "58." : which == "0001" ? "D7." : "FF.";
    } else {
      pending_ += ".";
    }
    return {};
  }

  velkorn::Result<isp::LinkRead> readByte() override {
    if (at_ < pending_.size()) return isp::LinkRead{1, static_cast<std::uint8_t>(pending_[at_++])};
    clock_.advance(kReadTimeoutMs);
    return isp::LinkRead{};
  }

 private:
  FuzzedDataProvider& input_;
  fuzz::BenchClock& clock_;
  std::string pending_;
  std::size_t at_ = 0;
};

// The 256 bytes of a read answer for `block`: sixteen lines of CR LF, the line's address in
// four hex digits, "=" and sixteen hex pairs. nullopt when any of it is missing or wrong.
std::optional<std::array<std::uint8_t, kBlock>> blockBytes(std::string_view answer, std::uint32_t block) {
  constexpr std::size_t kLine = 39;
  std::array<std::uint8_t, kBlock> bytes{};
  for (std::size_t k = 0; k < 16; ++k) {
    const std::string_view line = answer.substr(std::min(answer.size(), k * kLine), kLine);
    if (line.size() < kLine || line[0] != '\r' || line[1] != '\n' || line[6] != '=') return std::nullopt;
    if (fuzz::hexAt(line, 2, 4) != block + 16 * k) return std::nullopt;
    for (std::size_t i = 0; i < 16; ++i) {
      const auto b = fuzz::hexAt(line, 7 + 2 * i, 2);
      if (!b) return std::nullopt;
      bytes[16 * k + i] = static_cast<std::uint8_t>(*b);
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int chipSize = kBlock << (data[0] % 8);
  FuzzedDataProvider input(data + 1, size - 1);

  fuzz::BenchClock clock;
  AnswerLink link(input, clock);
  fuzz::BenchPerson person;
  const auto engine = std::make_unique<isp::Engine>(link, person, person, person, clock);
  MemoryImages& images = engine->images();
  images.chipSize = chipSize;
  images.fileImage.fill(kFileMark);
  images.chipImage.fill(kChipMark);

  const isp::Outcome outcome = engine->readChip();

  FUZZ_CHECK(images.chipSize == chipSize);
  FUZZ_CHECK(std::all_of(images.fileImage.begin(), images.fileImage.end(), [](std::uint8_t b) { return b == kFileMark; }));
  FUZZ_CHECK(std::all_of(images.chipImage.begin() + chipSize, images.chipImage.end(),
                         [](std::uint8_t b) { return b == kChipMark; }));
  for (const auto& r : link.requests) FUZZ_CHECK(r.block % kBlock == 0 && r.block < static_cast<std::uint32_t>(chipSize));

  if (outcome.kind == isp::OutcomeKind::NotVerified) {
    FUZZ_CHECK(outcome.address >= 0 && outcome.address < chipSize && outcome.count > 0);
  }
  if (outcome.done()) {
    for (std::uint32_t block = 0; block < static_cast<std::uint32_t>(chipSize); block += kBlock) {
      const auto last = std::find_if(link.requests.rbegin(), link.requests.rend(),
                                     [block](const AnswerLink::Request& r) { return r.block == block; });
      FUZZ_CHECK(last != link.requests.rend());
      const auto bytes = blockBytes(last->answer, block);
      FUZZ_CHECK(bytes.has_value());
      FUZZ_CHECK(std::equal(bytes->begin(), bytes->end(), images.chipImage.begin() + block));
    }
  }
  return 0;
}
