// Both ends' Telnet decoders on the same bytes. The rfc2217:// link's, fed over a real socket
// pair as a server sends them: line data comes out in order and never more of it than came
// in, IAC IAC is one 0xFF, a stream without IAC is data as it is (less the NUL a CR brings
// while BINARY is off), and what the link answers is whole option replies that agree only to
// the options it wants. The simulated server's, fed in pieces as its socket reads them: the
// same for the data (it keeps NULs), options with their verbs, subnegotiations bounded.
//
// The first input byte picks the form: odd, the rest is line data that goes out with its
// 0xFF doubled and must come back exactly; even, the rest goes on the wire as it is.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "check.h"
#include "link/rfc2217_link.h"
#include "link/telnet.h"
#include "sim/telnet_decoder.h"

using namespace velkorn::link;
using namespace velkorn::link::telnet;
using velkorn::sim::TelnetDecoder;

namespace {

constexpr std::size_t kMaxInput = 16 * 1024;  // well inside a socket pair's buffer

// What the link must hand out for a stream without commands: a NUL right after a CR is the
// NVT's padding and is dropped.
std::string withoutCrNul(const std::string& bytes) {
  std::string out;
  bool cr = false;
  for (char c : bytes) {
    if (!(c == '\0' && cr)) out += c;
    cr = c == '\r';
  }
  return out;
}

bool isSubsequence(const std::string& part, const std::string& whole) {
  std::size_t at = 0;
  for (char c : whole) {
    if (at < part.size() && part[at] == c) ++at;
  }
  return at == part.size();
}

bool wanted(std::uint8_t option) { return option == kBinary || option == kSuppressGoAhead || option == kComPortOption; }

std::string readAll(int fd) {
  std::string got;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const bool escaped = (data[0] & 1) != 0;
  const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string wire;
  if (escaped) {
    for (char c : body) {
      wire += c;
      if (static_cast<std::uint8_t>(c) == kIac) wire += c;
    }
  } else {
    wire = body;
  }

  int pair[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  const int server = pair[1];
  FUZZ_CHECK(::fcntl(pair[0], F_SETFL, O_NONBLOCK) == 0);
  // The server says everything, then stops sending; it still takes the link's answers.
  std::size_t sent = 0;
  while (sent < wire.size()) {
    const ssize_t n = ::write(server, wire.data() + sent, wire.size() - sent);
    FUZZ_CHECK(n > 0);
    sent += static_cast<std::size_t>(n);
  }
  FUZZ_CHECK(::shutdown(server, SHUT_WR) == 0);

  std::string out;
  {
    Rfc2217Link link(NetAddress{NetScheme::Rfc2217, "127.0.0.1", 2217}, pair[0]);
    for (;;) {
      const auto read = link.readByte();
      if (!read) break;
      if (read->count == 1) out += static_cast<char>(read->byte);
      FUZZ_CHECK(out.size() <= wire.size());
    }
  }  // the link closes its end: the answers below are all it sent
  FUZZ_CHECK(::fcntl(server, F_SETFL, O_NONBLOCK) == 0);
  const std::string answers = readAll(server);
  ::close(server);

  FUZZ_CHECK(out.size() <= wire.size());
  FUZZ_CHECK(isSubsequence(out, wire));
  std::size_t iacIn = 0, iacOut = 0;
  for (char c : wire) iacIn += static_cast<std::uint8_t>(c) == kIac;
  for (char c : out) iacOut += static_cast<std::uint8_t>(c) == kIac;
  FUZZ_CHECK(iacOut <= iacIn / 2);
  if (escaped) {
    FUZZ_CHECK(out == withoutCrNul(body));
    FUZZ_CHECK(answers.empty());
  }
  if (iacIn == 0) FUZZ_CHECK(out == withoutCrNul(wire));

  // The server's side, in pieces whose sizes the data picks: the state carries over.
  std::string serverData;
  std::size_t commands = 0, subnegotiations = 0;
  TelnetDecoder decoder;
  decoder.onCommand = [&](std::uint8_t verb, std::uint8_t) {
    FUZZ_CHECK(verb >= kWill && verb <= kDont);
    ++commands;
  };
  decoder.onSubnegotiation = [&](const std::string& sub) {
    FUZZ_CHECK(sub.size() <= TelnetDecoder::kMaxSubnegotiation);
    ++subnegotiations;
  };
  for (std::size_t at = 0, step = 1; at < wire.size(); at += step) {
    step = 1 + static_cast<std::uint8_t>(wire[at]) % 7;
    decoder.decode(wire.data() + at, std::min(step, wire.size() - at), serverData);
  }
  FUZZ_CHECK(serverData.size() <= wire.size());
  FUZZ_CHECK(isSubsequence(serverData, wire));
  // IAC, a verb and its option; IAC SB and IAC SE around the shortest subnegotiation.
  FUZZ_CHECK(3 * commands + 4 * subnegotiations + serverData.size() <= wire.size());
  std::size_t iacServer = 0;
  for (char c : serverData) iacServer += static_cast<std::uint8_t>(c) == kIac;
  FUZZ_CHECK(iacServer <= iacIn / 2);
  if (escaped) FUZZ_CHECK(serverData == body && commands == 0 && subnegotiations == 0);
  if (iacIn == 0) FUZZ_CHECK(serverData == wire);

  // Answers: IAC, a verb, an option; yes only to what the link wants; at most one per
  // request the server made.
  FUZZ_CHECK(answers.size() % 3 == 0);
  FUZZ_CHECK(answers.size() <= wire.size());
  for (std::size_t i = 0; i < answers.size(); i += 3) {
    const auto verb = static_cast<std::uint8_t>(answers[i + 1]);
    const auto option = static_cast<std::uint8_t>(answers[i + 2]);
    FUZZ_CHECK(static_cast<std::uint8_t>(answers[i]) == kIac);
    FUZZ_CHECK(verb >= kWill && verb <= kDont);
    if (verb == kDo || verb == kWill) FUZZ_CHECK(wanted(option));
  }
  return 0;
}
