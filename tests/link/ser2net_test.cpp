// The network links against the real ser2net on 127.0.0.1: the engine synchronises with
// velkorn-target through it and reads the device information, raw and over rfc2217; and a
// rate change over rfc2217 reaches the line settings of the server's port.
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "cli/process.h"
#include "isp/clock.h"
#include "isp/engine.h"
#include "link/network_link.h"
#include "support/fake_clock.h"
#include "support/pty.h"
#include "support/scripted_operator.h"
#include "support/ser2net.h"

namespace velkorn::link {
namespace {

namespace fs = std::filesystem;
using testing::Ser2Net;

class Ser2NetTest : public ::testing::TestWithParam<Ser2Net::Mode> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velkorn_ser2net_" + std::to_string(::getpid()) + "_" +
                                        std::to_string(counter_++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  static inline int counter_ = 0;
};

TEST_P(Ser2NetTest, EngineSynchronisesAndReadsTheDeviceThroughTheServer) {
  testing::Target target({}, (dir_ / "target.log").string());
  ASSERT_FALSE(target.port().empty()) << "velkorn-target did not start";
  Ser2Net server(GetParam(), target.port(), dir_);
  ASSERT_TRUE(server.running()) << server.error();

  auto opened = openNetworkLink(server.url());
  ASSERT_TRUE(opened.ok()) << opened.message();
  auto link = std::move(*opened);
  // What each rate change answered: nothing when it was set, else the Error's code.
  std::vector<std::optional<ErrorCode>> rates;
  link->onRate = [&](int, const Status& r) { rates.push_back(r ? std::nullopt : std::optional<ErrorCode>(r.code())); };

  testing::FakeClock operatorClock;
  testing::ScriptedOperator op(operatorClock);
  // The sync window's limit, on the wall clock: a server that passes nothing ends the test.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  op.onProcessEvents = [&] { op.cancelSyncNow = std::chrono::steady_clock::now() > giveUp; };
  isp::SystemClock clock;
  isp::Engine engine(*link, op, op, op, clock);

  const isp::Outcome outcome = engine.sync();
  EXPECT_TRUE(outcome.done()) << target.stop();
  // rfc2217 sets the server's port; raw TCP cannot and says so.
  const std::optional<ErrorCode> expected =
      GetParam() == Ser2Net::Mode::Rfc2217 ? std::nullopt : std::optional<ErrorCode>(ErrorCode::Unsupported);
  EXPECT_EQ(rates, std::vector<std::optional<ErrorCode>>{expected}) << link->note();
  // velkorn-target's default chip.
  EXPECT_EQ(engine.device().manu, "58");
  EXPECT_EQ(engine.device().devFam, "D7");
  EXPECT_EQ(engine.device().bversion, "12");
}

INSTANTIATE_TEST_SUITE_P(Modes, Ser2NetTest, ::testing::Values(Ser2Net::Mode::Raw, Ser2Net::Mode::Rfc2217),
                         [](const auto& info) { return info.param == Ser2Net::Mode::Raw ? "Raw" : "Rfc2217"; });

speed_t lineSpeed(int fd) {
  termios tio{};
  ::tcgetattr(fd, &tio);
  return ::cfgetospeed(&tio);
}

TEST_F(Ser2NetTest, Rfc2217RateChangesReachTheServersPort) {
  testing::PseudoTerminal pty;
  ASSERT_TRUE(pty.isOpen());
  Ser2Net server(Ser2Net::Mode::Rfc2217, pty.slave(), dir_);
  ASSERT_TRUE(server.running()) << server.error();
  auto opened = openNetworkLink(server.url());
  ASSERT_TRUE(opened.ok()) << opened.message();
  auto link = std::move(*opened);

  // The master reads the slave's settings, which ser2net changes.
  const struct {
    int rate;
    speed_t speed;
  } steps[] = {{9600, B9600}, {115200, B115200}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.rate);
    EXPECT_TRUE(link->setBaudRate(s.rate).ok()) << link->note();
    EXPECT_EQ(lineSpeed(pty.master()), s.speed);
  }
  termios tio{};
  ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  // Data still flows both ways, 0xFF included.
  const std::string bytes = "U\xFFz";
  EXPECT_TRUE(link->writeBytes(bytes));
  EXPECT_EQ(pty.receive(bytes.size()), bytes);
  ASSERT_TRUE(pty.send("\xFF" "ok"));
  std::string back;
  for (int i = 0; i < 100 && back.size() < 3; ++i) {
    const Result<isp::LinkRead> r = link->readByte();
    ASSERT_TRUE(r.ok()) << r.message();
    if (r->count == 1) back += static_cast<char>(r->byte);
  }
  EXPECT_EQ(back, "\xFF" "ok");
}

}  // namespace
}  // namespace velkorn::link
