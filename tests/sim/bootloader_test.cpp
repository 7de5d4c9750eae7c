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

// Bytes fed to a target from power-up, and everything it sends back.
struct LineCase {
  const char* name;
  std::string input;
  std::string output;
};

TEST(BootloaderLine, SynchronisationAndFraming) {
  const std::vector<LineCase> cases = {
      {"silent before autobaud", ":020000050000F9", ""},
      {"noise before U is dropped", "ab:X\r\nU", "U"},
      {"U once synchronised is echoed", "UUU", "UUU"},
      {"record after autobaud", "U:020000050000F9", "U:020000050000F958."},
      {"characters outside a record are echoed", "Uhello\r\n", "Uhello\r\n"},
      {"non-hex inside a record ends it", "U:0200G00050000F9", "U:0200GX00050000F9"},
      {"a second colon inside a record ends it", "U:0200:020000050000F9", "U:0200:X020000050000F9"},
      {"U inside a record ends it", "U:02U", "U:02UX"},
      {"lower-case digits are read", "U:020000050000f9", "U:020000050000f958."},
      {"line end between records is echoed", "U:020000050000F9\r\n:020000050001F8",
       "U:020000050000F958.\r\n:020000050001F8D7."},
      {"incomplete record gives no answer", "U:0200000500", "U:0200000500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bootloader b;
    EXPECT_EQ(b.receive(c.input), c.output);
  }
}

TEST(BootloaderLine, RecordsKeepsOnlyCompleteRecordsAsReceived) {
  Bootloader b = synced();
  b.receive(":0200G0:020000050000F8:0100000307F5:020000");
  EXPECT_EQ(b.records(), (std::vector<std::string>{":020000050000F8", ":0100000307F5"}));
}

TEST(BootloaderFlash, ProgrammingOnlyClearsBitsUntilErased) {
  Bootloader b = synced();
  EXPECT_EQ(answerTo(b, withChecksum(":02001000F03C")), ".");
  EXPECT_EQ(answerTo(b, withChecksum(":020010000FC3")), ".");
  EXPECT_EQ(b.flash()[0x10], 0x00);  // F0 & 0F
  EXPECT_EQ(b.flash()[0x11], 0x00);  // 3C & C3
  EXPECT_EQ(b.flash()[0x12], 0xFF);
  EXPECT_EQ(answerTo(b, ":050000040000FFBF0138"), "0010\r\n");
  EXPECT_EQ(answerTo(b, ":0100000307F5"), ".");
  EXPECT_EQ(b.flash()[0x10], 0xFF);
  EXPECT_EQ(answerTo(b, ":050000040000FFBF0138"), ".");
}

TEST(BootloaderFlash, BlankCheckReportsTheFirstProgrammedAddress) {
  struct Case {
    const char* name;
    bool small;
    unsigned address;
    std::string answer;
  };
  const std::vector<Case> cases = {
      {"first byte", false, 0x0000, "0000\r\n"},
      {"middle", false, 0x1234, "1234\r\n"},
      {"last checked byte", false, 0xFFBF, "FFBF\r\n"},
      {"past the checked range", false, 0xFFC0, "."},
      {"last byte of a 32k part", true, 0x7FFF, "7FFF\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceProfile p;
    if (c.small) p.memoryCode = 0xF7;
    Bootloader b = synced(p);
    b.flash()[c.address] = 0x7E;
    b.flash()[0xFFFF] = 0x00;  // past the checked range, and past the end of a 32k part
    EXPECT_EQ(answerTo(b, ":050000040000FFBF0138"), c.answer);
  }
}

TEST(BootloaderConfiguration, SecurityBootStatusAndBljb) {
  Bootloader b = synced();
  EXPECT_TRUE(b.bljb());
  EXPECT_EQ(answerTo(b, ":020000030500F6"), ".");
  EXPECT_EQ(answerTo(b, ":020000050700F2"), "FE.");
  EXPECT_EQ(answerTo(b, ":020000030501F5"), ".");
  EXPECT_EQ(answerTo(b, ":020000050700F2"), "EE.");
  EXPECT_EQ(answerTo(b, ":030000030A0400EC"), ".");
  EXPECT_FALSE(b.bljb());
  EXPECT_EQ(answerTo(b, ":030000030A0401EB"), ".");
  EXPECT_TRUE(b.bljb());
  EXPECT_EQ(answerTo(b, ":020000050701F1"), "FF.");
  EXPECT_EQ(answerTo(b, ":03000003060000F4"), ".");
  EXPECT_EQ(answerTo(b, ":020000050701F1"), "00.");
  // The erase unlocks the chip again.
  EXPECT_EQ(answerTo(b, ":0100000307F5"), ".");
  EXPECT_EQ(answerTo(b, ":020000050700F2"), "FF.");
}

// A record sequence sent one record at a time, with the reply each one gets.
struct FaultCase {
  const char* name;
  Faults faults;
  std::vector<std::string> records;
  std::vector<std::string> replies;
};

const std::string kData1 = ":10010000000102030405060708090A0B0C0D0E0F77";
const std::string kManu = ":020000050000F9";
const std::string kErase = ":0100000307F5";
const std::string kRead0 = ":05000004000000FF00F8";
const std::string kBlankAll = ":050000040000FFFF01F8";  // blank check of the whole chip
const std::string kData2 = ":10020000000102030405060708090A0B0C0D0E0F76";
const std::string kSecurity = ":020000050700F2";
const std::string kLock0 = ":020000030500F6";
const std::string kLock1 = ":020000030501F5";
const std::string kBljbClear = ":030000030A0400EC";
const std::string kClosing = ":03000003060000F4";

std::string blankLines() {
  std::array<std::uint8_t, 0x10000> blank;
  blank.fill(0xFF);
  return readLines(0, blank);
}

// What a chip refuses at each security level, and the erase that ends both.
TEST(BootloaderSecurity, LockedChipRefusesWhatItsLevelForbids) {
  const struct {
    const char* name;
    std::uint8_t security;
    std::vector<std::string> records, answers;
  } cases[] = {
      {"level 1 refuses data records only", 0xFE,
       {kData1, kBlankAll, kRead0, kLock1, kBljbClear, kClosing, kManu},
       {"X", ".", blankLines(), ".", ".", ".", "58."}},
      {"level 2 refuses reading and the blank check too", 0xEF,
       {kData1, kBlankAll, kRead0, kSecurity, kManu},
       {"X", "X", "X", "EF.", "58."}},
      {"both levels", 0xEE, {kData1, kBlankAll, kRead0}, {"X", "X", "X"}},
      {"the erase ends both levels", 0xEE,
       {kErase, kSecurity, kData1, kBlankAll, kRead0},
       {".", "FF.", ".", "0100\r\n", blankLines()}},
      {"a lock takes effect at once", 0xFF,
       {kData1, kLock0, kData2, kBlankAll, kLock1, kBlankAll, kRead0},
       {".", ".", "X", "0100\r\n", ".", "X", "X"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bootloader b = synced(DeviceProfile{.securityByte = c.security});
    ASSERT_EQ(c.records.size(), c.answers.size());
    for (std::size_t i = 0; i < c.records.size(); ++i) EXPECT_EQ(answerTo(b, c.records[i]), c.answers[i]) << i;
    EXPECT_EQ(b.flash()[0x0201], 0xFF);  // kData2 never takes
  }
}

Faults fault(void (*set)(Faults&)) {
  Faults f;
  set(f);
  return f;
}

TEST(BootloaderFaults, EachFaultChangesOnlyWhatItNames) {
  std::string garbled = blankLines();
  garbled[7] = 'G';
  const std::vector<FaultCase> cases = {
      {"second data record refused once",
       fault([](Faults& f) { f.refuseDataRecord = 2; }),
       {kData1, kManu, kData1, kData1},
       {kData1 + ".", kManu + "58.", kData1 + "X", kData1 + "."}},
      {"silent after two records",
       fault([](Faults& f) { f.silentAfterRecords = 2; }),
       {kManu, kManu, kManu, "U"},
       {kManu + "58.", kManu + "58.", "", ""}},
      {"echo of the second record dropped",
       fault([](Faults& f) { f.dropEchoOfRecord = 2; }),
       {kManu, kManu, kManu},
       {kManu + "58.", "58.", kManu + "58."}},
      {"second read answer garbled",
       fault([](Faults& f) { f.garbleReadBlock = 2; }),
       {kRead0, kRead0, kRead0},
       {kRead0 + blankLines(), kRead0 + garbled, kRead0 + blankLines()}},
      {"first read answer one short",
       fault([](Faults& f) { f.shortReadBlock = 1; }),
       {kRead0, kRead0},
       {kRead0 + blankLines().substr(0, 625), kRead0 + blankLines()}},
      {"erase refused",
       fault([](Faults& f) { f.refuseErase = true; }),
       {kErase, kManu},
       {kErase + "X", kManu + "58."}},
      {"programmer's third byte lost",
       fault([](Faults& f) { f.dropInputByte = 3; }),  // "U" is byte 1
       {kManu, kManu},
       {":20000050000F9", kManu.substr(0, 1) + "X" + kManu.substr(1)}},
      {"programmer's checksum digit garbled",
       fault([](Faults& f) { f.garbleInputByte = 16; }),
       {kManu},
       {":020000050000F8X"}},
      {"chip's answer byte lost",
       fault([](Faults& f) { f.dropOutputByte = 18; }),  // "U", the echo, "5", "8"
       {kManu},
       {kManu + "5."}},
      {"chip's stop byte garbled",
       fault([](Faults& f) { f.garbleOutputByte = 19; }),
       {kManu},
       {kManu + "58/"}},
      {"second blank-check answer garbled",
       fault([](Faults& f) { f.garbleBlankCheck = 2; }),
       {kBlankAll, kBlankAll, kBlankAll},
       {kBlankAll + ".", kBlankAll + "G.", kBlankAll + "."}},
      {"an address among the blank-check answers garbled",
       fault([](Faults& f) { f.garbleBlankCheck = 1; }),
       {kData1, kBlankAll, kBlankAll},  // kData1 puts 00 at 0x0100
       {kData1 + ".", kBlankAll + "01G0\r\n", kBlankAll + "0100\r\n"}},
      {"first blank check lies",
       fault([](Faults& f) { f.lieBlankCheck = 1; }),
       {kData1, kBlankAll, kBlankAll},
       {kData1 + ".", kBlankAll + ".", kBlankAll + "0100\r\n"}},
      {"lock level 1 refused",
       fault([](Faults& f) { f.refuseLock0 = true; }),
       {kLock0, kLock1, kSecurity},
       {kLock0 + "X", kLock1 + ".", kSecurity + "EF."}},
      {"lock level 2 refused",
       fault([](Faults& f) { f.refuseLock1 = true; }),
       {kLock0, kLock1, kSecurity},
       {kLock0 + ".", kLock1 + "X", kSecurity + "FE."}},
      {"locks accepted but forgotten",
       fault([](Faults& f) { f.forgetLocks = true; }),
       {kLock0, kLock1, kSecurity, kData1},
       {kLock0 + ".", kLock1 + ".", kSecurity + "FF.", kData1 + "."}},
      {"BLJB refused",
       fault([](Faults& f) { f.refuseBljb = true; }),
       {kBljbClear, kClosing},
       {kBljbClear + "X", kClosing + "."}},
      {"a cell that will not program",
       fault([](Faults& f) { f.stuckCell = 0x0101; }),
       {kData1, withChecksum(":050000040101010101"), withChecksum(":050000040101010201")},
       {kData1 + ".", withChecksum(":050000040101010101") + ".", withChecksum(":050000040101010201") + "0102\r\n"}},
      {"a cell that will not erase",
       fault([](Faults& f) { f.stuckCell = 0xFFFF; f.stuckValue = 0x00; }),
       {kErase, kBlankAll},
       {kErase + ".", kBlankAll + "FFFF\r\n"}},
      {"first blank check unanswered",
       fault([](Faults& f) { f.dropBlankCheck = 1; }),
       {kBlankAll, kBlankAll},
       {kBlankAll, kBlankAll + "."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bootloader b;
    b.faults() = c.faults;
    ASSERT_EQ(b.receive("U"), "U");
    ASSERT_EQ(c.records.size(), c.replies.size());
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(b.receive(c.records[i]), c.replies[i]);
    }
  }
}

TEST(BootloaderFaults, RefusedDataRecordLeavesTheFlashAlone) {
  Bootloader b = synced();
  b.faults().refuseDataRecord = 1;
  EXPECT_EQ(answerTo(b, kData1), "X");
  EXPECT_EQ(b.flash()[0x0101], 0xFF);
  EXPECT_EQ(answerTo(b, kData1), ".");
  EXPECT_EQ(b.flash()[0x0101], 0x01);
}

TEST(BootloaderFaults, RefusedEraseKeepsTheFlash) {
  Bootloader b = synced();
  b.flash()[5] = 0;
  b.faults().refuseErase = true;
  EXPECT_EQ(answerTo(b, kErase), "X");
  EXPECT_EQ(b.flash()[5], 0);
}

// The chip takes its time for the answer, not for the echo before it.
TEST(BootloaderFaults, DelaysHoldTheAnswerOnly) {
  const struct {
    const char* name;
    Faults faults;
    std::string record, answer;
    int delayMs;
  } cases[] = {
      {"erase", fault([](Faults& f) { f.eraseDelayMs = 1500; }), kErase, ".", 1500},
      {"late blank check", fault([](Faults& f) { f.lateBlankCheck = 1; f.lateByMs = 700; }), kBlankAll, ".", 700},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bootloader b = synced();
    b.faults() = c.faults;
    std::string out;
    int delay = -1;
    std::size_t from = 0;
    for (std::size_t i = 0; i + 1 < c.record.size(); ++i) {
      b.receive(static_cast<std::uint8_t>(c.record[i]), out, &delay, &from);
      EXPECT_EQ(delay, 0);
    }
    b.receive(static_cast<std::uint8_t>(c.record.back()), out, &delay, &from);
    EXPECT_EQ(delay, c.delayMs);
    EXPECT_EQ(out, c.record + c.answer);
    EXPECT_EQ(from, c.record.size());  // the echo's last character leaves at once
  }
}

}  // namespace
}  // namespace velkorn::sim
