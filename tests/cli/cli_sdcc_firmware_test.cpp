// Firmware from a real compiler: sdcc's image of tests/firmware/sine_pwm.c (records of 32
// bytes, out of address order, across block boundaries) programmed with velkorn-cli, read
// back and compared with the binary that objcopy made of the same image. Neither the
// expected bytes nor the HEX reading behind them come from this program's own code.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_fixture.h"
#include "process.h"

namespace velkorn::testing {
namespace {

using SdccFirmwareTest = CliFixture;

// The first address where `chip` differs from `image` (0xFF past its end), or -1.
[[maybe_unused]] long firstDifference(const std::string& chip, const std::string& image) {
  for (std::size_t a = 0; a < chip.size(); ++a) {
    const char expected = a < image.size() ? image[a] : '\xFF';
    if (chip[a] != expected) return static_cast<long>(a);
  }
  return -1;
}

// The CRC-32 gzip records in its trailer for `bytes`: zlib's sum, computed by another program.
[[maybe_unused]] std::string gzipCrc(const std::string& bytes, const std::string& scratch) {
  { std::ofstream(scratch, std::ios::binary) << bytes; }
  const RunResult gz = run({"/bin/sh", "-c", "gzip -c < '" + scratch + "' | tail -c 8 | od -An -tx4 -N4"});
  std::string hex;
  for (char c : gz.out) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return hex;
}

TEST_F(SdccFirmwareTest, ProgrammedFirmwareReadsBackAsTheCompilerBuiltIt) {
#ifndef VELKORN_SDCC_FIRMWARE
  GTEST_SKIP() << "sdcc is not installed, so the test firmware was not built "
                  "(scripts/install-deps.sh tests installs it; then configure again)";
#else
  const std::string hexFile = VELKORN_SDCC_FIRMWARE ".ihx";
  const std::string image = readFile(VELKORN_SDCC_FIRMWARE ".bin");
  // The image must be the one the test means: code from 0, tables up to 0x7BFF.
  ASSERT_EQ(image.size(), 0x7C00u) << VELKORN_SDCC_FIRMWARE ".bin";
  ASSERT_EQ(image[0], '\x02');  // LJMP to the start-up code
  ASSERT_EQ(image.substr(0x7BE3, 7), "velkorn");

  const struct {
    const char* name;
    std::vector<std::string> target;
    std::size_t size;
    std::size_t limit;  // the comparison's end
  } parts[] = {{"64 KiB part", {}, 0x10000, 0xFC00}, {"32 KiB part", {"--32k"}, 0x8000, 0x8000}};
  for (const auto& part : parts) {
    SCOPED_TRACE(part.name);
    auto target = startTarget({}, part.target);
    const RunResult programmed = cli(target->port(), {"program", hexFile});
    EXPECT_EQ(programmed.status, 0) << programmed.err;
    // The result names the compiler's image by its CRC-32 over everything compared.
    std::string compared = image;
    compared.resize(part.limit, '\xFF');
    char range[32];
    std::snprintf(range, sizeof range, " over 0x0000-0x%04zX)", part.limit - 1);
    EXPECT_EQ(programmed.out, "Programmed and verified " + hexFile + " (CRC-32 " +
                                  gzipCrc(compared, path("compared.bin").string()) + range + "\n");

    const std::string out = path("chip.bin").string();
    const RunResult read = cli(target->port(), {"read", "--force", out});
    EXPECT_EQ(read.status, 0) << read.err;
    const std::string chip = readFile(out);
    EXPECT_EQ(chip.size(), part.size);
    EXPECT_EQ(firstDifference(chip, image), -1) << "read back";

    const Flash flash = flashAfter(*target);
    EXPECT_EQ(firstDifference(std::string(flash.begin(), flash.end()), image), -1) << "the simulated flash";
  }
#endif
}

}  // namespace
}  // namespace velkorn::testing
