// Erase, program & verify, read-back and comparison, boot configuration, and the entry
// guard, against the simulated bootloader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "engine_rig.h"
#include "image/hex_codec.h"

namespace velkorn::testing {
namespace {

using isp::Button;

const std::vector<std::string> kKnownDeviceRead = {
    ":020000050000F9", ":020000050001F8", ":020000050002F7", ":020000050003F6", ":020000050700F2",
    ":020000050701F1", ":020000050702F0", ":020000050703EF", ":020000050800F1"};

// The read requests (the blank check is a type-04 record too).
std::vector<std::string> readRequests(const SimRig& rig) {
  std::vector<std::string> out;
  for (const auto& r : rig.recordsStartingWith(":05000004"))
    if (r.substr(17, 2) == "00") out.push_back(r);
  return out;
}

bool flashMatchesFile(SimRig& rig, int size) {
  return std::equal(rig.target.flash().begin(), rig.target.flash().begin() + size,
                    rig.engine.images().fileImage.begin());
}

TEST(Program, WritesNonBlankBlocksVerifiesAndHandsTheLineBack) {
  SimRig rig;
  std::map<int, std::uint8_t> bytes;
  for (int i = 0; i < 16; ++i) bytes[0x0100 + i] = static_cast<std::uint8_t>(i);
  bytes[0x0005] = 0x12;
  bytes[0xF00F] = 0x00;
  rig.loadFile(bytes);
  const isp::Outcome outcome = rig.engine.program();

  std::vector<std::string> expected = kKnownDeviceRead;
  expected.insert(expected.end(), {":050000040000FFBF0138", ":0100000307F5"});
  expected.insert(expected.end(), kKnownDeviceRead.begin(), kKnownDeviceRead.end());
  expected.insert(expected.end(), {":10000000FFFFFFFFFF12FFFFFFFFFFFFFFFFFFFFED",
                                   ":10010000000102030405060708090A0B0C0D0E0F77",
                                   ":10F00000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000F"});
  const auto& sent = rig.target.records();
  ASSERT_EQ(sent.size(), expected.size() + 256 + 2 + 9);
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 23), expected);
  EXPECT_EQ(sent[23], ":05000004000000FF00F8");
  EXPECT_EQ(sent[23 + 255], ":05000004FF00FFFF00FA");
  EXPECT_EQ(sent[23 + 256], ":030000030A0401EB");
  EXPECT_EQ(sent[23 + 257], ":03000003060000F4");
  EXPECT_TRUE(flashMatchesFile(rig, 0x10000));
  EXPECT_EQ(rig.engine.images().chipImage, rig.engine.images().fileImage);
  EXPECT_TRUE(rig.op.errors().empty());
  EXPECT_TRUE(outcome.done());
  EXPECT_TRUE(outcome.bootWritten);
  EXPECT_EQ(rig.link.rates, std::vector<int>{115200});
  EXPECT_EQ(rig.op.of("caption"), std::vector<std::string>{"Programming..."});
  const std::vector<std::string> windows = {"Erasing...|9", "hide", "Verifying...|65536", "hide"};
  EXPECT_EQ(rig.op.of("progress"), windows);
  EXPECT_FALSE(rig.engine.busy());
}

