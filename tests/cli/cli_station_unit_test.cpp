// The production station's pieces without a board: serial numbers in each format, the
// counter they come from (shared by processes and threads), the configuration file's
// profiles and every way it can be wrong, the record's time stamp.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/config_file.h"
#include "cli/options.h"
#include "cli/record.h"
#include "cli/serial_number.h"
#include "process.h"
#include "support/file_size_limit.h"

namespace velkorn::cli {
namespace {
namespace fs = std::filesystem;

class Station : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velkorn_station_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << text;
    return (dir_ / name).string();
  }
  fs::path dir_;
};

TEST(SerialNumber, EachFormat) {
  using Bytes = std::vector<std::uint8_t>;
  struct Case {
    const char* format;
    std::uint64_t number;
    std::optional<Bytes> bytes;  // none: the number does not fit
  };
  const Case cases[] = {
      {"le16", 0x1234, Bytes{0x34, 0x12}},
      {"be16", 0x1234, Bytes{0x12, 0x34}},
      {"le16", 0xFFFF, Bytes{0xFF, 0xFF}},
      {"le16", 0x10000, std::nullopt},
      {"le32", 0x12345678, Bytes{0x78, 0x56, 0x34, 0x12}},
      {"be32", 0x12345678, Bytes{0x12, 0x34, 0x56, 0x78}},
      {"be32", 0x100000000, std::nullopt},
      {"dec:6", 41, Bytes{'0', '0', '0', '0', '4', '1'}},
      {"dec:3", 999, Bytes{'9', '9', '9'}},
      {"dec:3", 1000, std::nullopt},
      {"hex:4", 0xBEEF, Bytes{'B', 'E', 'E', 'F'}},
      {"hex:2", 0x100, std::nullopt},
      {"dec:20", 18446744073709551615u, Bytes{'1', '8', '4', '4', '6', '7', '4', '4', '0', '7',
                                              '3', '7', '0', '9', '5', '5', '1', '6', '1', '5'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.number));
    const auto format = parseSerialFormat(c.format);
    ASSERT_TRUE(format);
    EXPECT_EQ(serialImage(c.number, *format), c.bytes);
    if (c.bytes) {
      EXPECT_EQ(serialBytes(*format), static_cast<int>(c.bytes->size()));
    }
  }
  for (const char* bad : {"", "le8", "LE16", "dec", "dec:", "dec:0", "dec:21", "hex:4x", "hex:-1", "dec:+3"}) {
    EXPECT_FALSE(parseSerialFormat(bad)) << bad;
  }
}

// The counter is left as it was whenever no number is handed out.
TEST_F(Station, CounterFileRefusals) {
  const auto le16 = *parseSerialFormat("le16");
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"", "does not hold a decimal number"},        {"12 13\n", "does not hold a decimal number"},
      {"-5\n", "does not hold a decimal number"},    {"0x10\n", "does not hold a decimal number"},
      {"65536\n", "65536, does not fit le16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string counter = write("counter", c.text);
    std::string why;
    EXPECT_FALSE(takeSerialNumber(counter, le16, &why));
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(testing::readFile(counter), c.text);
  }
  std::string why;
  EXPECT_FALSE(takeSerialNumber((dir_ / "missing").string(), le16, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  const std::string counter = write("counter", " 65535 \r\n");
  EXPECT_EQ(takeSerialNumber(counter, le16, &why), 65535u);
  EXPECT_EQ(testing::readFile(counter), "65536\n");
  // A full disk: "99999" must not become "10009", a smaller number given again later.
  write("counter", "99999\n");
  {
    const testing::FileSizeLimit disk(2);
    EXPECT_FALSE(takeSerialNumber(counter, *parseSerialFormat("dec:6"), &why));
  }
  EXPECT_EQ(testing::readFile(counter), "99999\n");
  EXPECT_FALSE(fs::exists(counter + ".velkorn-next"));
}

// Two processes with eight threads each take numbers at once: every number once, none lost.
TEST_F(Station, CounterSharedByProcessesAndThreads) {
  const std::string counter = write("counter", "1000\n");
  const auto format = *parseSerialFormat("dec:8");
  constexpr int kThreads = 8, kEach = 40;
  auto takeAll = [&](const std::string& out) {
    std::vector<std::vector<std::uint64_t>> taken(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          std::string why;
          if (const auto n = takeSerialNumber(counter, format, &why)) taken[static_cast<std::size_t>(t)].push_back(*n);
        }
      });
    }
    for (std::thread& t : threads) t.join();
    std::ofstream file(out);
    for (const auto& list : taken) {
      for (std::uint64_t n : list) file << n << '\n';
    }
  };
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    takeAll((dir_ / "child").string());
    ::_exit(0);
  }
  takeAll((dir_ / "parent").string());
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  std::multiset<std::uint64_t> all;
  for (const char* name : {"child", "parent"}) {
    std::ifstream in(dir_ / name);
    for (std::uint64_t n; in >> n;) all.insert(n);
  }
  ASSERT_EQ(all.size(), 2u * kThreads * kEach);
  std::uint64_t expected = 1000;
  for (std::uint64_t n : all) EXPECT_EQ(n, expected++);
  EXPECT_EQ(testing::readFile(counter), std::to_string(expected) + "\n");
}

