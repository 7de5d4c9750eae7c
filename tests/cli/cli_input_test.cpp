// What the command line takes from outside and gives back: option values, port lists and
// the boards' output files, and JSON text for names that are not UTF-8.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/board_ports.h"
#include "cli/json.h"
#include "cli/options.h"

namespace velkorn::cli {
namespace {

// One value per row: accepted or not, as the option's own rule says.
TEST(CliOptions, OptionValues) {
  struct Case {
    const char* option;
    const char* value;
    bool accepted;
  };
  const Case cases[] = {
      {"--address", "0", true},
      {"--address", "0x2000", true},
      {"--address", "65535", true},
      {"--address", "0xffff", true},
      {"--address", "-0", false},  // from_chars takes a sign
      {"--address", "0x-0", false},
      {"--address", "-1", false},
      {"--address", "+5", false},
      {"--address", " 5", false},
      {"--address", "0x", false},
      {"--address", "0x10000", false},
      {"--retries", "0", true},
      {"--retries", "-0", false},
      {"--sync-timeout", "-0", false},
      {"--baud", "-0", false},
      {"--baud", "9600", true},
      {"--reset", "dtr=0,wait=10,dtr=1", true},
      {"--reset", "dtr=1,", false},  // an empty step at the end ...
      {"--reset", ",dtr=1", false},  // ... at the start ...
      {"--reset", "dtr=1,,rts=0", false},  // ... or between two
      {"--reset", "", false},
      {"--reset", "wait=-0", false},
      {"--reset", "wait=60000", true},
      {"--run", "rts=1,", false},
      {"--port", "/dev/ttyUSB0", true},
      {"--port", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " '" + c.value + "'");
    // --address belongs to program with a binary file.
    const ParseResult r = parseOptions({c.option, c.value, "program", "fw.bin"});
    EXPECT_EQ(r.ok, c.accepted) << r.error;
    if (!c.accepted) {
      EXPECT_NE(r.error.find(c.option), std::string::npos) << r.error;
    }
  }
}

TEST(BoardPorts, ListsTheirEntriesOrSayWhatIsWrong) {
  struct Case {
    const char* name;
    std::vector<std::string> given;  // --port values
    const char* environment;         // $VELKORN_PORT
    std::vector<std::string> ports;  // the boards; empty: a usage error
    const char* error = "";
  };
  const Case cases[] = {
      {"default", {}, nullptr, {"COM1"}},
      {"environment", {}, "COM7,COM8", {"COM7", "COM8"}},
      {"options win", {"COM2"}, "COM7", {"COM2"}},
      {"list and repeat", {"COM2,COM3", "COM4"}, nullptr, {"COM2", "COM3", "COM4"}},
      {"a comma in a name", {"/dev/serial/by-path/usb-0:1\\,2:1.0,COM3"}, nullptr,
       {"/dev/serial/by-path/usb-0:1,2:1.0", "COM3"}},
      {"other backslashes stay", {"\\\\.\\COM10"}, nullptr, {"\\\\.\\COM10"}},
      {"a lone comma", {","}, "COM7", {}, "--port: an empty entry in the port list ','"},
      {"commas only, environment set", {",,,"}, "COM7", {}, "--port: an empty entry"},
      {"trailing comma", {"COM2,"}, nullptr, {}, "--port: an empty entry"},
      {"leading comma", {",COM2"}, nullptr, {}, "--port: an empty entry"},
      {"empty entry in the environment", {}, "COM7,,COM8", {}, "VELKORN_PORT: an empty entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Options o;
    o.ports = c.given;
    const BoardPorts b = boardPorts(o, c.environment);
    if (c.ports.empty()) {
      EXPECT_EQ(b.error.rfind(c.error, 0), 0u) << b.error;
    } else {
      EXPECT_EQ(b.error, "");
      EXPECT_EQ(b.ports, c.ports);
    }
  }
}

TEST(BoardPorts, TheSamePortOrTheSameFileTwiceIsFound) {
  struct Case {
    const char* name;
    std::vector<std::string> ports;
    std::optional<std::pair<std::size_t, std::size_t>> repeated, sharedFile;
  };
  const std::string pattern = "out-{port}.bin";
  const Case cases[] = {
      {"all different", {"tcp://a:1", "tcp://b:1", "/no/such/a", "/no/such/b"}, std::nullopt, std::nullopt},
      {"network names in any case", {"tcp://host:1", "rfc2217://h:2", "TCP://HOST:1"}, std::pair{0u, 2u},
       std::nullopt},
      {"a slash and an underscore", {"/no/such/a/b", "/no/such/a_b"}, std::nullopt, std::pair{0u, 1u}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(repeatedPort(c.ports), c.repeated);
    EXPECT_EQ(sharedBoardFile(pattern, c.ports), c.sharedFile);
  }
  EXPECT_EQ(boardFile("dump-{port}-{port}.hex", "/dev/ttyUSB0"), "dump-_dev_ttyUSB0-_dev_ttyUSB0.hex");
  // Thousands of boards are told apart in one pass; the last repeats the first.
  std::vector<std::string> many;
  for (int i = 0; i < 5000; ++i) many.push_back("tcp://127.0.0.1:" + std::to_string(i + 1));
  many.push_back("tcp://127.0.0.1:1");
  EXPECT_EQ(repeatedPort(many), (std::pair<std::size_t, std::size_t>{0u, 5000u}));
}

// A name that is not UTF-8 keeps its bytes: each stray byte is U+DC00 plus the byte, which
// no UTF-8 name holds, so no other file is named.
TEST(Json, TextThatIsNotUtf8KeepsItsBytes) {
  struct Case {
    std::string text;
    std::string json;
  };
  const Case cases[] = {
      {"odd-\xff\xfe.hex", "\"odd-\\uDCFF\\uDCFE.hex\""},
      {"\xc3\xbf.hex", "\"\xc3\xbf.hex\""},                  // U+00FF written as UTF-8 stays
      {"\xc3", "\"\\uDCC3\""},                                // a sequence cut short
      {"\xc0\xaf", "\"\\uDCC0\\uDCAF\""},                     // an overlong '/'
      {"\xed\xa0\x80", "\"\\uDCED\\uDCA0\\uDC80\""},          // a surrogate in UTF-8
      {"a\x1b[2J\"\\", "\"a\\u001B[2J\\\"\\\\\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(jsonString(c.text), c.json);
  }
}

}  // namespace
}  // namespace velkorn::cli