// A 32 KiB part: every address is compared, its last block included, and a file with data
// past the chip's end is refused before the erase.
TEST(Program, ThirtyTwoKiBPartAndVerificationDifferences) {
  struct Case {
    int pastChip;  // a file byte here besides the others; -1: none
    int spoilAt;   // the chip keeps a wrong byte here after programming; -1: none
    std::vector<std::string> errors;
    int readRequests;
    bool bootConfig;
    isp::OutcomeKind kind;
    int address;
  };
  const Case cases[] = {
      {-1, -1, {}, 128, true, isp::OutcomeKind::Done, -1},
      {-1, 0x7FF5, {"Chip does not match file at @7FF5|ok"}, 128, false, isp::OutcomeKind::Mismatch, 0x7FF5},
      {-1, 0x1234, {"Chip does not match file at @1234|ok"}, 0x13, false, isp::OutcomeKind::Mismatch, 0x1234},
      {0x9003, -1, {}, 0, false, isp::OutcomeKind::FileError, 0x9003},
      {0x8000, -1, {}, 0, false, isp::OutcomeKind::FileError, 0x8000},
  };
  for (const auto& c : cases) {
    SimRig rig(sim::DeviceProfile{.memoryCode = 0xF7});
    std::map<int, std::uint8_t> bytes = {{0x0000, 0x01}, {0x1234, 0x00}, {0x7FF5, 0x00}};
    if (c.pastChip >= 0) bytes[c.pastChip] = 0x00;
    rig.loadFile(bytes);
    rig.target.onRecord = [&](const std::string&, const std::string&) {
      if (c.spoilAt >= 0 && rig.target.flash()[static_cast<std::size_t>(c.spoilAt)] == 0x00)
        rig.target.flash()[static_cast<std::size_t>(c.spoilAt)] = 0x55;
    };
    const isp::Outcome outcome = rig.engine.program();
    const auto reads = readRequests(rig);
    EXPECT_EQ(rig.engine.images().chipSize, 0x8000);
    EXPECT_EQ(static_cast<int>(reads.size()), c.readRequests) << c.spoilAt;
    if (c.readRequests == 128) {
      EXPECT_EQ(reads.back(), ":050000047F007FFF00FA");
    }
    EXPECT_EQ(rig.op.errors(), c.errors) << c.spoilAt;
    EXPECT_EQ(rig.recordsStartingWith(":03000003060000").size(), c.bootConfig ? 1u : 0u) << c.spoilAt;
    EXPECT_EQ(outcome.kind, c.kind) << c.spoilAt;
    EXPECT_EQ(outcome.bootWritten, c.bootConfig) << c.spoilAt;
    EXPECT_EQ(outcome.address, c.address) << c.spoilAt;
    if (c.kind == isp::OutcomeKind::FileError) {
      // Refused before the chip was touched: no erase, no data record.
      EXPECT_EQ(outcome.fileFault, isp::FileFault::PastChip);
      EXPECT_EQ(outcome.count, 0x8000);
      EXPECT_TRUE(rig.recordsStartingWith(":0100000307").empty());
      EXPECT_TRUE(rig.recordsStartingWith(":10").empty());
    }
    if (c.spoilAt >= 0) {
      EXPECT_EQ(outcome.count, 1);
    }
  }
}

// A file that holds no data would only erase the chip: refused before the erase, in the
// window and the command line alike.
TEST(Program, AFileWithoutDataIsRefusedBeforeTheErase) {
  SimRig rig;
  rig.loadFile({});
  rig.target.flash()[0x100] = 0x12;
  const isp::Outcome outcome = rig.engine.program();
  EXPECT_EQ(outcome.kind, isp::OutcomeKind::FileError);
  EXPECT_EQ(outcome.fileFault, isp::FileFault::NoData);
  EXPECT_TRUE(rig.recordsStartingWith(":0100000307").empty());
  EXPECT_EQ(rig.target.flash()[0x100], 0x12);
}

TEST(Program, RefusedRecordRetriedOrAborted) {
  struct Case {
    Button answer;
    std::vector<std::string> dataRecords;  // address parts, in order
    int highestPosition;
    bool verified;
    isp::OutcomeKind kind;  // a record accepted on its retry still ends in done
  };
  const Case cases[] = {
      {Button::Ok, {"0000", "0010", "0010", "0020"}, 4, true, isp::OutcomeKind::Done},
      {Button::Cancel, {"0000", "0010"}, 1, false, isp::OutcomeKind::Refused},
  };
  for (const auto& c : cases) {
    SimRig rig;
    rig.loadFile({{0x0000, 1}, {0x0010, 2}, {0x0020, 3}});
    rig.target.faults().refuseDataRecord = 2;
    rig.op.errorAnswers = {c.answer};
    int highest = 0;
    rig.op.onProcessEvents = [&] {
      if (readRequests(rig).empty()) highest = std::max(highest, rig.op.lastProgressPosition);
    };
    const isp::Outcome outcome = rig.engine.program();
    std::vector<std::string> addresses;
    for (const auto& r : rig.recordsStartingWith(":10")) addresses.push_back(r.substr(3, 4));
    EXPECT_EQ(addresses, c.dataRecords);
    EXPECT_EQ(rig.op.errors(), std::vector<std::string>{"Ack Error Retry! s=\"X\"|okcancel"});
    EXPECT_EQ(highest, c.highestPosition);
    EXPECT_EQ(readRequests(rig).size(), c.verified ? 256u : 0u);
    EXPECT_EQ(outcome.kind, c.kind);
    if (c.kind == isp::OutcomeKind::Refused) {
      EXPECT_EQ(outcome.record, ":1000100002FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED");
      EXPECT_EQ(outcome.answer, "X");
    }
  }
}

