// COM n on fake /dev and /sys trees with a temporary configuration directory.
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file/directories.h"
#include "link/port_list.h"
#include "link/port_names.h"
#include "support/pty.h"

namespace velkorn::link {
namespace {
namespace fs = std::filesystem;

class PortNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("velkorn_ports_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "dev");
    fs::create_directories(root_ / "sys");
    fs::create_directories(root_ / "config");
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) savedXdg_ = old;
    hadXdg_ = std::getenv("XDG_CONFIG_HOME") != nullptr;
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    roots_.dev = (root_ / "dev").string();
    roots_.sysTty = (root_ / "sys").string();
  }
  void TearDown() override {
    if (hadXdg_) {
      ::setenv("XDG_CONFIG_HOME", savedXdg_.c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    fs::remove_all(root_);
  }

  void device(const std::string& name) { std::ofstream(root_ / "dev" / name) << ""; }
  // A ttyS node with a UART behind it.
  void uart(const std::string& name) {
    device(name);
    fs::create_directories(root_ / "sys" / name / "device" / "driver");
  }
  std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }
  std::string pin(int n, const std::string& target) {
    EXPECT_TRUE(file::ensureConfigDirectory());
    const fs::path link = fs::path(file::configDirectory()) / ("COM" + std::to_string(n));
    fs::create_symlink(target, link);
    return link.string();
  }

  fs::path root_;
  DeviceRoots roots_;
  std::string savedXdg_;
  bool hadXdg_ = false;
};

TEST_F(PortNamesTest, DefaultOrderPutsAdaptersFirstInNumericOrder) {
  for (const char* n : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyUSB0", "ttyACM1"}) device(n);
  for (const char* n : {"ttyS10", "ttyS2", "ttyS0"}) uart(n);
  // No driver: a placeholder node the kernel lists without hardware.
  for (const char* n : {"ttyS1", "ttyS3", "tty0", "ttyUSB", "ttyUSBx1", "console", "ttyprintk"}) {
    device(n);
  }
  const std::vector<std::string> expected = {
      dev("ttyACM0"), dev("ttyACM1"), dev("ttyUSB0"), dev("ttyUSB2"),
      dev("ttyUSB10"), dev("ttyS0"),  dev("ttyS2"),  dev("ttyS10")};
  EXPECT_EQ(defaultSerialDevices(roots_), expected);
}

TEST_F(PortNamesTest, MissingRootsGiveNoDevices) {
  DeviceRoots absent{(root_ / "nope").string(), (root_ / "nope2").string()};
  EXPECT_TRUE(defaultSerialDevices(absent).empty());
  EXPECT_EQ(comDevicePath(1, absent), "");
}

TEST_F(PortNamesTest, ComNumbersMapToDevicesAndPinsWin) {
  device("ttyUSB0");
  device("ttyUSB1");
  uart("ttyS0");
  const std::string pinned2 = pin(2, "/dev/pts/7");
  const std::string dangling5 = pin(5, (root_ / "gone").string());
  struct Case {
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"COM1", dev("ttyUSB0")},
      {"com1", dev("ttyUSB0")},
      {"Com3", dev("ttyS0")},
      {"COM2", pinned2},     // the pin wins over ttyUSB1
      {"COM5", dangling5},   // a pin whose device is unplugged still names COM 5
      {"COM4", ""},          // no fourth device
      {"COM0", "COM0"},      // not a COM number: taken as a path
      {"COMX", "COMX"},
      {"COM", "COM"},
      {"/dev/ttyUSB7", "/dev/ttyUSB7"},
      {"/dev/serial/by-id/usb-FTDI", "/dev/serial/by-id/usb-FTDI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(resolvePortName(c.name, roots_), c.expected);
  }
  EXPECT_EQ(comDevicePath(0, roots_), "");
  EXPECT_EQ(comDevicePath(-1, roots_), "");
}

// Listing opens no port (opening raises DTR and RTS and resets a board wired for a DTR
// reset): the device shows no open while the list is made, yet a flock on a port is seen
// and a pin shows the device it stands for. --probe opens them.
TEST_F(PortNamesTest, ListingOpensNoPortProbeDoes) {
  testing::PseudoTerminal board, held;
  ASSERT_TRUE(board.isOpen() && held.isOpen());
  fs::create_symlink(board.slave(), root_ / "dev" / "ttyUSB0");
  fs::create_symlink(held.slave(), root_ / "dev" / "ttyUSB1");
  const std::string gone = (root_ / "unplugged").string();
  pin(5, gone);
  const int holder = ::open(held.slave().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, board.slave().c_str(), IN_OPEN), 0);
  auto opened = [watch](int waitMs) {
    pollfd p{watch, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return false;
    char events[4096];
    return ::read(watch, events, sizeof events) > 0;
  };

  const std::vector<PortEntry> listed = listPorts(false, roots_);
  EXPECT_FALSE(opened(0));
  ASSERT_EQ(listed.size(), 3u);
  struct Expected {
    const char* name;
    std::string device;
    bool available;
    const char* reason;
  } const expected[] = {
      {"COM1", board.slave(), true, ""},
      {"COM2", held.slave(), false, "the port is held by another program"},
      {"COM5", gone, false, "no such device"},
  };
  for (std::size_t i = 0; i < listed.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(listed[i].name, expected[i].name);
    EXPECT_EQ(listed[i].device, expected[i].device);
    EXPECT_EQ(listed[i].available, expected[i].available);
    EXPECT_EQ(listed[i].reason, expected[i].reason);
  }

  const std::vector<PortEntry> probed = listPorts(true, roots_);
  // The open shows up as an event; waited for, not timed.
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) seen = opened(100);
  EXPECT_TRUE(seen);
  ASSERT_EQ(probed.size(), 3u);
  EXPECT_TRUE(probed[0].available);
  EXPECT_EQ(probed[1].reason, "the port is held by another program");
  ::close(watch);
  ::close(holder);
}

}  // namespace
}  // namespace velkorn::link
