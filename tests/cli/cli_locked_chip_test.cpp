// velkorn-cli against a locked chip: velkorn-target refuses what the security byte forbids,
// and no command may claim a success the chip did not let happen.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_fixture.h"
#include "process.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;

using LockedChipTest = CliFixture;

// Security bytes as velkorn-target takes them: bit 0 clear is "Lock Erase, Prog.", bit 4
// clear "Lock Erase, Prog., Read, Blank Check".
const std::string kLevel1 = "FE";
const std::string kLevel2 = "EF";

// Each command on a chip that will not let it happen: exit 1, nothing on stdout but the
// failed JSON result, no output file, and the flash as it was.
TEST_F(LockedChipTest, NoCommandSucceedsWhereTheLockForbidsIt) {
  const Flash blank(0x10000, 0xFF);
  const std::string out = path("out.hex").string();
  struct Case {
    const char* name;
    Flash preset;
    std::vector<std::string> target, args;
  };
  const Case cases[] = {
      // The erase would end the lock; refused, it leaves the data records refused.
      {"program, level 1", blank, {"--security", kLevel1, "--refuse-erase"}, {"program", kBlinky}},
      {"program, level 2", blank, {"--security", kLevel2, "--refuse-erase"}, {"program", kBlinky}},
      {"read", blinkyFlash(), {"--security", kLevel2}, {"read", out}},
      {"read to stdout", blinkyFlash(), {"--security", kLevel2}, {"read", "-"}},
      {"read a blank chip once", blank, {"--security", kLevel2}, {"read", "--single-read", out}},
      {"verify", blinkyFlash(), {"--security", kLevel2}, {"verify", kBlinky}},
      {"verify the whole chip", blinkyFlash(), {"--security", kLevel2}, {"verify", "--full-verify", kBlinky}},
      {"diff", blinkyFlash(), {"--security", kLevel2}, {"diff", kBlinky}},
  };
  for (const Case& c : cases) {
    for (const bool json : {false, true}) {
      if (json && c.args.back() == "-") continue;  // stdout holds the data, not a result
      SCOPED_TRACE(std::string(c.name) + (json ? ", --json" : ""));
      auto target = startTarget(c.preset, c.target);
      std::vector<std::string> args = c.args;
      if (json) args.insert(args.begin(), "--json");
      const RunResult r = cli(target->port(), args);
      EXPECT_EQ(r.status, 1) << r.err;
      if (json) {
        EXPECT_NE(r.out.find("\"ok\":false"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\"ok\":true"), std::string::npos) << r.out;
      } else {
        EXPECT_EQ(r.out, "");
      }
      EXPECT_FALSE(fs::exists(out));
      EXPECT_TRUE(flashAfter(*target) == c.preset);
    }
  }
}

// A lock written by the command line holds until the erase ends it; the erase, and a
// program (which erases first), work on a locked chip.
TEST_F(LockedChipTest, LocksHoldUntilTheErase) {
  auto target = startTarget(blinkyFlash());
  const std::string out = path("out.hex").string();
  const auto locks = [&] {
    const RunResult info = cli(target->port(), {"info"});
    EXPECT_EQ(info.status, 0) << info.err;
    const bool lock0 = info.out.find("Lock Erase, Prog.: yes\n") != std::string::npos;
    const bool lock1 = info.out.find("Lock Erase, Prog., Read, Blank Check: yes\n") != std::string::npos;
    return std::to_string(lock0) + std::to_string(lock1);
  };

  const RunResult locked = cli(target->port(), {"boot", "--lock0", "--lock1"});
  EXPECT_EQ(locked.status, 0) << locked.err;
  EXPECT_EQ(locks(), "11");
  EXPECT_EQ(cli(target->port(), {"read", out}).status, 1);
  EXPECT_FALSE(fs::exists(out));

  const RunResult erased = cli(target->port(), {"erase"});
  EXPECT_EQ(erased.status, 0) << erased.err;
  EXPECT_EQ(locks(), "00");
  const RunResult read = cli(target->port(), {"read", path("out.bin").string()});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(readFile(path("out.bin").string()) == std::string(0x10000, '\xFF'));
  target->stop();

  for (const std::string& level : {kLevel1, kLevel2}) {
    SCOPED_TRACE("program on a chip locked with " + level);
    Flash old(0x10000, 0xFF);
    old[0x0200] = 0x00;
    auto lockedChip = startTarget(old, {"--security", level});
    const RunResult r = cli(lockedChip->port(), {"program", kBlinky});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Programmed and verified " + kBlinky + kBlinkyProof + "\n");
    EXPECT_TRUE(flashAfter(*lockedChip) == blinkyFlash());
  }
}

}  // namespace
}  // namespace velkorn::testing