TEST(Program, BlankCheckAnswersAndTheQuestion) {
  struct Case {
    int dirtyAt;  // -1: blank chip
    bool asked;
  };
  // 0xFC00 answers "FC00\r\n": only the bootloader's area is written, counted as blank.
  const Case cases[] = {{-1, false}, {0xFC00, false}, {0x0005, true}};
  for (const auto& c : cases) {
    SimRig rig;
    if (c.dirtyAt >= 0) rig.target.flash()[static_cast<std::size_t>(c.dirtyAt)] = 0x00;
    rig.loadFile({{0x0000, 0x42}});
    rig.op.yesNoAnswers = {false};
    const isp::Outcome outcome = rig.engine.program();
    const std::vector<std::string> question = {"Confirmation|Device is not blank. Erase and program?"};
    EXPECT_EQ(rig.op.of("ask"), c.asked ? question : std::vector<std::string>{}) << c.dirtyAt;
    // No: only the boot configuration and its device read.
    const std::size_t afterBlank = c.asked ? 2 + 9 : 1 + 9 + 1 + 256 + 2 + 9;
    EXPECT_EQ(rig.target.records().size(), 9 + 1 + afterBlank) << c.dirtyAt;
    EXPECT_TRUE(outcome.done() && outcome.bootWritten) << c.dirtyAt;
    EXPECT_EQ(outcome.declined, c.asked) << c.dirtyAt;
  }
}

TEST(Program, SilentTargetEndsWithinTheBounds) {
  struct Case {
    int silentAfter;             // records answered since start-up
    std::deque<Button> answers;  // the boxes that follow
    std::uint32_t minMs, maxMs;
    isp::OutcomeKind kind;
  };
  const Case cases[] = {
      // erase unanswered: 30 s, then the device read fails on its empty security value
      {9 + 1, {}, 30000, 32000, isp::OutcomeKind::BadAnswer},
      // data record unanswered twice (5 s each), then Cancel
      {9 + 2 + 9, {Button::Ok, Button::Ok, Button::Ok, Button::Cancel}, 10000, 10500, isp::OutcomeKind::Refused},
  };
  for (const auto& c : cases) {
    SimRig rig;
    rig.target.faults().silentAfterRecords = c.silentAfter;
    rig.loadFile({{0x0000, 0x42}});
    rig.op.errorAnswers = c.answers;
    const std::uint32_t start = rig.clock.tickMs();
    EXPECT_EQ(rig.engine.program().kind, c.kind);
    EXPECT_GE(rig.clock.tickMs() - start, c.minMs);
    EXPECT_LT(rig.clock.tickMs() - start, c.maxMs);
    EXPECT_EQ(rig.op.events.back(), "progress|hide");  // also when the command ends early
    EXPECT_EQ(rig.op.of("cursor").back(), "normal");
    EXPECT_FALSE(rig.engine.busy());
    EXPECT_TRUE(readRequests(rig).empty());
  }
}

TEST(Program, ReloadAsksNothing) {
  SimRig rig;
  rig.target.flash()[0x10] = 0x00;  // not blank
  const std::string path = ::testing::TempDir() + "/velkorn_reload.hex";
  std::ofstream(path, std::ios::binary) << ":0400000001020304F2\r\n:00000001FF\r\n";
  rig.engine.hexFileName = path;
  EXPECT_TRUE(rig.engine.reload().done());
  EXPECT_TRUE(rig.op.of("ask").empty());
  EXPECT_TRUE(rig.op.of("dialog").empty());
  EXPECT_EQ(rig.target.flash()[3], 0x04);

  // The reload mode went with that run: the next Program & Verify asks again.
  rig.op.yesNoAnswers = {false};
  EXPECT_TRUE(rig.engine.program().declined);

  std::remove(path.c_str());
  const std::size_t sent = rig.target.records().size();
  const isp::Outcome gone = rig.engine.reload();
  EXPECT_EQ(gone.kind, isp::OutcomeKind::FileError);
  EXPECT_EQ(gone.line, 0);
  EXPECT_EQ(gone.file, path);
  EXPECT_EQ(gone.detail, "No such file or directory");
  EXPECT_EQ(rig.target.records().size(), sent);  // nothing reached the chip
  EXPECT_FALSE(rig.engine.busy());
}

TEST(Verify, MatchOrStopAfterTheFirstDifferingBlock) {
  const std::tuple<int, std::vector<std::string>, isp::OutcomeKind, std::size_t> cases[] = {
      {-1, {}, isp::OutcomeKind::Done, 256},
      {0xFC10, {}, isp::OutcomeKind::Done, 256},  // the bootloader's area is not compared
      {0x0123, {"Chip does not match file at @0123|ok"}, isp::OutcomeKind::Mismatch, 2},
  };
  for (const auto& [differAt, errors, kind, reads] : cases) {
    SimRig rig;
    rig.loadFile({{0x0120, 0x00}, {0x0123, 0x11}});
    std::copy(rig.engine.images().fileImage.begin(), rig.engine.images().fileImage.end(), rig.target.flash().begin());
    if (differAt >= 0) rig.target.flash()[static_cast<std::size_t>(differAt)] = 0x10;
    EXPECT_EQ(rig.engine.verify().kind, kind);
    EXPECT_EQ(rig.op.errors(), errors);
    EXPECT_EQ(readRequests(rig).size(), reads);
    EXPECT_EQ(rig.engine.images().chipRead.count(), reads * 256);  // the rest is not this read's
    EXPECT_EQ(rig.engine.replyLimit, 647);
  }
}

