// velkorn-cli over network ports: through the real ser2net (raw and RFC 2217) bridging
// velkorn-target's pseudo-terminal, and straight to velkorn-target --tcp. The wire records
// are those of the pseudo-terminal; servers that close, talk garbage or say nothing fail
// with a message and within their limits; 20 ms of network delay each way changes nothing.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/hex_writer.h"
#include "link/loopback_peer.h"
#include "cli_fixture.h"
#include "process.h"
#include "support/ser2net.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The target's --log lines that start with a record: each record and its answer.
std::vector<std::string> recordsOf(const std::string& log) {
  std::vector<std::string> records;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == ':') records.push_back(line);
  }
  return records;
}

using CliNetworkTest = CliFixture;

// info, program and verify through each way to the target: the same records and answers in
// the same order, the same flash. Over RFC 2217 the server's port, set to 9600 when the
// connection opens, is at 115200 when the first byte reaches the target.
TEST_F(CliNetworkTest, EveryPathCarriesTheSameRecords) {
  enum class Path { Pty, Raw, Rfc2217, TargetTcp };
  const Path paths[] = {Path::Pty, Path::Raw, Path::Rfc2217, Path::TargetTcp};
  const char* pathNames[] = {"pseudo-terminal", "ser2net raw", "ser2net rfc2217", "velkorn-target --tcp"};
  const Flash blank(0x10000, 0xFF);
  struct Command {
    std::vector<std::string> args;
    Flash preset, after;
  };
  const Command commands[] = {
      {{"info"}, blank, blank},
      {{"program", kBlinky}, blank, blinkyFlash()},
      {{"verify", kBlinky}, blinkyFlash(), blinkyFlash()},
  };
  for (const Command& command : commands) {
    std::vector<std::string> reference;
    for (const Path p : paths) {
      SCOPED_TRACE(command.args[0] + " over " + pathNames[static_cast<int>(p)]);
      auto target = startTarget(command.preset, p == Path::TargetTcp ? std::vector<std::string>{"--tcp", "0"}
                                                                     : std::vector<std::string>{});
      std::unique_ptr<Ser2Net> server;
      std::string port = target->port();
      if (p == Path::Raw || p == Path::Rfc2217) {
        server = std::make_unique<Ser2Net>(p == Path::Raw ? Ser2Net::Mode::Raw : Ser2Net::Mode::Rfc2217, port, dir_,
                                           p == Path::Raw ? 115200 : 9600);
        ASSERT_TRUE(server->running()) << server->error();
        port = server->url();
      }
      const RunResult r = cli(port, command.args);
      EXPECT_EQ(r.status, 0) << r.err;
      if (server) server->stop();
      const std::string log = target->stop();
      EXPECT_TRUE(flash() == command.after);
      const auto records = recordsOf(log);
      if (p == Path::Pty) {
        EXPECT_GE(records.size(), 9u) << log;
        reference = records;
      } else {
        EXPECT_EQ(records, reference);
      }
      if (p == Path::Rfc2217) {
        EXPECT_NE(log.find("line at 115200 bit/s"), std::string::npos) << log;
        EXPECT_EQ(log.find("line at 9600"), std::string::npos) << log;
      }
    }
  }
}

