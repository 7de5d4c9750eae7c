// The termios layer on a real pseudo-terminal: exclusive open, the low-latency note, bytes
// both ways, the bounded one-byte read, rate changes and refusals, and a port that is closed
// or has vanished.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <thread>

#include "link/serial_port.h"
#include "link/serial_rate.h"
#include "support/pty.h"

namespace velkorn::link {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(pty_.slave().empty()) << "no pseudo-terminal"; }
  testing::PseudoTerminal pty_;
};

speed_t currentSpeed(int fd) {
  termios tio{};
  ::tcgetattr(fd, &tio);
  return ::cfgetospeed(&tio);
}

TEST_F(SerialPortTest, OpensRaw8N1WithoutFlowControlAndNotesLowLatency) {
  SerialPort port;
  const Status opened = port.open(pty_.slave());
  ASSERT_TRUE(opened.ok()) << opened.message();
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(port.path(), pty_.slave());
  termios tio{};
  ASSERT_EQ(::tcgetattr(port.fd(), &tio), 0);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);
  // A pseudo-terminal has no latency setting: the open succeeds and the note says why.
  EXPECT_EQ(port.lowLatency(), LowLatency::NotAvailable);
  EXPECT_EQ(port.lowLatencyNote().rfind("low latency not available: ", 0), 0u) << port.lowLatencyNote();
  port.close();
  EXPECT_EQ(port.lowLatencyNote(), "");
}

TEST_F(SerialPortTest, SecondOpenOfAHeldPortIsRefusedWithAReason) {
  SerialPort first;
  ASSERT_TRUE(first.open(pty_.slave()));
  SerialPort second;
  const Status refused = second.open(pty_.slave());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.code(), ErrorCode::Busy);
  EXPECT_FALSE(second.isOpen());
  EXPECT_FALSE(refused.message().empty());
  // Released on close: the next program gets the port.
  first.close();
  const Status opened = second.open(pty_.slave());
  EXPECT_TRUE(opened.ok()) << opened.message();
}

TEST_F(SerialPortTest, PortLockedByAnotherProgramNamesTheHolder) {
  const int other = ::open(pty_.slave().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  SerialPort port;
  const Status refused = port.open(pty_.slave());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.code(), ErrorCode::Busy);
  EXPECT_NE(refused.message().find("another program"), std::string::npos) << refused.message();
  ::close(other);
}

TEST_F(SerialPortTest, BytesTravelBothWaysUnchanged) {
  SerialPort port;
  ASSERT_TRUE(port.open(pty_.slave()));
  // CR, LF, XON/XOFF, NUL and 0xFF must pass untouched in raw mode.
  const std::string record = std::string(":0100000000FF\r\n\x11\x13", 17) + std::string(1, '\0') + "\xFF";
  ASSERT_TRUE(port.write(record));
  EXPECT_EQ(pty_.receive(record.size()), record);

  // Announced as longer than it is: the bytes that do come still come whole and in order.
  port.expectBytes(record.size() + 40);
  ASSERT_TRUE(pty_.send(record));
  std::string got;
  for (int i = 0; i < 200 && got.size() < record.size(); ++i) {
    const ReadResult r = port.readByte();
    ASSERT_TRUE(r.ok()) << r.message();
    if (r->count == 1) got.push_back(static_cast<char>(r->byte));
  }
  EXPECT_EQ(got, record);
}

// A read that waited for all the expected bytes would never return here (how soon it gives
// up is the benchmarks' to measure).
TEST_F(SerialPortTest, ReadWithNothingArrivingReturnsEmpty) {
  SerialPort port;
  ASSERT_TRUE(port.open(pty_.slave()));
  ASSERT_TRUE(port.write(":05000004000000FF00F8"));
  port.expectBytes(647);  // a read answer that never comes
  const ReadResult r = port.readByte();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->count, 0);
}