// The read requests and blank checks in order, without their checksums.
std::vector<std::string> readsAndBlankChecks(const SimRig& rig) {
  std::vector<std::string> out;
  for (const auto& r : rig.recordsStartingWith(":05000004")) out.push_back(r.substr(9, r.size() - 11));
  return out;
}

// Reading only what holds data: blank runs are blank-checked, never read; an address a
// check names is read to find the difference; the top KiB is compared on neither part.
TEST(Verify, DataOnlyReadsTheDataBlocksAndBlankChecksTheRest) {
  struct Case {
    std::uint8_t memoryCode;
    std::map<int, std::uint8_t> file;
    int strayAt;  // the chip holds 0x10 here besides the file; -1: none
    std::vector<std::string> requests;  // SSSSEEEE and 00 (read) or 01 (blank check)
    isp::OutcomeKind kind;
    int address;
  };
  const std::map<int, std::uint8_t> file64 = {{0x0120, 0x00}, {0x0123, 0x11}};
  const std::map<int, std::uint8_t> file32 = {{0x0000, 0x01}, {0x7D00, 0x00}};
  const Case cases[] = {
      // a "." counts when a second check of the same run agrees
      {0xFC, file64, -1, {"000000FF01", "000000FF01", "010001FF00", "0200FBFF01", "0200FBFF01"},
       isp::OutcomeKind::Done, -1},
      {0xFC, file64, 0xFC10, {"000000FF01", "000000FF01", "010001FF00", "0200FBFF01", "0200FBFF01"},
       isp::OutcomeKind::Done, -1},
      {0xFC, file64, 0x0124, {"000000FF01", "000000FF01", "010001FF00"}, isp::OutcomeKind::Mismatch, 0x0124},
      // a byte the erase left in a gap
      {0xFC, file64, 0x4321, {"000000FF01", "000000FF01", "010001FF00", "0200FBFF01", "430043FF00"},
       isp::OutcomeKind::Mismatch, 0x4321},
      // a 32 KiB part is compared up to its end, the top KiB included
      {0xF7, file32, -1, {"000000FF00", "01007CFF01", "01007CFF01", "7D007DFF00", "7E007FFF01", "7E007FFF01"},
       isp::OutcomeKind::Done, -1},
      {0xF7, file32, 0x7FF5, {"000000FF00", "01007CFF01", "01007CFF01", "7D007DFF00", "7E007FFF01", "7F007FFF00"},
       isp::OutcomeKind::Mismatch, 0x7FF5},
      {0xF7, file32, 0x7C10, {"000000FF00", "01007CFF01", "7C007CFF00"}, isp::OutcomeKind::Mismatch, 0x7C10},
  };
  for (const auto& c : cases) {
    SimRig rig(sim::DeviceProfile{.memoryCode = c.memoryCode});
    rig.loadFile(c.file);
    std::copy(rig.engine.images().fileImage.begin(), rig.engine.images().fileImage.end(), rig.target.flash().begin());
    if (c.strayAt >= 0) rig.target.flash()[static_cast<std::size_t>(c.strayAt)] = 0x10;
    rig.sync();
    const isp::Outcome outcome = rig.engine.verify(isp::Asking::Operator, isp::Verification::DataOnly);
    EXPECT_EQ(readsAndBlankChecks(rig), c.requests) << c.strayAt;
    EXPECT_EQ(outcome.kind, c.kind) << c.strayAt;
    EXPECT_EQ(outcome.address, c.address) << c.strayAt;
    if (c.kind == isp::OutcomeKind::Done) {
      const auto& chip = rig.engine.images().chipImage;
      const int limit = isp::comparisonLimit(rig.engine.images().chipSize);
      EXPECT_TRUE(std::equal(chip.begin(), chip.begin() + limit, rig.target.flash().begin())) << c.strayAt;
      // Blank-checked runs count as read: the check vouched for them.
      EXPECT_EQ(rig.engine.images().chipRead.count(), static_cast<std::size_t>(limit)) << c.strayAt;
    }
  }
}

