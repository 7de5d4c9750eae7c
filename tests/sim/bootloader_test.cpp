// The simulated bootloader as the programmer sees it: echoes, answers and flash contents.
#include "sim/bootloader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace velkorn::sim {
namespace {

// A synchronised target (the autobaud "U" already answered).
Bootloader synced(DeviceProfile profile = {}) {
  Bootloader b(profile);
  EXPECT_EQ(b.receive("U"), "U");
  return b;
}

// What follows the echo of `record` when it is sent to `b`.
std::string answerTo(Bootloader& b, const std::string& record) {
  const std::string reply = b.receive(record);
  if (reply.compare(0, record.size(), record) != 0) {
    ADD_FAILURE() << "no echo for " << record << ", got [" << reply << "]";
    return reply;
  }
  return reply.substr(record.size());
}

// The record with its checksum pair appended (for records not quoted literally).
std::string withChecksum(const std::string& body) {
  unsigned sum = 0;
  for (std::size_t i = 1; i + 1 < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
  char cs[3];
  std::snprintf(cs, sizeof cs, "%02X", (256 - (sum & 0xFFu)) & 0xFFu);
  return body + cs;
}

// The answer to a read request for the 256-byte block at `block`, built from the flash.
std::string readLines(unsigned block, const std::array<std::uint8_t, 0x10000>& flash) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (unsigned line = block; line < block + 256; line += 16) {
    char addr[9];
    std::snprintf(addr, sizeof addr, "%04X", line & 0xFFFFu);
    s += std::string("\r\n") + addr + "=";
    for (unsigned a = line; a < line + 16; ++a) {
      s += kDigits[flash[a] >> 4];
      s += kDigits[flash[a] & 15];
    }
  }
  return s + "\r\n";
}

struct RecordCase {
  const char* name;
  DeviceProfile profile;
  std::string record;
  std::string answer;
};

DeviceProfile ed2() {
  DeviceProfile p;
  p.product = 0xEF;
  return p;
}

DeviceProfile withValues() {
  DeviceProfile p;
  p.securityByte = 0x11;
  p.bootStatus = 0x00;
  p.bootVector = 0xF8;
  p.hardwareSecurity = 0x7B;
  p.bootloaderVersion = 0x2A;
  p.memoryCode = 0xF7;
  return p;
}

TEST(BootloaderRecords, EachRecordGetsItsAnswer) {
  const std::vector<RecordCase> cases = {
      {"manufacturer", {}, ":020000050000F9", "58."},
      {"family", {}, ":020000050001F8", "D7."},
      {"memory code", {}, ":020000050002F7", "FC."},
      {"memory code 32k", withValues(), ":020000050002F7", "F7."},
      {"product", {}, ":020000050003F6", "FF."},
      {"product ed2", ed2(), ":020000050003F6", "EF."},
      {"security", withValues(), ":020000050700F2", "11."},
      {"bsb", withValues(), ":020000050701F1", "00."},
      {"sbv", withValues(), ":020000050702F0", "F8."},
      {"hsb rd2", withValues(), ":020000050703EF", "7B."},
      {"version rd2", withValues(), ":020000050800F1", "2A."},
      {"hsb ed2", ed2(), ":020000050B00EE", "FB."},
      {"version ed2", ed2(), ":020000050F00EA", "12."},
      {"hsb ed2 record on rd2", {}, ":020000050B00EE", "X"},
      {"version rd2 record on ed2", ed2(), ":020000050800F1", "X"},
      {"unknown sub-record", {}, ":020000050004F5", "X"},
      {"blank check on blank chip", {}, ":050000040000FFBF0138", "."},
      {"erase", {}, ":0100000307F5", "."},
      {"lock level 1", {}, ":020000030500F6", "."},
      {"lock level 2", {}, ":020000030501F5", "."},
      {"bljb set", {}, ":030000030A0401EB", "."},
      {"bljb cleared", {}, ":030000030A0400EC", "."},
      {"closing record", {}, ":03000003060000F4", "."},
      {"data record", {}, ":10010000000102030405060708090A0B0C0D0E0F77", "."},
      {"bad checksum", {}, ":020000050000F8", "X"},
      {"unknown type", {}, ":0100000607F2", "X"},
      {"unknown write", {}, ":020000030600F5", "X"},
      {"data past 32k flash", withValues(), withChecksum(":0180000000"), "X"},
      {"data crossing the end", {}, withChecksum(":02FFFF000000"), "X"},
      {"read past 32k flash", withValues(), ":05000004800080FF00F8", "X"},
      {"read range reversed", {}, ":0500000400FF000000F8", "X"},
      {"display sub-function 02", {}, ":050000040000FFBF0237", "X"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bootloader b = synced(c.profile);
    EXPECT_EQ(answerTo(b, c.record), c.answer);
    ASSERT_EQ(b.records().size(), 1u);
    EXPECT_EQ(b.records()[0], c.record);
  }
}

TEST(BootloaderRead, BlockAnswerHas626CharactersAndNothingAfter) {
  struct Case {
    const char* name;
    DeviceProfile profile;
    unsigned block;
    std::string request;
  };
  DeviceProfile small;
  small.memoryCode = 0xF7;
  const std::vector<Case> cases = {
      {"first block", {}, 0x0000, ":05000004000000FF00F8"},
      {"last block of 32k", small, 0x7F00, ":050000047F007FFF00FA"},
      {"last block of 64k", {}, 0xFF00, withChecksum(":05000004FF00FFFF00")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bootloader b = synced(c.profile);
    for (unsigned i = 0; i < 256; ++i) b.flash()[c.block + i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string reply = b.receive(c.request);
    ASSERT_EQ(reply.size(), 21u + 626u);
    EXPECT_EQ(reply.substr(0, 21), c.request);
    EXPECT_EQ(reply.substr(21), readLines(c.block, b.flash()));
  }
}

}  // namespace
}  // namespace velkorn::sim