// --baud reaches the chip's line, a rate no table names too: the target logs the rate its
// "U" came at. Over raw TCP the rate is the server's, and the command line says so once,
// not once per synchronisation attempt.
TEST_F(CliNetworkTest, BaudReachesTheLineOrIsNamedOnce) {
  enum class Path { Pty, Rfc2217, Raw };
  const struct {
    const char* name;
    Path path;
    int baud;
    std::string logHas;
  } cases[] = {
      {"pseudo-terminal", Path::Pty, 250000, "line at 250000 bit/s"},
      {"ser2net rfc2217", Path::Rfc2217, 460800, "line at 460800 bit/s"},
      {"velkorn-target --tcp", Path::Raw, 460800, ""},
  };
  const std::string rawNote = "over a raw TCP link the rate is the server's";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto target = startTarget({}, c.path == Path::Raw ? std::vector<std::string>{"--tcp", "0"}
                                                      : std::vector<std::string>{});
    std::unique_ptr<Ser2Net> server;
    std::string port = target->port();
    if (c.path == Path::Rfc2217) {
      server = std::make_unique<Ser2Net>(Ser2Net::Mode::Rfc2217, port, dir_, 9600);
      ASSERT_TRUE(server->running()) << server->error();
      port = server->url();
    }
    const RunResult r = cli(port, {"-b", std::to_string(c.baud), "info"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::size_t note = r.err.find(rawNote);
    EXPECT_EQ(note != std::string::npos, c.path == Path::Raw) << r.err;
    if (note != std::string::npos) {
      EXPECT_EQ(r.err.find(rawNote, note + 1), std::string::npos) << r.err;
    }
    if (server) server->stop();
    const std::string log = target->stop();
    if (!c.logHas.empty()) {
      EXPECT_NE(log.find(c.logHas), std::string::npos) << log;
    }
  }
}

// Servers that fail the programmer: a clear message, the right status, no success line,
// and an end within the limits (the sync's, the negotiation's), never a hang.
TEST_F(CliNetworkTest, FailingServersEndClearlyAndInTime) {
  // Garbage where the Telnet negotiation should be: a WILL of a command byte, an IAC before
  // a data byte, an unknown DO, a COM-PORT subnegotiation that never ends.
  const std::string telnetGarbage = std::string("\xFF\xFB\xF0\xFF\x01\xFF\xFD\xC8\xFF\xFA\x2C\x65\x00", 13) +
                              std::string(600, '\xAA');
  enum class Server { HangsUpMidRecord, TelnetGarbage, SilentRaw, SilentTelnet, Refusing };
  struct Case {
    const char* name;
    Server server;
    std::vector<std::string> args;
    int status;
    std::string stderrHas;
  };
  const Case cases[] = {
      // The 400th byte lies inside the programming's data records.
      {"closes mid-record", Server::HangsUpMidRecord, {"program", kBlinky}, 1,
       "velkorn-cli: the line to the target failed during the programming: connection to 127.0.0.1:"},
      {"garbage Telnet options", Server::TelnetGarbage, {"info"}, 3,
       "no answer to the COM-PORT-OPTION (RFC 2217) from 127.0.0.1:"},
      {"never answers, raw", Server::SilentRaw, {"--sync-timeout", "1", "info"}, 3,
       "velkorn-cli: Can not synchronize target \"U\""},
      {"never answers, rfc2217", Server::SilentTelnet, {"info"}, 3, "no Telnet answer from 127.0.0.1:"},
      {"refuses the connection", Server::Refusing, {"info"}, 3, "Connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Target> target;
    std::unique_ptr<LoopbackPeer> peer;
    std::string port;
    switch (c.server) {
      case Server::HangsUpMidRecord:
        target = startTarget(Flash(0x10000, 0xFF), {"--tcp", "0", "--hang-up-after", "400"});
        port = target->port();
        break;
      case Server::TelnetGarbage:
      case Server::SilentRaw:
      case Server::SilentTelnet: {
        const bool garbled = c.server == Server::TelnetGarbage;
        peer = std::make_unique<LoopbackPeer>([&telnetGarbage, garbled](LoopbackPeer& p) {
          if (garbled) p.send(telnetGarbage);
          // Takes what comes until the client gives up.
          p.receive(1 << 20, milliseconds(10000));
        });
        port = peer->url(c.server == Server::SilentRaw ? "tcp" : "rfc2217");
        break;
      }
      case Server::Refusing:
        port = "tcp://127.0.0.1:" + std::to_string(Ser2Net::freePort());
        break;
    }
    // A hang is killed at the run's limit and shows as status -1.
    const RunResult r = cli(port, c.args, seconds(30));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// 20 ms of network delay each way: the answers that end at a pause still end whole, a read
// answer cut short is still read again, and every command succeeds.
TEST_F(CliNetworkTest, TwentyMillisecondsEachWayCostNoSuccess) {
  const Flash blinky = blinkyFlash(0x8000);
  // A 32 KiB part halves the exchanges; the first read request is answered one short.
  auto target = startTarget(blinky, {"--tcp", "0", "--32k", "--delay", "20", "--short-read", "1"});
  const fs::path out = path("chip.hex");
  struct Step {
    std::vector<std::string> args;
    std::string stdoutHas;
  };
  const Step steps[] = {
      {{"info"}, "Manufactor Id: 58\n"},
      {{"read", out.string()}, "Read 32768 bytes into " + out.string() + " (CRC-32 "},
      {{"program", kBlinky}, "Programmed and verified " + kBlinky + " (CRC-32 "},
      {{"verify", kBlinky}, "Matched OK!!! (CRC-32 "},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.args[0]);
    const RunResult r = cli(target->port(), s.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(s.stdoutHas), std::string::npos) << r.out;
  }
  EXPECT_EQ(readFile(out), writeIntelHex(blinky.data(), static_cast<int>(blinky.size())));
  target->stop();
  EXPECT_TRUE(flash() == blinky);
}

}  // namespace
}  // namespace velkorn::testing