// "&Read Chip" without reading what is blank: a run counts as blank when two checks agree,
// and only the blocks the checks name are read (twice).
TEST(ReadBack, BlankRunsAreCheckedTwiceAndNotRead) {
  SimRig rig;
  rig.target.flash().fill(0xFF);
  rig.target.flash()[0x1234] = 0x00;
  rig.target.flash()[0xFE00] = 0x5A;
  rig.sync();
  const isp::Outcome outcome = rig.engine.readChip({true, 1, true});
  const std::vector<std::string> expected = {"0000FFFF01", "0000FFFF01", "120012FF00", "120012FF00",
                                             "1300FFFF01", "1300FFFF01", "FE00FEFF00", "FE00FEFF00",
                                             "FF00FFFF01", "FF00FFFF01"};
  EXPECT_EQ(readsAndBlankChecks(rig), expected);
  EXPECT_TRUE(outcome.done());
  EXPECT_EQ(rig.engine.images().chipImage, rig.target.flash());
}

// A read answer as the bootloader sends it, for 256 bytes of `fill` from `block`.
std::string readAnswer(int block, std::uint8_t fill) {
  std::string answer;
  for (int k = 0; k < 16; ++k) {
    char head[8];
    std::snprintf(head, sizeof head, "\r\n%04X=", block + 16 * k);
    answer += head;
    for (int i = 0; i < 16; ++i) answer += hexByte(fill);
  }
  return answer + "\r\n";
}

TEST(ReadBack, MalformedAnswers) {
  struct Case {
    const char* name;
    std::function<void(std::string&)> spoil;  // applied to the first answer only
    Button answer;
    std::size_t boxes;
    std::string firstBox;
    int blockZeroRequests;
    int storedInBlockZero;  // bytes of block 0 that now hold the chip's 0xA5
    bool complete;
    int firstUnread, unreadLines;  // -1: every line read, and the read is done
  };
  // Lines that could not be read make the read "not verified", whatever the button.
  const Case cases[] = {
      {"625 characters", [](std::string& a) { a.pop_back(); }, Button::Ok, 1,
       "Read record length unexpected 625|okcancel", 2, 256, true, -1, 0},
      {"625 characters, Cancel", [](std::string& a) { a.pop_back(); }, Button::Cancel, 1,
       "Read record length unexpected 625|okcancel", 1, 0, false, 0x00, 16},
      // line 3 claims line 4's address: the box for it and for every later line of the
      // block, and none of their bytes stored (not even at line 4's addresses)
      {"address one line too far", [](std::string& a) { a[3 * 39 + 4] = '4'; }, Button::Ok, 13,
       "Read record format unexpected [\r\n0040=", 1, 48, true, 0x30, 13},
      {"address not hex", [](std::string& a) { a[2 * 39 + 3] = 'G'; }, Button::Ok, 14,
       "Read record addr error [\r\n0G20=", 1, 32, true, 0x20, 14},
      {"no line feed", [](std::string& a) { a[5 * 39 + 1] = 'x'; }, Button::Cancel, 11,
       "Read record format unexpected [\r", 1, 80, false, 0x50, 11},
      {"bad data digit", [](std::string& a) { a[39 + 7 + 10] = 'Z'; }, Button::Ok, 1,
       "Read record data error [A5A5A5A5A5Z5", 1, 256 - 11, true, 0x10, 1},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    int requests = 0, blockZero = 0;
    link.respond = [&](const std::string& w) {
      if (w == "U") return w;
      if (w.rfind(":02000005", 0) == 0) return w + "00.";  // device information
      const int block = std::stoi(w.substr(9, 4), nullptr, 16);
      blockZero += block == 0;
      std::string answer = readAnswer(block, 0xA5);
      if (requests++ == 0) c.spoil(answer);
      return w + answer;
    };
    isp::Engine engine(link, op, op, op, clock);
    engine.images().chipSize = 0x8000;
    engine.images().chipRead.set();  // an earlier read
    op.errorAnswers = {c.answer, c.answer, c.answer, c.answer, c.answer, c.answer, c.answer,
                       c.answer, c.answer, c.answer, c.answer, c.answer, c.answer, c.answer};
    const isp::Outcome outcome = engine.readChip();
    if (c.firstUnread < 0) {
      EXPECT_TRUE(outcome.done()) << c.name;
    } else {
      EXPECT_EQ(outcome.kind, isp::OutcomeKind::NotVerified) << c.name;
      EXPECT_EQ(outcome.address, c.firstUnread) << c.name;
      EXPECT_EQ(outcome.count, c.unreadLines) << c.name;
    }
    const auto errors = op.errors();
    ASSERT_EQ(errors.size(), c.boxes) << c.name;
    EXPECT_EQ(errors.front().substr(0, c.firstBox.size()), c.firstBox) << c.name;
    EXPECT_EQ(blockZero, c.blockZeroRequests) << c.name;
    const auto& chip = engine.images().chipImage;
    EXPECT_EQ(std::count(chip.begin(), chip.begin() + 256, 0xA5), c.storedInBlockZero) << c.name;
    // Exactly the stored bytes count as read, here and in the blocks after.
    for (int i = 0; i < 256; ++i) ASSERT_EQ(engine.images().chipRead[i], chip[i] == 0xA5) << c.name << " @" << i;
    EXPECT_EQ(engine.images().chipRead.count(),
              static_cast<std::size_t>(c.storedInBlockZero + (c.complete ? 0x8000 - 256 : 0))) << c.name;
    EXPECT_EQ(requests, c.complete ? 128 + c.blockZeroRequests - 1 : 1) << c.name;
  }
}

