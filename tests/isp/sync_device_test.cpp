// Synchronisation with the bootloader and the device information.
#include <gtest/gtest.h>

#include "engine_rig.h"

namespace velkorn::testing {
namespace {

using isp::DeviceField;
using isp::Engine;

const std::vector<std::string> kIdentification = {
    ":020000050000F9", ":020000050001F8", ":020000050002F7", ":020000050003F6",
    ":020000050700F2", ":020000050701F1", ":020000050702F0"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Sync, KnownAndUnknownProductsReadTheirRecords) {
  struct Case {
    std::uint8_t product;
    bool quiet;
    std::vector<std::string> records;
    std::vector<std::string> notices;
  };
  const std::string unknown = "unkonown Device - check manufactor, family, revision code";
  const Case cases[] = {
      {0xFF, false, plus(kIdentification, {":020000050703EF", ":020000050800F1"}), {}},
      {0xEF, false, plus(kIdentification, {":020000050B00EE", ":020000050F00EA"}), {}},
      {0xFC, false, kIdentification, {unknown}},
      {0xFC, true, kIdentification, {}},
  };
  for (const auto& c : cases) {
    SimRig rig(sim::DeviceProfile{.product = c.product});
    if (c.quiet) {
      rig.target.receive("U");
      EXPECT_TRUE(rig.engine.readDeviceInfo(true).done());
    } else {
      EXPECT_TRUE(rig.engine.sync().done());
      EXPECT_EQ(rig.link.written.substr(0, 1), "U");  // synchronised at the first attempt
      EXPECT_EQ(rig.link.rates, std::vector<int>{115200});
    }
    EXPECT_EQ(rig.target.records(), c.records) << int(c.product);
    EXPECT_EQ(rig.op.of("notice"), c.notices) << int(c.product);
    EXPECT_TRUE(rig.op.errors().empty());
    EXPECT_EQ(rig.op.field(DeviceField::Manu), "58");
    EXPECT_EQ(rig.op.field(DeviceField::HSB), c.records.size() == 9 ? "FB" : "");
    EXPECT_EQ(rig.op.field(DeviceField::BVersion), c.records.size() == 9 ? "12" : "");
    EXPECT_EQ(rig.op.log.front(), "Load Misc");
  }
}

TEST(Sync, SilentTargetGivesUpAtTheWindowLimitInFakeTime) {
  FakeClock clock;
  ScriptedOperator op(clock);
  ScriptLink link(clock);  // nothing ever comes back
  Engine engine(link, op, op, op, clock);
  const std::uint32_t start = clock.tickMs();
  const isp::Outcome outcome = engine.sync();
  EXPECT_EQ(outcome.kind, isp::OutcomeKind::NoSync);
  EXPECT_EQ(outcome.step, isp::Step::Sync);
  EXPECT_GE(clock.tickMs() - start, 60000u);
  EXPECT_LT(clock.tickMs() - start, 61000u);
  EXPECT_TRUE(op.errors().empty());  // the closing box is the caller's
  EXPECT_EQ(op.events.back(), "sync|hide");
}

TEST(Sync, CancelAndWriteFailures) {
  struct Case {
    bool open;
    int cancelAfter;      // processEvents calls before Cancel; 0: let the 60 s run out
  };
  const Case cases[] = {{true, 3}, {false, 4}, {false, 0}};
  for (const auto& c : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.open = c.open;
    Engine engine(link, op, op, op, clock);
    op.onProcessEvents = [&] {
      clock.advance(1000);  // a modal box or the message loop takes its time
      if (op.processEventsCalls == c.cancelAfter) op.cancelSyncNow = true;
    };
    // A line that refuses its writes is lost, not merely silent: the first refusal ends
    // the wait, without a box per attempt.
    EXPECT_EQ(engine.sync().kind, c.open ? isp::OutcomeKind::NoSync : isp::OutcomeKind::LinkLost);
    EXPECT_EQ(op.processEventsCalls, c.open ? c.cancelAfter : 1) << c.open << c.cancelAfter;
    EXPECT_TRUE(op.errors().empty());
    EXPECT_FALSE(engine.busy());
  }
}

// A line with a byte of noise every 10 ms never falls silent: the synchronisation still
// gives up within a slice of its limit, not after one long flush per attempt.
TEST(Sync, NoisyLineKeepsTheLimit) {
  FakeClock clock;
  ScriptedOperator op(clock);
  op.syncLimitSeconds = 2;
  class NoisyLink final : public isp::Link {
   public:
    explicit NoisyLink(FakeClock& c) : clock_(c) {}
    bool isOpen() const override { return true; }
    Status writeBytes(std::string_view) override { return {}; }
    Result<isp::LinkRead> readByte() override {
      clock_.advance(10);
      return isp::LinkRead{1, 0x5A};
    }
    Status setBaudRate(int) override { return {}; }
    isp::LinkCapabilities capabilities() const override { return {true, false, false}; }

   private:
    FakeClock& clock_;
  } link(clock);
  Engine engine(link, op, op, op, clock);
  const std::uint32_t start = clock.tickMs();
  EXPECT_EQ(engine.sync().kind, isp::OutcomeKind::NoSync);
  EXPECT_GE(clock.tickMs() - start, 2000u);
  EXPECT_LE(clock.tickMs() - start, 2500u);
}

// Over a network every answer, the "U" included, starts a round trip after its record: a
// link that says so synchronises and gets its answers whole; one that does not loses them
// to the next attempt's flush and to the pause limit.
TEST(Sync, AnswersThatStartARoundTripLater) {
  for (const int startLimitMs : {0, 1000}) {
    SimRig rig;
    rig.link.lateBy = [](const std::string&) -> std::uint32_t { return 250; };
    rig.link.startLimit = std::chrono::milliseconds(startLimitMs);
    const isp::Outcome outcome = rig.engine.sync();
    EXPECT_EQ(outcome.done(), startLimitMs > 0) << startLimitMs;
    EXPECT_EQ(outcome.echoErrors == 0, startLimitMs > 0) << startLimitMs;
  }
}

// The table chip answers everything the device-information read asks.
std::map<std::string, std::string> chipAnswers(const std::string& manu, const std::string& mem,
                                               const std::string& security, const std::string& bsb) {
  return {{":020000050000", manu},  {":020000050001", "D7."}, {":020000050002", mem},
          {":020000050003", "FF."}, {":020000050700", security}, {":020000050701", bsb},
          {":020000050702", "FC."}, {":020000050703", "FB."},  {":020000050800", "12."}};
}

TEST(DeviceInfo, SecurityByteTicksTheLockBoxes) {
  const std::tuple<const char*, bool, bool> cases[] = {
      {"11.", false, false}, {"10.", true, false}, {"01.", false, true}, {"X", true, true}, {"ef.", false, true}};
  for (const auto& [answer, lock0, lock1] : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.respond = tableChip(chipAnswers("58.", "FC.", answer, "FF."));
    Engine engine(link, op, op, op, clock);
    EXPECT_TRUE(engine.readDeviceInfo(false).done());
    EXPECT_EQ(op.lock0, lock0) << answer;
    EXPECT_EQ(op.lock1, lock1) << answer;
    EXPECT_EQ(engine.device().lock0, lock0) << answer;
    EXPECT_EQ(engine.device().lock1, lock1) << answer;
  }
}

TEST(DeviceInfo, MemoryCodeF7MakesA32KiBPartForTheRestOfTheRun) {
  FakeClock clock;
  ScriptedOperator op(clock);
  ScriptLink link(clock);
  std::string mem = "F7.";
  link.respond = [&](const std::string& w) { return tableChip(chipAnswers("58.", mem, "FF.", "FF."))(w); };
  Engine engine(link, op, op, op, clock);
  EXPECT_EQ(engine.images().chipSize, 0x10000);
  EXPECT_TRUE(engine.readDeviceInfo(false).done());
  EXPECT_EQ(engine.images().chipSize, 0x8000);
  mem = "FC.";
  EXPECT_TRUE(engine.readDeviceInfo(false).done());
  EXPECT_EQ(engine.images().chipSize, 0x8000);
  EXPECT_EQ(engine.device().mem, "FC");
}

TEST(DeviceInfo, RefusedManufacturerStopsBeforeTheDecision) {
  FakeClock clock;
  ScriptedOperator op(clock);
  ScriptLink link(clock);
  link.respond = tableChip(chipAnswers("X", "FC.", "FF.", "FF."));
  Engine engine(link, op, op, op, clock);
  EXPECT_TRUE(engine.readDeviceInfo(false).done());
  EXPECT_EQ(op.log.size(), 1u + 7u * 2u);  // "Load Misc", then record and reply for seven
  EXPECT_TRUE(op.events.empty());
  EXPECT_EQ(op.field(DeviceField::SBV), "FC");
}

// The manufacturer record's answers in turn (then its last one for ever), the rest of the
// chip healthy. The window shows each value as it came and its outcome says whether it was
// trusted; the command line asks again until two well-formed answers agree, and gives up
// when the box is cancelled.
TEST(DeviceInfo, AnswersThatAreNotExactlyAValue) {
  using Check = Engine::InfoCheck;
  struct Case {
    const char* name;
    Check check;
    std::vector<std::string> manu;  // after the echo; "!" drops the echo
    int okBoxes;                    // cancellable boxes answered OK before Cancel
    isp::OutcomeKind kind;
    std::string shown;  // the Manufactor Id label
    bool incomplete;
    int manuAsked;
  };
  const auto K = isp::OutcomeKind::Done;
  const auto Bad = isp::OutcomeKind::BadAnswer;
  const Case cases[] = {
      {"healthy, shown", Check::AsShown, {"58."}, 0, K, "58", false, 1},
      {"one digit lost, shown", Check::AsShown, {"8."}, 0, K, "8", true, 1},
      {"no stop, shown as X", Check::AsShown, {"58"}, 0, K, "X", true, 1},
      {"three digits", Check::AsShown, {"558."}, 0, K, "558", true, 1},
      {"echo lost", Check::AsShown, {"!58."}, 0, K, "58", true, 1},  // the uncut reply, as shown
      {"healthy, confirmed", Check::Confirmed, {"58."}, 0, K, "58", false, 2},
      {"one digit lost, asked again", Check::Confirmed, {"8.", "58."}, 3, K, "58", false, 3},
      {"a digit garbled into a digit", Check::Confirmed, {"59.", "58."}, 3, K, "58", false, 3},
      {"refusal confirmed", Check::Confirmed, {"X"}, 0, K, "X", false, 2},
      {"echo lost, asked again", Check::Confirmed, {"!58.", "58."}, 3, K, "58", false, 3},
      {"never right: given up", Check::Confirmed, {"8."}, 2, Bad, "", true, 3},
      {"never agrees: given up", Check::Confirmed, {"58.", "59.", "5A."}, 1, Bad, "", true, 3},
      {"no answer at all", Check::Confirmed, {""}, 0, Bad, "", true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    ScriptedOperator op(clock);
    for (int i = 0; i < c.okBoxes; ++i) op.errorAnswers.push_back(isp::Button::Ok);
    op.errorAnswers.push_back(isp::Button::Cancel);
    ScriptLink link(clock);
    int manuAsked = 0;
    const auto chip = tableChip(chipAnswers("58.", "FC.", "FF.", "FF."));
    link.respond = [&](const std::string& w) {
      if (w != ":020000050000F9") return chip(w);
      const std::string& a = c.manu[std::min<std::size_t>(static_cast<std::size_t>(manuAsked++), c.manu.size() - 1)];
      return a.starts_with("!") ? a.substr(1) : w + a;
    };
    Engine engine(link, op, op, op, clock);
    engine.infoCheck = c.check;
    const isp::Outcome outcome = engine.readDeviceInfo(true);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.infoIncomplete, c.incomplete);
    EXPECT_EQ(op.field(DeviceField::Manu), c.shown);
    EXPECT_EQ(manuAsked, c.manuAsked);
    if (c.kind == Bad) {
      EXPECT_EQ(outcome.record, ":020000050000F9");
      EXPECT_EQ(op.field(DeviceField::DevFam), "");  // nothing after the record given up on
    }
  }
}

TEST(DeviceInfo, ValuesThatDoNotConvertEndTheCommand) {
  struct Case {
    const char *manu, *security;
    bool quiet;
    const char* offending;
    bool notice;      // the unknown-device decision ran first
    bool bsbShown;
  };
  const Case cases[] = {
      {"58.", "", false, "", false, false},      // silent security read: ends at once
      {"58.", "1G.", true, "1G", false, false},
      {"5G.", "FF.", false, "5G", true, true},   // identification: decision, then the failure
      {"5G.", "FF.", true, "5G", false, true},
  };
  for (const auto& c : cases) {
    FakeClock clock;
    ScriptedOperator op(clock);
    ScriptLink link(clock);
    link.respond = tableChip(chipAnswers(c.manu, "FC.", c.security, "FF."));
    Engine engine(link, op, op, op, clock);
    const isp::Outcome outcome = engine.readDeviceInfo(c.quiet);
    EXPECT_EQ(outcome.kind, isp::OutcomeKind::BadAnswer) << c.offending;
    EXPECT_EQ(outcome.detail, c.offending);
    EXPECT_EQ(op.of("notice").size(), c.notice ? 1u : 0u) << c.offending;
    EXPECT_EQ(op.field(DeviceField::BSB), c.bsbShown ? "FF" : "") << c.offending;
    EXPECT_EQ(op.field(DeviceField::HSB), "") << c.offending;
    EXPECT_FALSE(engine.busy());
  }
}

}  // namespace
}  // namespace velkorn::testing