TEST(Record, UtcTimeWithMilliseconds) {
  using namespace std::chrono;
  const auto at = sys_days{year{2026} / March / 1} + hours{7} + minutes{5} + seconds{9} + milliseconds{42};
  EXPECT_EQ(utcTime(at), "2026-03-01T07:05:09.042Z");
}

// [default], then the profile, then the command line; a profile's ports replace the
// default's and the command line's replace both.
TEST_F(Station, ProfilePrecedence) {
  const std::string conf = write("station.conf",
                                 "# line 3\n"
                                 "[default]\n"
                                 "baud = 460800\n"
                                 "retries = 5\n"
                                 "port = usb:A1, usb:B2\n"
                                 "record = /var/log/default.jsonl\n"
                                 "\n"
                                 "[line2]\n"
                                 "  baud=9600  \n"
                                 "port = COM4\n"
                                 "serial-at = 0x7FF0\n"
                                 "serial-format = dec:6\n"
                                 "serial-file = serials\n"
                                 "[empty]\n");
  struct Case {
    std::vector<std::string> args;
    int baud, retries;
    std::vector<std::string> ports;
    int serialAt;
  } cases[] = {
      {{"--config", conf, "program", "a.hex"}, 460800, 5, {"usb:A1,usb:B2"}, -1},
      {{"--config=" + conf, "--profile", "line2", "program", "a.hex"}, 9600, 5, {"COM4"}, 0x7FF0},
      {{"--config", conf, "--profile=line2", "-b", "115200", "-p", "COM1", "program", "a.hex"},
       115200, 5, {"COM1"}, 0x7FF0},
      {{"--config", conf, "--profile", "empty", "--retries", "0", "program", "a.hex"},
       460800, 0, {"usb:A1,usb:B2"}, -1},
      // A profile's serial number is for program alone: info runs without it.
      {{"--config", conf, "--profile", "line2", "info"}, 9600, 5, {"COM4"}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseResult r = parseOptions(c.args);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.baud, c.baud);
    EXPECT_EQ(r.options.retries, c.retries);
    EXPECT_EQ(r.options.ports, c.ports);
    EXPECT_EQ(r.options.serialAt, c.serialAt);
    EXPECT_EQ(r.options.record, "/var/log/default.jsonl");
  }
}

// Every mistake names the file and, where there is one, the line.
TEST_F(Station, ConfigurationErrors) {
  struct Case {
    const char* text;
    std::vector<std::string> args;  // after --config FILE
    const char* error;              // after "FILE"
  } cases[] = {
      {"[default]\nbaud = 9600\nspeed = 1\n", {"info"}, ":3: unknown key speed"},
      {"[default]\n\nbaud = fast\n", {"info"}, ":3: --baud needs a bit rate"},
      {"[a]\nretries = -1\n", {"info"}, ":2: --retries needs a count"},
      {"[a]\nserial-format = dec:0\n", {"info"}, ":2: --serial-format needs"},
      {"[a]\nreset = dtr=2\n", {"info"}, ":2: --reset needs steps"},
      {"[a]\nrecord =\n", {"info"}, ":2: --record needs a file name"},
      {"baud = 9600\n", {"info"}, ":1: baud stands before any section"},
      {"[default]\nbaud 9600\n", {"info"}, ":2: expected key = value"},
      {"[default\n", {"info"}, ":1: a section is [NAME]"},
      {"[]\n", {"info"}, ":1: a section is [NAME]"},
      {"[a]\nbaud = 1\n[b]\n[a]\nbaud = 2\n", {"info"}, ":5: baud is set twice in [a] (first on line 2)"},
      {"[default]\n", {"--profile", "line9", "info"}, ": no profile [line9]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string conf = write("station.conf", c.text);
    std::vector<std::string> args = {"--config", conf};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ParseResult r = parseOptions(args);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.rfind(conf + c.error, 0), 0u) << r.error;
  }
  const ParseResult missing = parseOptions({"--config", (dir_ / "none.conf").string(), "info"});
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find((dir_ / "none.conf").string()), std::string::npos) << missing.error;
  // A folder (or a device) named by mistake is refused, not read.
  const ParseResult folder = parseOptions({"--config", dir_.string(), "info"});
  EXPECT_FALSE(folder.ok);
  EXPECT_NE(folder.error.find("no regular file there"), std::string::npos) << folder.error;
  // Help is there whatever state the file is in.
  EXPECT_TRUE(parseOptions({"--config", (dir_ / "none.conf").string(), "--help"}).ok);
}

// Without --config the file of the configuration directory counts when it is there.
TEST_F(Station, DefaultConfigurationFile) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  const ParseResult none = parseOptions({"--profile", "a", "info"});
  fs::create_directories(dir_ / "velkorn");
  write("velkorn/velkorn-cli.conf", "[default]\nstation = bench 1\n[a]\nsync-timeout = 7\n");
  const ParseResult found = parseOptions({"--profile", "a", "info"});
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_FALSE(none.ok);
  EXPECT_NE(none.error.find("--profile a needs a configuration file"), std::string::npos) << none.error;
  ASSERT_TRUE(found.ok) << found.error;
  EXPECT_EQ(found.options.station, "bench 1");
  EXPECT_EQ(found.options.syncTimeoutS, 7);
}

}  // namespace
}  // namespace velkorn::cli