TEST(Erase, AcceptedOrRefused) {
  for (const bool refuse : {false, true}) {
    SimRig rig;
    rig.target.faults().refuseErase = refuse;
    const isp::Outcome outcome = rig.engine.erase();
    EXPECT_EQ(outcome.kind, refuse ? isp::OutcomeKind::Refused : isp::OutcomeKind::Done);
    EXPECT_EQ(outcome.record, refuse ? ":0100000307F5" : "");
    EXPECT_EQ(outcome.answer, refuse ? "X" : "");
    EXPECT_EQ(rig.op.log[rig.op.log.size() - 2 * 9 - 1 - 2 - 1], "Erase Chip");
    EXPECT_EQ(rig.op.events.back(), "cursor|normal");
    EXPECT_TRUE(rig.op.errors().empty());  // a refused erase shows no box of its own
  }
}

TEST(BootConfig, RecordsFollowTheBoxes) {
  struct Case {
    bool lock0, lock1, bljb;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {false, false, true, {":030000030A0401EB", ":03000003060000F4"}},
      {true, true, false, {":020000030500F6", ":020000030501F5", ":030000030A0400EC", ":03000003060000F4"}},
      {false, true, true, {":020000030501F5", ":030000030A0401EB", ":03000003060000F4"}},
  };
  for (const auto& c : cases) {
    SimRig rig(sim::DeviceProfile{.securityByte = 0x11});
    rig.sync();
    rig.op.choice = {c.lock0, c.lock1, c.bljb};
    EXPECT_TRUE(rig.engine.writeBootConfig().bootWritten);
    const auto& sent = rig.target.records();
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + static_cast<long>(c.records.size())), c.records);
    EXPECT_EQ(rig.target.bljb(), c.bljb);
    EXPECT_EQ(rig.op.lock0, c.lock0);  // read back from the chip afterwards
    EXPECT_EQ(rig.op.field(isp::DeviceField::BSB), "00");
  }
}

TEST(BootConfig, SilentTargetIsRefused) {
  SimRig rig;
  rig.target.faults().silentAfterRecords = 9;
  rig.sync();
  const isp::Outcome outcome = rig.engine.writeBootConfig();
  const std::vector<std::string> boxes = {"Error in cmd :030000030A0401EB|ok", "Error in cmd :03000003060000F4|ok"};
  EXPECT_EQ(rig.op.errors(), boxes);
  EXPECT_EQ(outcome.kind, isp::OutcomeKind::Refused);
  EXPECT_EQ(outcome.step, isp::Step::BootConfig);
  EXPECT_EQ(outcome.record, ":03000003060000F4");
  EXPECT_EQ(outcome.echoErrors, 2);
  EXPECT_FALSE(outcome.bootWritten);
}

// What a command ends in when the line or the chip misbehaves once: a record repaired by
// its retry is done; a read-back line that could not be read is never a match.
TEST(Outcomes, RepairedAndUnrepairedFaults) {
  struct Case {
    const char* name;
    std::function<void(sim::Faults&)> fault;
    bool verifyOnly;  // Verify File instead of Program & Verify
    isp::OutcomeKind kind;
    bool bootWritten;
  };
  // Byte 310 lies in the address of the first data record ("U", 9 + 1 + 1 + 9 records of
  // 15, 21 and 13 bytes before it); the blank check counts as the first read request.
  const Case cases[] = {
      {"garbled data record, accepted on its retry", [](sim::Faults& f) { f.garbleInputByte = 310; }, false,
       isp::OutcomeKind::Done, true},
      {"unreadable line in the verification read", [](sim::Faults& f) { f.garbleReadBlock = 2; }, false,
       isp::OutcomeKind::NotVerified, false},
      {"unreadable line in Verify File", [](sim::Faults& f) { f.garbleReadBlock = 1; }, true,
       isp::OutcomeKind::NotVerified, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimRig rig;
    rig.loadFile({{0x0000, 0x01}, {0x0105, 0x02}});
    if (c.verifyOnly) std::copy(rig.engine.images().fileImage.begin(), rig.engine.images().fileImage.end(),
                                rig.target.flash().begin());
    c.fault(rig.target.faults());
    const isp::Outcome outcome = c.verifyOnly ? rig.engine.verify() : rig.engine.program();
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.bootWritten, c.bootWritten);
    EXPECT_FALSE(rig.op.errors().empty());  // the fault was shown as it happened
    if (c.kind == isp::OutcomeKind::NotVerified) {
      EXPECT_EQ(outcome.count, 1);
      EXPECT_EQ(outcome.address % 256, 0);
    }
  }
}

