// Network links against a scripted server on 127.0.0.1: address parsing, connect failures,
// the raw link, and the Telnet side of rfc2217 (negotiation and refusals, IAC both ways,
// commands and malformed options inside the stream, the rate's acknowledgement). Every
// wait is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/forwarding_link.h"
#include "link/network_link.h"
#include "link/rfc2217_link.h"
#include "link/serial_link.h"
#include "link/tcp_link.h"
#include "loopback_peer.h"

namespace velkorn::link {
namespace {

using std::chrono::milliseconds;
using testing::LoopbackPeer;

std::string b(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// IAC SB COM-PORT-OPTION <command> <value...> IAC SE
std::string sb(std::initializer_list<int> commandAndValue) {
  return b({255, 250, 44}) + b(commandAndValue) + b({255, 240});
}

// What the client asks for at open: WILL COM-PORT, WILL BINARY, DO BINARY, WILL SGA, DO SGA.
const std::string kRequests = b({255, 251, 44, 255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3});
// A server that agrees to all of it.
const std::string kAgreed = b({255, 253, 44, 255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3});
// 8 data bits, no parity, one stop bit, no flow control, DTR on, RTS on.
const std::string kPortSettings =
    sb({2, 8}) + sb({3, 1}) + sb({4, 1}) + sb({5, 1}) + sb({5, 8}) + sb({5, 11});

// Limits for the cases that wait for something that never comes; the others keep the
// defaults, so a slow machine does not fail them.
NetworkLimits shortLimits() {
  NetworkLimits l;
  l.connect.lookup = milliseconds(300);
  l.connect.perAddress = milliseconds(300);
  l.negotiation = milliseconds(300);
  l.rateAnswer = milliseconds(300);
  return l;
}

// The server's side of a good rfc2217 open; `first` goes out before its agreement.
void serveOpen(LoopbackPeer& peer, const std::string& first = {}, std::size_t replies = 0) {
  peer.receive(kRequests.size());
  peer.send(first + kAgreed);
  peer.receive(replies + kPortSettings.size());
}

// What a rate change or a modem line answered: nothing when done, else the Error's code.
std::optional<ErrorCode> codeOf(const Status& s) { return s ? std::nullopt : std::optional<ErrorCode>(s.code()); }

struct Drained {
  std::string data;
  bool failed = false;
};

// Reads until the link fails (the server closed) or 500 reads came back empty.
Drained readToEnd(isp::Link& link) {
  Drained d;
  for (int empty = 0; empty < 500;) {
    const Result<isp::LinkRead> r = link.readByte();
    if (!r) {
      d.failed = true;
      break;
    }
    if (r->count == 1) {
      d.data += static_cast<char>(r->byte);
    } else {
      ++empty;
    }
  }
  return d;
}

TEST(NetAddress, ParsesUrlsAndSaysWhatIsWrong) {
  struct Case {
    std::string url;
    bool network;
    std::string host;  // expected host, or empty when the parse must fail
    int port;
    NetScheme scheme;
    std::string hostPort;
    std::string error;  // part of the expected error text
  };
  const Case cases[] = {
      {"tcp://192.168.1.5:2000", true, "192.168.1.5", 2000, NetScheme::Tcp, "192.168.1.5:2000", ""},
      {"rfc2217://bench-server.local:4001", true, "bench-server.local", 4001, NetScheme::Rfc2217,
       "bench-server.local:4001", ""},
      {"TCP://[::1]:65535", true, "::1", 65535, NetScheme::Tcp, "[::1]:65535", ""},
      {"rfc2217://[fe80::1%eth0]:7000", true, "fe80::1%eth0", 7000, NetScheme::Rfc2217, "[fe80::1%eth0]:7000", ""},
      {"tcp://host", true, "", 0, {}, "", "the port is missing"},
      {"tcp://host:0", true, "", 0, {}, "", "bad port \"0\""},
      {"tcp://host:65536", true, "", 0, {}, "", "bad port \"65536\""},
      {"tcp://host:20x0", true, "", 0, {}, "", "bad port \"20x0\""},
      {"tcp://:2000", true, "", 0, {}, "", "the host is missing"},
      {"tcp://::1:2000", true, "", 0, {}, "", "an IPv6 address goes in brackets"},
      {"tcp://[::1]2000", true, "", 0, {}, "", "a colon and the port must follow the ]"},
      {"tcp://[::1:2000", true, "", 0, {}, "", "lacks its closing ]"},
      {"rfc2217://bad host:2000", true, "", 0, {}, "", "is no host name or address"},
      {"udp://host:2000", false, "", 0, {}, "", "write tcp://HOST:PORT or rfc2217://HOST:PORT"},
      {"COM1", false, "", 0, {}, "", "write tcp://"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(isNetworkPort(c.url), c.network);
    const auto a = parseNetAddress(c.url);
    if (c.host.empty()) {
      ASSERT_FALSE(a.ok());
      EXPECT_EQ(a.code(), ErrorCode::Invalid);
      EXPECT_NE(a.message().find(c.error), std::string::npos) << a.message();
      EXPECT_NE(a.message().find(c.url), std::string::npos) << a.message();
      continue;
    }
    ASSERT_TRUE(a.ok()) << a.message();
    EXPECT_EQ(a->host, c.host);
    EXPECT_EQ(a->port, c.port);
    EXPECT_EQ(a->scheme, c.scheme);
    EXPECT_EQ(a->hostPort(), c.hostPort);
  }
}

TEST(NetAddress, SplitsHostAndPortOneWay) {
  struct Case {
    std::string text;
    bool valid;
    std::string host, port;
    bool hasPort, bareIpv6;
  };
  const Case cases[] = {
      {"host", true, "host", "", false, false},
      {"host:23", true, "host", "23", true, false},
      {"host:", true, "host", "", true, false},
      {"", true, "", "", false, false},
      {":23", true, "", "23", true, false},
      {"[::1]:23", true, "::1", "23", true, false},
      {"[::1]", true, "::1", "", false, false},
      {"[]:23", true, "", "23", true, false},
      {"::1", true, "::1", "", false, true},
      {"::1:23", true, "::1:23", "", false, true},
      {"[::1", false, "", "", false, false},
      {"[::1]x:23", false, "", "", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto split = splitHostPort(c.text);
    ASSERT_EQ(split.ok(), c.valid);
    if (!c.valid) {
      EXPECT_FALSE(split.message().empty());
      continue;
    }
    EXPECT_EQ(split->host, c.host);
    EXPECT_EQ(split->port, c.port);
    EXPECT_EQ(split->hasPort, c.hasPort);
    EXPECT_EQ(split->bareIpv6, c.bareIpv6);
  }
}

// A port on 127.0.0.1 that refuses connections, or (`fill`) whose listen queue is full, so
// that a connect's SYN goes unanswered. `keep` holds the sockets open.
int loopbackPort(bool fill, std::vector<int>& keep) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (!fill) {
    ::close(fd);
    return ntohs(a.sin_port);
  }
  ::listen(fd, 0);
  keep.push_back(fd);
  // Never accepted: these take the queue's places.
  for (int i = 0; i < 2; ++i) {
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    keep.push_back(c);
  }
  return ntohs(a.sin_port);
}

TEST(NetworkLinkOpen, FailsWithinItsLimitsAndSaysWhy) {
  enum class Server { Refusing, QueueFull, Unknown, LookupFails, LookupSilent, LookupStopped, SilentTelnet, NoComPort };
  struct Case {
    const char* label;
    Server server;
    std::string expected;  // the whole message; "{port}" stands for the port
    ErrorCode code;
  };
  const Case cases[] = {
      {"connection refused", Server::Refusing, "cannot reach 127.0.0.1:{port}: Connection refused", ErrorCode::Failed},
      {"no answer to the connect", Server::QueueFull, "cannot reach 127.0.0.1:{port}: timed out", ErrorCode::TimedOut},
      {"unknown host", Server::Unknown, "unknown host no-such-board.lookup-unknown", ErrorCode::NotFound},
      {"name service unreachable", Server::LookupFails,
       "cannot resolve name-service.lookup-fails: Temporary failure in name resolution", ErrorCode::Failed},
      {"name service silent", Server::LookupSilent,
       "cannot resolve name-service.lookup-slow: the name service did not answer within 300 ms", ErrorCode::TimedOut},
      {"Ctrl+C during the look-up", Server::LookupStopped, "cannot resolve name-service.lookup-slow: interrupted",
       ErrorCode::Failed},
      {"a raw server behind rfc2217", Server::SilentTelnet,
       "no Telnet answer from 127.0.0.1:{port} within 300 ms (a raw TCP port? then use tcp://127.0.0.1:{port})",
       ErrorCode::TimedOut},
      {"COM-PORT-OPTION refused", Server::NoComPort,
       "the server 127.0.0.1:{port} refuses the COM-PORT-OPTION (RFC 2217)", ErrorCode::Unsupported},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<int> keep;
    std::unique_ptr<LoopbackPeer> peer;
    std::string url;
    switch (c.server) {
      case Server::Refusing:
      case Server::QueueFull:
        url = "tcp://127.0.0.1:" + std::to_string(loopbackPort(c.server == Server::QueueFull, keep));
        break;
      // Both answered by the stand-in of hermetic_lookup.cpp, never by a resolver.
      case Server::Unknown:
        url = "tcp://no-such-board.lookup-unknown:2000";
        break;
      case Server::LookupFails:
        url = "tcp://name-service.lookup-fails:2000";
        break;
      case Server::LookupSilent:
      case Server::LookupStopped:
        url = "tcp://name-service.lookup-slow:2000";
        break;
      case Server::SilentTelnet:
        peer = std::make_unique<LoopbackPeer>([](LoopbackPeer& p) { p.receive(1000, milliseconds(1000)); });
        url = peer->url("rfc2217");
        break;
      case Server::NoComPort:
        peer = std::make_unique<LoopbackPeer>([](LoopbackPeer& p) {
          p.receive(kRequests.size());
          p.send(b({255, 254, 44}) + kAgreed.substr(3));
        });
        url = peer->url("rfc2217");
        break;
    }
    std::string expected = c.expected;
    const std::string port = url.substr(url.rfind(':') + 1);
    for (auto at = expected.find("{port}"); at != std::string::npos; at = expected.find("{port}"))
      expected.replace(at, 6, port);
    NetworkLimits limits = shortLimits();
    const std::atomic<bool> stop{true};
    if (c.server == Server::LookupStopped) limits.connect.stop = &stop;
    const auto opened = openNetworkLink(url, limits);
    for (int fd : keep) ::close(fd);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.message(), expected);
    EXPECT_EQ(opened.code(), c.code);
  }
}

TEST(TcpLink, CarriesBytesAsTheyAreAndFailsOnceTheServerClosed) {
  const std::string record = b({':', 0xFF, '\r', 0, 0x7F});
  const std::string answer = b({0xFF, 0xFF, '\r', 0, 'X'});
  std::string afterRecord;
  LoopbackPeer peer([&](LoopbackPeer& p) {
    p.receive(record.size());
    afterRecord = p.receive(1, milliseconds(300));  // the rate change puts nothing on the wire
    p.send(answer);
  });
  auto opened = openNetworkLink(peer.url("tcp"));
  ASSERT_TRUE(opened.ok()) << opened.message();
  auto link = std::move(*opened);
  std::vector<std::pair<int, std::optional<ErrorCode>>> rates;
  link->onRate = [&](int rate, const Status& r) { rates.emplace_back(rate, codeOf(r)); };

  EXPECT_TRUE(link->writeBytes(record));
  // The server's port is not ours to set: said so, and nothing goes on the wire.
  const Status rate = link->setBaudRate(9600);
  EXPECT_EQ(codeOf(rate), ErrorCode::Unsupported);
  EXPECT_FALSE(rateRefused(rate));
  EXPECT_EQ(rates, (std::vector<std::pair<int, std::optional<ErrorCode>>>{{9600, ErrorCode::Unsupported}}));
  EXPECT_EQ(link->note(), rawRateNote(9600));
  const Drained got = readToEnd(*link);
  peer.join();

  EXPECT_EQ(peer.received, record);
  EXPECT_EQ(afterRecord, "");
  EXPECT_EQ(got.data, answer);
  EXPECT_TRUE(got.failed);
  EXPECT_FALSE(link->isOpen());
  EXPECT_NE(link->lostReason().find("closed the connection"), std::string::npos) << link->lostReason();
  const Status late = link->writeBytes("U");
  EXPECT_EQ(codeOf(late), ErrorCode::Closed);
  EXPECT_EQ(late.message(), link->lostReason());
}

TEST(Rfc2217Link, AsksForItsOptionsRefusesOthersAndSetsThePort) {
  // TERMINAL-TYPE asked of us, ECHO and an unknown option offered by the server.
  const std::string offers = b({255, 253, 24, 255, 251, 1, 255, 251, 99});
  const std::string refusals = b({255, 252, 24, 255, 254, 1, 255, 254, 99});
  LoopbackPeer peer([&](LoopbackPeer& p) { serveOpen(p, offers, refusals.size()); });
  auto opened = openNetworkLink(peer.url("rfc2217"));
  ASSERT_TRUE(opened.ok()) << opened.message();
  auto link = std::move(*opened);
  peer.join();
  EXPECT_EQ(peer.received, kRequests + refusals + kPortSettings);
}

TEST(Rfc2217Link, DoublesIacOnTheWayOut) {
  LoopbackPeer peer([](LoopbackPeer& p) {
    serveOpen(p);
    p.receive(4);
  });
  auto opened = openNetworkLink(peer.url("rfc2217"));
  ASSERT_TRUE(opened.ok()) << opened.message();
  auto link = std::move(*opened);
  EXPECT_TRUE(link->writeBytes(b({'a', 0xFF, 'b'})));
  peer.join();
  EXPECT_EQ(peer.received.substr(kRequests.size() + kPortSettings.size()), b({'a', 0xFF, 0xFF, 'b'}));
}

TEST(Rfc2217Link, HandsOutOnlyDataWhateverTheServerPutsInTheStream) {
  struct Case {
    const char* label;
    std::string sent;      // by the server after the open; then it closes
    std::string expected;  // the data the link hands out
    bool suffix = false;   // `expected` is only the end of it
  };
  const std::string lostEnd = b({255, 250, 44, 101}) + std::string(2000, 'z') + "G";
  const Case cases[] = {
      {"doubled IAC", b({'x', 255, 255, 'y'}), b({'x', 0xFF, 'y'})},
      {"NOP and GO-AHEAD", b({'A', 255, 241, 'B', 255, 249, 'C'}), "ABC"},
      {"line and modem state", "A" + sb({106, 0x60}) + "B" + sb({107, 0xBB}) + "C", "ABC"},
      {"IAC inside a notification", sb({107, 255, 255}) + "D", "D"},
      {"late option answers", b({'E', 255, 251, 0, 255, 253, 44, 'F'}), "EF"},
      {"CR NUL in binary mode", b({'\r', 0, 'K'}), b({'\r', 0, 'K'})},
      {"unknown command byte", b({255, 7, 'E'}), "E"},
      {"stray SE", b({255, 240, 'E'}), "E"},
      {"command ends a subnegotiation", b({255, 250, 44, 101, 255, 0x42, 'F'}), "F"},
      {"subnegotiation without end", lostEnd, "G", true},
      {"cut after IAC", b({'H', 255}), "H"},
      {"cut after WILL", b({'H', 255, 251}), "H"},
      {"cut inside a rate answer", b({'I', 255, 250, 44, 101, 0, 0}), "I"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LoopbackPeer peer([&](LoopbackPeer& p) {
      serveOpen(p);
      p.send(c.sent);
    });
    auto opened = openNetworkLink(peer.url("rfc2217"));
    ASSERT_TRUE(opened.ok()) << opened.message();
    auto link = std::move(*opened);
    const Drained got = readToEnd(*link);
    EXPECT_TRUE(got.failed);
    if (c.suffix) {
      ASSERT_GE(got.data.size(), c.expected.size());
      EXPECT_EQ(got.data.substr(got.data.size() - c.expected.size()), c.expected);
      EXPECT_EQ(got.data.find_first_not_of("zG"), std::string::npos);
    } else {
      EXPECT_EQ(got.data, c.expected);
    }
  }
}

TEST(Rfc2217Link, RateChangeWaitsForTheServersAnswer) {
  struct Case {
    const char* label;
    int rate;
    std::string request;  // SET-BAUDRATE as it must arrive
    std::string answer;   // what the server sends back
    std::optional<ErrorCode> result;  // nothing: the rate was set
    std::string note;     // part of note()
    std::string data;     // data that arrived while the link waited
    bool hangsUp = false; // the server closes instead of answering
  };
  const Case cases[] = {
      {"acknowledged", 115200, sb({1, 0, 1, 0xC2, 0}), sb({101, 0, 1, 0xC2, 0}), std::nullopt,
       "rate 115200 set on 127.0.0.1:", ""},
      {"IAC in the rate", 131071, sb({1, 0, 1, 255, 255, 255, 255}), sb({101, 0, 1, 255, 255, 255, 255}),
       std::nullopt, "rate 131071 set", ""},
      {"data before the answer", 9600, sb({1, 0, 0, 0x25, 0x80}), "ok" + sb({101, 0, 0, 0x25, 0x80}),
       std::nullopt, "rate 9600 set", "ok"},
      {"another rate applied", 9600, sb({1, 0, 0, 0x25, 0x80}), sb({101, 0, 1, 0xC2, 0}), ErrorCode::Failed,
       "set the rate 115200 instead of 9600", ""},
      {"never answered", 9600, sb({1, 0, 0, 0x25, 0x80}), "", ErrorCode::TimedOut,
       "did not acknowledge the rate 9600 within 300 ms", ""},
      // A refusal like any other (the window's box), not a line that was never open.
      {"server hangs up", 9600, sb({1, 0, 0, 0x25, 0x80}), "", ErrorCode::Failed,
       "rate 9600 not set: the server 127.0.0.1:", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LoopbackPeer peer([&](LoopbackPeer& p) {
      serveOpen(p);
      p.receive(c.request.size());
      if (c.hangsUp) return;
      p.send(c.answer);
      p.receive(1);  // the next data byte, sent after the rate change
    });
    auto opened = openNetworkLink(peer.url("rfc2217"), shortLimits());
    ASSERT_TRUE(opened.ok()) << opened.message();
    auto link = std::move(*opened);
    std::vector<std::optional<ErrorCode>> results;
    link->onRate = [&](int rate, const Status& r) {
      EXPECT_EQ(rate, c.rate);
      results.push_back(codeOf(r));
    };
    EXPECT_EQ(codeOf(link->setBaudRate(c.rate)), c.result);
    EXPECT_EQ(results, std::vector<std::optional<ErrorCode>>{c.result});
    EXPECT_EQ(codeOf(link->lastRate()), c.result);
    if (c.result) {
      EXPECT_EQ(link->lastRate().message(), link->note());
    }
    EXPECT_NE(link->note().find(c.note), std::string::npos) << link->note();
    EXPECT_EQ(link->writeBytes("U").ok(), !c.hangsUp);
    peer.join();
    EXPECT_EQ(peer.received, kRequests + kPortSettings + c.request + (c.hangsUp ? "" : "U"));
    EXPECT_EQ(readToEnd(*link).data, c.data);
  }
}

// Servers that flood the connection: option offers that are never read, data that nobody
// reads while the link waits for the rate's answer. Each open and rate change ends within
// its limit (the old link waited 100 ms per byte of its unread Telnet answers), unread data
// is kept up to NetworkLink::kMaxUnreadBytes, and a rate is asked for once.
TEST(Rfc2217Link, HostileServersCostNeitherTimeNorMemory) {
  enum class Server { OffersAndNeverReads, DataWhileTheRateIsAwaited, RateNeverAnswered, RateAnswered };
  struct Case {
    const char* label;
    Server server;
    std::string error;  // part of the open's error; empty: the open succeeds
    std::string note;   // part of note() after the second rate change
  };
  const Case cases[] = {
      {"option offers, never reading", Server::OffersAndNeverReads, "within 300 ms, only other Telnet commands", ""},
      {"data while the rate is awaited", Server::DataWhileTheRateIsAwaited, "", "did not acknowledge the rate 9600"},
      {"rate never answered", Server::RateNeverAnswered, "", "not waited for: it left an earlier rate unanswered"},
      {"rate answered once", Server::RateAnswered, "", "rate 9600 set on"},
  };
  const std::string rate = sb({1, 0, 0, 0x25, 0x80});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    LoopbackPeer peer([&](LoopbackPeer& p) {
      if (c.server == Server::OffersAndNeverReads) {
        std::string offers;
        for (int i = 0; i < 300; ++i) offers += b({255, 251, 99});  // WILL option 99, refused each time
        p.flood(offers, milliseconds(15000));  // ends early once the client is gone
        return;
      }
      serveOpen(p);
      p.receive(rate.size());
      if (c.server == Server::DataWhileTheRateIsAwaited) p.send(std::string(1 << 20, 'z'));
      if (c.server == Server::RateAnswered) p.send(sb({101, 0, 0, 0x25, 0x80}));
      // the second request (unless the first was answered), then the "U"
      p.receive(c.server == Server::RateAnswered ? 1 : rate.size() + 1, milliseconds(2500));
    });
    NetworkLimits limits = shortLimits();
    limits.rateAnswer = milliseconds(1000);
    auto opened = openNetworkLink(peer.url("rfc2217"), limits);
    if (!c.error.empty()) {
      ASSERT_FALSE(opened.ok());
      EXPECT_NE(opened.message().find(c.error), std::string::npos) << opened.message();
      continue;
    }
    ASSERT_TRUE(opened.ok()) << opened.message();
    auto link = std::move(*opened);
    (void)link->setBaudRate(9600);
    (void)link->setBaudRate(9600);
    EXPECT_NE(link->note().find(c.note), std::string::npos) << link->note();
    EXPECT_TRUE(link->writeBytes("U"));
    peer.join();
    // One request: the second change was answered already, or is not waited for again.
    EXPECT_EQ(peer.received, kRequests + kPortSettings + rate + (c.server == Server::RateAnswered ? "U" : rate + "U"));
    const std::string data = readToEnd(*link).data;
    EXPECT_EQ(data.size(), c.server == Server::DataWhileTheRateIsAwaited ? NetworkLink::kMaxUnreadBytes : 0u);
  }
}

// What each transport says it can do, and what it answers when asked for what it cannot:
// a caller that trusts the flags never meets an "applied" that did nothing.
TEST(Transports, SayWhatTheyCanDoAndRefuseTheRest) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const int tcpEnd = ::dup(pair[0]);
  SerialPort closedPort;
  SerialLink serial(closedPort);
  TcpLink tcp(NetAddress{NetScheme::Tcp, "127.0.0.1", 2000}, tcpEnd);
  Rfc2217Link rfc2217(NetAddress{NetScheme::Rfc2217, "127.0.0.1", 2217}, pair[0]);
  ForwardingLink forwarding(serial);
  forwarding.use(tcp);
  struct Case {
    const char* label;
    isp::Link& link;
    isp::LinkCapabilities can;
    std::optional<ErrorCode> rate;  // what setBaudRate(9600) answers here
  };
  const Case cases[] = {
      {"serial port, none open", serial, {true, true, true}, ErrorCode::Closed},
      {"raw TCP", tcp, {false, false, false}, ErrorCode::Unsupported},
      {"forwarding to raw TCP", forwarding, {false, false, false}, ErrorCode::Unsupported},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const isp::LinkCapabilities can = c.link.capabilities();
    EXPECT_EQ(can.setRate, c.can.setRate);
    EXPECT_EQ(can.modemLines, c.can.modemLines);
    EXPECT_EQ(can.lowLatency, c.can.lowLatency);
    EXPECT_EQ(codeOf(c.link.setBaudRate(9600)), c.rate);
  }
  const isp::LinkCapabilities telnet = rfc2217.capabilities();
  EXPECT_TRUE(telnet.setRate && telnet.modemLines && !telnet.lowLatency);
  // Modem lines: a raw connection has none; rfc2217 sends SET-CONTROL to the server.
  EXPECT_EQ(codeOf(tcp.setModemLine(ModemLine::Dtr, false)), ErrorCode::Unsupported);
  EXPECT_EQ(codeOf(rfc2217.setModemLine(ModemLine::Dtr, false)), std::nullopt);
  ::close(pair[1]);
}

}  // namespace
}  // namespace velkorn::link