// Any rate the driver takes, standard or not: a pseudo-terminal keeps what termios2 set.
TEST_F(SerialPortTest, RateChangesApplyAndRefusalsKeepTheOldRate) {
  SerialPort port;
  ASSERT_TRUE(port.open(pty_.slave()));
  struct Step {
    int rate;
    bool accepted;
    int expected;  // the port's rate afterwards, as the driver holds it
  };
  const Step steps[] = {
      {9600, true, 9600},     {250000, true, 250000}, {0, false, 250000},
      {-9600, false, 250000}, {115200, true, 115200}, {12345, true, 12345},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.rate);
    const Status result = port.setBaudRate(s.rate);
    EXPECT_EQ(result.ok(), s.accepted);
    if (!s.accepted) {
      EXPECT_EQ(result.code(), ErrorCode::Invalid);
      EXPECT_FALSE(result.message().empty());
    }
    EXPECT_EQ(lineRate(port.fd()), s.expected);
    EXPECT_EQ(port.baudRate(), s.expected);
    EXPECT_TRUE(port.isOpen());
  }
  // The standard rates stay visible through the C library's own view.
  ASSERT_TRUE(port.setBaudRate(115200));
  EXPECT_EQ(currentSpeed(port.fd()), static_cast<speed_t>(B115200));
}

TEST_F(SerialPortTest, ClosedPortFailsAtOnce) {
  SerialPort port;
  EXPECT_EQ(port.write("U").code(), ErrorCode::Closed);
  EXPECT_EQ(port.readByte().code(), ErrorCode::Closed);
  EXPECT_EQ(port.setBaudRate(115200).code(), ErrorCode::Closed);
  EXPECT_EQ(port.setModemLine(ModemLine::Dtr, true).code(), ErrorCode::Closed);
  ASSERT_TRUE(port.open(pty_.slave()));
  port.close();
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.write("U").code(), ErrorCode::Closed);
  EXPECT_EQ(port.readByte().code(), ErrorCode::Closed);
}

TEST_F(SerialPortTest, VanishedPortFails) {
  SerialPort port;
  ASSERT_TRUE(port.open(pty_.slave()));
  pty_.closeMaster();
  EXPECT_FALSE(port.readByte().ok());
  EXPECT_FALSE(port.write(":00000001FF"));
}

TEST_F(SerialPortTest, WriteIntoAStalledLineGivesUpInsteadOfBlocking) {
  SerialPort port;
  ASSERT_TRUE(port.open(pty_.slave()));
  // Nobody reads the master: fill the pseudo-terminal's buffer until the driver pushes back.
  // The driver moves bytes on to the master side a moment later, so one full moment is
  // not enough: fill until a pause frees no more room.
  const std::string chunk(1024, 'A');
  int chunks = 0, quietRounds = 0;
  while (chunks < 4096 && quietRounds < 3) {
    const int before = chunks;
    while (chunks < 4096 && ::write(port.fd(), chunk.data(), chunk.size()) > 0) ++chunks;
    while (::write(port.fd(), "A", 1) > 0) {}
    quietRounds = chunks == before ? quietRounds + 1 : 0;
    std::this_thread::sleep_for(milliseconds(20));
    while (::write(port.fd(), "A", 1) > 0) {}
  }
  ASSERT_LT(chunks, 4096) << "the pseudo-terminal never filled";
  // A one-byte record now has 200 ms to go out; it must fail, not hang.
  EXPECT_EQ(port.write("U").code(), ErrorCode::TimedOut);
}

TEST(SerialPortRefusal, PathsThatAreNoTerminalAreRefused) {
  const std::string regular =
      (std::filesystem::temp_directory_path() / ("velkorn_not_a_tty_" + std::to_string(::getpid())))
          .string();
  std::FILE* f = std::fopen(regular.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  const struct {
    std::string path;
    ErrorCode code;
  } cases[] = {{"/dev/null", ErrorCode::Invalid},
               {regular, ErrorCode::Invalid},
               {"/nonexistent/ttyUSB99", ErrorCode::NotFound},
               {"", ErrorCode::NotFound}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SerialPort port;
    const Status opened = port.open(c.path);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.code(), c.code);
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(opened.message().empty());
    EXPECT_FALSE(port.write("U"));
  }
  std::filesystem::remove(regular);
}

}  // namespace
}  // namespace velkorn::link