// An adapter pulled out mid-programming: the boxes run as on any failure, and the command
// ends in "link lost", not in a refusal the chip never made.
TEST(Outcomes, VanishedLineIsLinkLost) {
  SimRig rig;
  rig.loadFile({{0x0000, 0x01}, {0x0100, 0x02}});
  rig.op.onProcessEvents = [&] {
    if (!rig.target.records().empty() && rig.target.records().back().rfind(":10", 0) == 0) rig.link.setOpen(false);
  };
  rig.op.errorAnswers = {Button::Ok, Button::Ok, Button::Ok, Button::Cancel};
  const isp::Outcome outcome = rig.engine.program();
  EXPECT_EQ(outcome.kind, isp::OutcomeKind::LinkLost);
  EXPECT_EQ(outcome.step, isp::Step::Program);
  EXPECT_FALSE(outcome.bootWritten);
}

// A read answer held back past the end of its exchange (a loaded machine, an adapter) costs
// one retry of that block: the line is drained before the request goes out again, so no
// later exchange is one answer behind.
TEST(Outcomes, LateAnswerCostsOneRetry) {
  SimRig rig(sim::DeviceProfile{.memoryCode = 0xF7});
  rig.sync();
  int answers = 0;
  rig.link.lateBy = [&](const std::string& out) -> std::uint32_t {
    return out.size() > 600 && ++answers == 3 ? 200 : 0;  // the third read answer
  };
  const isp::Outcome outcome = rig.engine.readChip();
  EXPECT_TRUE(outcome.done());
  // The last echo byte is held back with the answer.
  const std::vector<std::string> boxes = {"Error in cmd :05000004020002FF00F4|ok",
                                          "Read record length unexpected 20|okcancel"};
  EXPECT_EQ(rig.op.errors(), boxes);
  EXPECT_EQ(readRequests(rig).size(), 128u + 1u);
  EXPECT_EQ(rig.engine.images().chipImage[0x2FF], rig.target.flash()[0x2FF]);
}

// Read answers carry no checksum: a digit turned into another hex digit is seen only by
// reading the block twice.
TEST(ReadBack, ReadingTwiceCatchesADigitThatIsStillHex) {
  struct Case {
    isp::ReadCheck check;
    isp::OutcomeKind kind;
    bool imageRight;
    std::size_t requests;
  };
  const Case cases[] = {
      {{}, isp::OutcomeKind::Done, false, 128},             // the wrong byte goes unseen
      {{true, 0}, isp::OutcomeKind::NotVerified, false, 256},  // two answers, and they disagree
      {{true, 1}, isp::OutcomeKind::Done, true, 257},          // a third answer agrees with the second
  };
  for (const auto& c : cases) {
    SimRig rig(sim::DeviceProfile{.memoryCode = 0xF7});
    for (int a = 0; a < 0x8000; ++a) rig.target.flash()[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(a * 13);
    rig.sync();
    rig.target.faults().garbleReadBlock = 3;
    rig.target.faults().garbleReadWith = '9';
    const isp::Outcome outcome = rig.engine.readChip(c.check);
    EXPECT_EQ(outcome.kind, c.kind) << c.check.twice << c.check.retries;
    const auto& chip = rig.engine.images().chipImage;
    EXPECT_EQ(std::equal(chip.begin(), chip.begin() + 0x8000, rig.target.flash().begin()), c.imageRight);
    // A block whose answers never agree is not counted as read.
    EXPECT_EQ(rig.engine.images().chipRead.count(), c.kind == isp::OutcomeKind::Done ? 0x8000u : 0x7F00u);
    EXPECT_EQ(readRequests(rig).size(), c.requests);
  }
}

// Blank-check answers carry no checksum: one out of form, outside the range, or naming an
// address whose block reads as blank is asked again after a box; Cancel leaves the run
// not verified.
TEST(Verify, BlankCheckAnswersThatCannotBeTrusted) {
  struct Case {
    const char* name;
    std::vector<std::string> answers;  // to the blank checks of 0100..FBFF, in turn
    Button button;
    std::string box;
    isp::OutcomeKind kind;
    std::vector<int> blocksRead;
  };
  const Case cases[] = {
      {"garbled digit", {"1G00\r\n", ".", "."}, Button::Ok, "Blank check answer unexpected [1G00\r\n]|okcancel",
       isp::OutcomeKind::Done, {0x0000}},
      {"dropped", {"", ".", "."}, Button::Ok, "Blank check answer unexpected []|okcancel", isp::OutcomeKind::Done,
       {0x0000}},
      {"outside the range", {"FC00\r\n", ".", "."}, Button::Ok,
       "Blank check answer unexpected [FC00\r\n]|okcancel", isp::OutcomeKind::Done, {0x0000}},
      {"not confirmed", {"0300\r\n", ".", "."}, Button::Ok, "Blank check named @0300, which reads as blank|okcancel",
       isp::OutcomeKind::Done, {0x0000, 0x0300}},
      // one "." where the chip holds data: the second check names it, and its block shows it
      {"a lying dot", {".", "1200\r\n"}, Button::Ok, "Chip does not match file at @1200|ok",
       isp::OutcomeKind::Mismatch, {0x0000, 0x1200}},
      {"garbled, Cancel", {"1G00\r\n"}, Button::Cancel, "Blank check answer unexpected [1G00\r\n]|okcancel",
       isp::OutcomeKind::NotVerified, {0x0000}},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    std::size_t checks = 0;
    std::vector<int> blocksRead;
    link.respond = [&](const std::string& w) {
      if (w == "U") return w;
      if (w.rfind(":02000005", 0) == 0) return w + "00.";  // device information
      const int block = std::stoi(w.substr(9, 4), nullptr, 16);
      if (w.substr(17, 2) == "01") return w + (checks < c.answers.size() ? c.answers[checks++] : "X");
      blocksRead.push_back(block);
      return w + readAnswer(block, block == 0 || block == 0x1200 ? 0x00 : 0xFF);
    };
    isp::Engine engine(link, op, op, op, clock);
    auto& im = engine.images();
    im.fileImage.fill(0xFF);
    std::fill(im.fileImage.begin(), im.fileImage.begin() + 256, 0x00);
    im.fileLoaded = true;
    op.errorAnswers = {c.button};
    const isp::Outcome outcome = engine.verify(isp::Asking::Never, isp::Verification::DataOnly);
    EXPECT_EQ(outcome.kind, c.kind) << c.name;
    ASSERT_FALSE(op.errors().empty()) << c.name;
    EXPECT_EQ(op.errors().front(), c.box) << c.name;
    if (c.kind == isp::OutcomeKind::Done) {
      EXPECT_EQ(op.errors().size(), 1u) << c.name;
    }
    EXPECT_EQ(checks, c.answers.size()) << c.name;
    EXPECT_EQ(blocksRead, c.blocksRead) << c.name;
  }
}

// A command started while another runs (from a button during processEvents) does nothing;
// the commands a running one calls itself still work.
TEST(Guard, CommandsDoNothingWhileAnotherRuns) {
  SimRig rig;
  const std::string path = ::testing::TempDir() + "/velkorn_guard.hex";
  std::ofstream(path, std::ios::binary) << ":0400000001020304F2\r\n:00000001FF\r\n";
  rig.op.fileAnswers = {path};  // the nested load asks for the file
  int refusedEntries = 0;
  rig.op.onProcessEvents = [&] {
    if (!rig.engine.busy()) return;
    const std::size_t before = rig.link.written.size();
    const isp::Outcome refused[] = {rig.engine.program(),      rig.engine.erase(),
                                    rig.engine.readChip(),     rig.engine.verify(),
                                    rig.engine.writeBootConfig(), rig.engine.reload(),
                                    rig.engine.sync(),         rig.engine.loadHexFile()};
    for (const isp::Outcome& o : refused) EXPECT_EQ(o.kind, isp::OutcomeKind::Aborted);
    if (rig.link.written.size() == before) ++refusedEntries;
  };
  EXPECT_TRUE(rig.engine.program().done());
  EXPECT_GT(refusedEntries, 100);
  EXPECT_EQ(rig.target.flash()[2], 0x03);
  EXPECT_FALSE(rig.engine.busy());
  std::remove(path.c_str());
}

}  // namespace
}  // namespace velkorn::testing
