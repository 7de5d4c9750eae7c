// The TCP client component against a loopback server in the test: connecting by address
// and by name, refusals and missing addresses, sending up to a zero byte, reading, the
// peer closing or resetting, the reset of the first socket, error texts and status levels.
// Every wait is bounded.
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "link/powersock.h"

namespace velkorn::link {
namespace {

// The text of the exception of type E that `f` throws; empty when it throws nothing.
template <class E, class F>
std::string thrownText(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return {};
}

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Notifications need an event queue; one application object serves the whole program.
void ensureApplication() {
  if (QCoreApplication::instance() != nullptr) return;
  static int argc = 1;
  static char name[] = "tests_link";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
}

// Lets the event queue run until the condition holds or the limit passes.
bool pumpUntil(const std::function<bool()>& done, milliseconds limit = milliseconds(3000)) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

void pumpFor(milliseconds span) {
  pumpUntil([] { return false; }, span);
}

// A listening socket on 127.0.0.1 with an ephemeral port.
class LoopbackServer {
 public:
  explicit LoopbackServer(bool listen_now = true) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (listen_now) ::listen(fd_, 8);
  }
  ~LoopbackServer() {
    closePeer();
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }

  // Takes the next connection (pumping the client's events meanwhile).
  bool accept(milliseconds limit = milliseconds(3000)) {
    closePeer();
    const bool ok = pumpUntil(
        [this] {
          pollfd p{fd_, POLLIN, 0};
          if (::poll(&p, 1, 0) <= 0) return false;
          peer_ = ::accept(fd_, nullptr, nullptr);
          return peer_ >= 0;
        },
        limit);
    return ok;
  }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Everything that arrives until `count` bytes are in or the limit passes.
  std::string receive(std::size_t count, milliseconds limit = milliseconds(3000)) {
    std::string got;
    pumpUntil(
        [&] {
          char buf[70000];
          pollfd p{peer_, POLLIN, 0};
          if (::poll(&p, 1, 0) > 0) {
            const ssize_t n = ::recv(peer_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
          }
          return got.size() >= count;
        },
        limit);
    return got;
  }
  // What the peer's next read says once the client has gone: 0 (closed), or -errno.
  int closingResult(milliseconds limit = milliseconds(3000)) {
    int result = 1;
    pumpUntil(
        [&] {
          pollfd p{peer_, POLLIN, 0};
          if (::poll(&p, 1, 0) <= 0) return false;
          char c = 0;
          const ssize_t n = ::recv(peer_, &c, 1, MSG_DONTWAIT);
          if (n > 0) return false;
          result = n == 0 ? 0 : -errno;
          return true;
        },
        limit);
    return result;
  }
  // Closes the accepted connection, normally or with a reset.
  void closePeer(bool reset = false) {
    if (peer_ < 0) return;
    if (reset) {
      linger lg{1, 0};
      ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(peer_);
    peer_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  std::uint16_t port_ = 0;
};

// Connects the component to the server by address and lets the server take the connection.
bool connectTo(TPowersock& sock, LoopbackServer& server) {
  sock.Host = "127.0.0.1";
  sock.Port = server.port();
  sock.Connect();
  return server.accept();
}

class PowersockTest : public ::testing::Test {
 protected:
  void SetUp() override { ensureApplication(); }
};

TEST_F(PowersockTest, ConnectsByAddressAndByName) {
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    LoopbackServer server;
    TPowersock sock;
    int connects = 0;
    int resolved = 0;
    sock.OnConnect = [&](TPowersock&) { ++connects; };
    sock.OnHostResolved = [&](TPowersock&) { ++resolved; };
    sock.TimeOut = 5000;
    sock.Host = host;
    sock.Port = server.port();
    ASSERT_NO_THROW(sock.Connect());
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(connects, 1);
    // Only a name is looked up; a dotted address is used as it stands.
    EXPECT_EQ(resolved, host == "localhost" ? 1 : 0);
    EXPECT_EQ(sock.RemoteAddress(), htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(server.accept());
    sock.Write("ping\r\n");
    EXPECT_EQ(server.receive(6), "ping\r\n");
  }
}

TEST_F(PowersockTest, RefusedConnectionFailsAndTheSameComponentConnectsLater) {
  LoopbackServer closed(/*listen_now=*/false);  // bound, not listening: refuses
  TPowersock sock;
  int failed = 0;
  sock.OnConnectionFailed = [&](TPowersock&) { ++failed; };
  sock.Host = "127.0.0.1";
  sock.Port = closed.port();
  EXPECT_EQ(thrownText<ESockError>([&] { sock.Connect(); }), "Verbindung fehlgeschlagen") << "connected to a port nobody listens on";
  EXPECT_FALSE(sock.Connected());
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(sock.LastNotificationError(), 10061);
  EXPECT_EQ(sock.SocketErrorText(sock.LastNotificationError()), "10061:Connection refused");

  LoopbackServer server;
  sock.Port = server.port();
  ASSERT_NO_THROW(sock.Connect());
  EXPECT_TRUE(sock.Connected());
}

TEST_F(PowersockTest, HandlersThatInterruptTheConnectWait) {
  // A handler that runs inside the wait (here the status observer, as a menu click would)
  // cancels or closes the socket; the wait ends instead of waiting for ever.
  struct Case {
    const char* name;
    bool disconnect;       // else cancel
    const char* error;
    bool connectsLater;    // the pending connect still completes afterwards
  };
  const Case cases[] = {
      {"cancel", false, "Verbindung abgebrochen", true},
      {"disconnect", true, "Verbindung fehlgeschlagen", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    bool armed = true;
    int failed = 0;
    TPowersock sock;
    sock.ReportLevel = 8;
    sock.OnStatus = [&](TPowersock& s, const std::string& text) {
      if (!armed || text != "Zeitgeber An") return;
      armed = false;
      if (c.disconnect) {
        s.Disconnect();
      } else {
        s.Cancel();
      }
    };
    sock.OnConnectionFailed = [&](TPowersock&) { ++failed; };
    sock.Host = "127.0.0.1";
    sock.Port = server.port();
    try {
      sock.Connect();
      ADD_FAILURE() << "the interrupted connect succeeded";
    } catch (const ESockError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_EQ(failed, 1);
    if (c.connectsLater) {
      EXPECT_TRUE(pumpUntil([&] { return sock.Connected(); }));
    } else {
      pumpFor(milliseconds(30));
      EXPECT_FALSE(sock.Connected());
      EXPECT_NO_THROW(sock.Connect());
      EXPECT_TRUE(sock.Connected());
    }
  }
}

TEST_F(PowersockTest, ConnectWhileConnectedLeavesTheConnectionAlone) {
  LoopbackServer server;
  TPowersock sock;
  ASSERT_TRUE(connectTo(sock, server));
  EXPECT_EQ(thrownText<ESockError>([&] { sock.Connect(); }), "Bereits verbunden") << "second connect accepted";
  EXPECT_TRUE(sock.Connected());
  sock.Write("still here");
  EXPECT_EQ(server.receive(10), "still here");
}

TEST_F(PowersockTest, HostWithoutAddress) {
  LoopbackServer server;
  struct Case {
    const char* name;
    std::string host;
    int handler;              // 0 none, 1 answers no, 2 asks again with the same host,
                              // 3 asks again after fixing the host
    bool connects;
    int handlerCalls;
  };
  const Case cases[] = {
      {"zero address, no handler", "0.0.0.0", 0, false, 0},
      {"unknown name, no handler", "no-such-board.lookup-unknown", 0, false, 0},
      {"unknown name, handler declines", "no-such-board.lookup-unknown", 1, false, 1},
      {"unknown name twice", "no-such-board.lookup-unknown", 2, false, 1},
      {"zero address twice", "0.0.0.0", 2, false, 1},
      {"empty host twice", "", 2, false, 1},
      {"handler fixes the host", "no-such-board.lookup-unknown", 3, true, 1},
      {"name service unreachable, handler declines", "name-service.lookup-fails", 1, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPowersock sock;
    sock.TimeOut = 10000;  // bounds a slow resolver; a time-out would fail the case
    sock.Host = c.host;
    sock.Port = server.port();
    int calls = 0;
    if (c.handler != 0) {
      sock.OnInvalidHost = [&](bool& retry) {
        ++calls;
        retry = c.handler >= 2;
        if (c.handler == 3) sock.Host = "127.0.0.1";
      };
    }
    if (c.connects) {
      EXPECT_NO_THROW(sock.Connect());
      EXPECT_TRUE(sock.Connected());
    } else {
      try {
        sock.Connect();
        ADD_FAILURE() << "connected without an address";
      } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Null Externe Adresse");
      }
      EXPECT_FALSE(sock.Connected());
    }
    EXPECT_EQ(calls, c.handlerCalls);
  }
}

TEST_F(PowersockTest, WriteSendsUpToTheFirstZeroByteAndRefusesOverlongText) {
  LoopbackServer server;
  TPowersock sock;
  ASSERT_TRUE(connectTo(sock, server));

  sock.Write(std::string("AB\0CD", 5));
  sock.Write("|end");
  EXPECT_EQ(server.receive(6), "AB|end");

  const std::string largest(65535, 'x');
  sock.Write(largest);
  EXPECT_EQ(server.receive(65535).size(), 65535u);
  // One send carries fewer than 65,536 bytes; a longer text is a range failure.
  EXPECT_THROW(sock.Write(std::string(65536, 'y')), std::out_of_range);
  EXPECT_THROW(sock.Write(std::string(70000, 'y')), std::out_of_range);
  EXPECT_EQ(server.receive(1, milliseconds(100)), "");
}

TEST_F(PowersockTest, ReadTakesWhatWaits) {
  LoopbackServer server;
  TPowersock sock;
  ASSERT_TRUE(connectTo(sock, server));

  EXPECT_EQ(sock.Read(0), "");  // nothing waits
  server.send("abcdef");
  ASSERT_TRUE(pumpUntil([&] { return sock.DataAvailable(); }));
  EXPECT_EQ(sock.Read(3), "abc");
  EXPECT_EQ(sock.Read(0), "def");
  EXPECT_EQ(sock.Read(0), "");
  EXPECT_TRUE(sock.Connected());
}

TEST_F(PowersockTest, DataNotificationReachesTheOwnerOncePerArrival) {
  LoopbackServer server;
  TPowersock sock;
  std::string received;
  int calls = 0;
  sock.OnDataAvailable = [&](TPowersock& s) {
    ++calls;
    received += s.Read(0);
  };
  ASSERT_TRUE(connectTo(sock, server));
  server.send("first ");
  ASSERT_TRUE(pumpUntil([&] { return received == "first "; }));
  server.send("second");
  ASSERT_TRUE(pumpUntil([&] { return received == "first second"; }));
  pumpFor(milliseconds(50));
  EXPECT_GE(calls, 2);
  EXPECT_LE(calls, 4);  // no notification storm while nothing arrives
}

TEST_F(PowersockTest, PeerClosing) {
  struct Case {
    const char* name;
    std::string unread;    // what the peer sends before it closes
    bool ownerReads;       // an OnDataAvailable handler reads everything
    bool reset;            // the peer closes with a reset
    bool staysConnected;
    int disconnects;
  };
  const Case cases[] = {
      {"nothing waits", "", false, false, false, 1},
      {"bytes wait unread", "left over", false, false, true, 0},
      {"owner reads the last bytes", "bye", true, false, false, 1},
      {"peer resets", "", false, true, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    TPowersock sock;
    int disconnects = 0;
    std::string received;
    sock.OnDisconnect = [&](TPowersock&) { ++disconnects; };
    if (c.ownerReads) sock.OnDataAvailable = [&](TPowersock& s) { received += s.Read(0); };
    ASSERT_TRUE(connectTo(sock, server));
    if (!c.unread.empty()) server.send(c.unread);
    server.closePeer(c.reset);

    if (c.staysConnected) {
      pumpFor(milliseconds(150));
      EXPECT_TRUE(sock.Connected());
      EXPECT_EQ(sock.Read(0), c.unread);
    } else {
      EXPECT_TRUE(pumpUntil([&] { return !sock.Connected(); }));
      if (c.ownerReads) {
        EXPECT_EQ(received, c.unread);
      }
      // A replacement socket is ready and a new connection works.
      ASSERT_NO_THROW(sock.Connect());
      EXPECT_TRUE(sock.Connected());
    }
    EXPECT_EQ(disconnects, c.disconnects);
  }
}

TEST_F(PowersockTest, WritingToAVanishedPeerReportsTheResetWithoutKillingTheProgram) {
  for (const bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    LoopbackServer server;
    TPowersock sock;
    ASSERT_TRUE(connectTo(sock, server));
    server.closePeer(reset);
    std::this_thread::sleep_for(milliseconds(20));
    // No events run: the component has not seen the close yet and sends into it.
    std::string error;
    for (int i = 0; i < 20 && error.empty(); ++i) {
      try {
        sock.Write("data");
      } catch (const ESockError& e) {
        error = e.what();
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(error, "10054:Connection reset by peer");
    EXPECT_EQ(sock.LastError(), 10054);
  }
}

TEST_F(PowersockTest, FirstSocketClosesWithResetAndItsReplacementsNormally) {
  LoopbackServer server;
  TPowersock sock;
  int disconnects = 0;
  sock.OnDisconnect = [&](TPowersock&) { ++disconnects; };
  sock.Host = "127.0.0.1";
  sock.Port = server.port();

  const int expected[] = {-ECONNRESET, 0, 0};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_THROW(sock.Connect());
    ASSERT_TRUE(server.accept());
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(server.closingResult(), expected[round]);
    EXPECT_GE(sock.SocketHandle(), 0);
  }
  EXPECT_EQ(disconnects, 3);
}

TEST_F(PowersockTest, ReadLnWaitsForALineAndGivesUpAfterTheTimeOut) {
  LoopbackServer server;
  TPowersock sock;
  sock.Host = "127.0.0.1";
  sock.Port = server.port();
  sock.TimeOut = 100;
  sock.Connect();
  ASSERT_TRUE(server.accept());

  server.send("250 Ready\r\nrest");
  EXPECT_EQ(sock.Transaction("HELLO"), "250 Ready\r\n");
  EXPECT_EQ(sock.TransactionCode(), 250);
  EXPECT_EQ(server.receive(7), "HELLO\r\n");

  EXPECT_EQ(thrownText<EAbortError>([&] { sock.ReadLn(); }), "Socket-readln abgebrochen") << "ReadLn returned without a line";
  EXPECT_TRUE(sock.TimedOut());
  EXPECT_FALSE(sock.Aborted());  // the raise took the flag back
  EXPECT_EQ(sock.Read(0), "rest");
}

TEST_F(PowersockTest, CancelledSendRaisesAbort) {
  LoopbackServer server;
  TPowersock sock;
  ASSERT_TRUE(connectTo(sock, server));
  sock.Cancel();
  EXPECT_EQ(thrownText<EAbortError>([&] { sock.Write("never"); }), "Socket-send abgebrochen") << "send went out after a cancel";
  EXPECT_FALSE(sock.Aborted());
  sock.Write("after");
  EXPECT_EQ(server.receive(5), "after");
}

TEST_F(PowersockTest, AcceptTakesAnIncomingConnection) {
  TPowersock sock;
  sock.TimeOut = 3000;
  sock.Listen(0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(sock.SocketHandle(), reinterpret_cast<sockaddr*>(&a), &len), 0);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const int accepted = sock.Accept();
  EXPECT_GE(accepted, 0);
  EXPECT_TRUE(sock.Connected());
  ::close(accepted);
  ::close(client);

  // Nobody else comes: the time-out ends the wait.
  sock.TimeOut = 100;
  EXPECT_THROW(sock.Accept(), ESockError);
}

TEST_F(PowersockTest, ErrorNumbersAndTexts) {
  TPowersock sock;
  struct TextCase {
    int number;
    const char* text;
  };
  const TextCase texts[] = {
      {10004, "10004:Interrupted system call"},
      {10035, "10035:Operation would block"},
      {10054, "10054:Connection reset by peer"},
      {10061, "10061:Connection refused"},
      {10093, "10093:Successful WSAStartup not yet performed"},
      {11004, "11004:Valid name, no data record of requested type"},
      {0, ""},
      {10000, "Unbekannte Fehlernummer 10000"},
      {10072, "Unbekannte Fehlernummer 10072"},
      {20005, "Unbekannte Fehlernummer 20005"},
  };
  for (const TextCase& c : texts) {
    EXPECT_EQ(sock.SocketErrorText(c.number), c.text) << c.number;
  }

  struct ErrnoCase {
    int posix;
    int number;
  };
  const ErrnoCase numbers[] = {
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054}, {EPIPE, 10054},       {ETIMEDOUT, 10060},
      {EAGAIN, 10035},       {EINPROGRESS, 10036}, {EALREADY, 10037},   {ENOTCONN, 10057},
      {EHOSTUNREACH, 10065}, {EADDRINUSE, 10048},  {EBADF, 10009},
  };
  for (const ErrnoCase& c : numbers) {
    EXPECT_EQ(TPowersock::SocketErrorNumber(c.posix), c.number) << c.posix;
  }
  // An errno that happens to share a Berkeley number must not pose as "would block".
  EXPECT_NE(TPowersock::SocketErrorNumber(EDEADLK), 10035);
  EXPECT_GT(TPowersock::SocketErrorNumber(EIO), 10000);
  EXPECT_EQ(TPowersock::LookupErrorNumber(EAI_NONAME), 11001);
  EXPECT_EQ(TPowersock::LookupErrorNumber(EAI_AGAIN), 11002);
}

TEST_F(PowersockTest, CheckSocketErrorRaisesAllButTheIgnoredCode) {
  LoopbackServer closed(false);
  TPowersock sock;
  std::vector<int> reported;
  sock.OnError = [&](TPowersock&, std::uint16_t number, const std::string&) { reported.push_back(number); };
  // A send on the unconnected socket fails with "not connected".
  EXPECT_EQ(thrownText<ESockError>([&] { sock.Write("x"); }), "10057:Socket is not connected") << "send on an unconnected socket succeeded";
  EXPECT_EQ(reported, std::vector<int>{10057});
  EXPECT_EQ(sock.LastError(), 10057);
}

TEST_F(PowersockTest, ReportLevelsFilterTheStatusTexts) {
  struct Case {
    int level;
    const char* text;
    bool seen;
  };
  const Case cases[] = {
      {0, "Herstellen der Verbindung", false},
      {0, "Schlie\xC3\x9F" "en des Socket anfordern", false},
      {4, "Schlie\xC3\x9F" "en des Socket anfordern", true},
      {4, "Puffer senden", true},
      {4, "Schreiben", false},
      {4, "Herstellen der Verbindung", false},
      {8, "Herstellen der Verbindung", true},
      {8, "Schreiben", true},
      {8, "Verbindung wird abgebrochen", true},
      {8, "Zeitgeber An", true},
  };
  LoopbackServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(c.level));
    std::vector<std::string> seen;  // outlives the component, which reports its end too
    TPowersock sock;
    sock.ReportLevel = c.level;
    sock.OnStatus = [&](TPowersock&, const std::string& text) {
      seen.push_back(text);
      throw std::runtime_error("observer failure is swallowed");
    };
    ASSERT_TRUE(connectTo(sock, server));
    sock.Write("x");
    sock.Disconnect();
    const bool found = std::find(seen.begin(), seen.end(), c.text) != seen.end();
    EXPECT_EQ(found, c.seen);
    if (c.level == 0) {
      EXPECT_TRUE(seen.empty());
    }
  }
}

TEST_F(PowersockTest, TimerRefusesWhatItCannotRun) {
  TPowersock sock;
  sock.TimeOut = -1;
  EXPECT_THROW(sock.StartTimeout(), std::out_of_range);

  TThreadTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000);
  int ticks = 0;
  timer.SetInterval(5);
  timer.SetOnTimer([&](TThreadTimer&) { ++ticks; });
  EXPECT_TRUE(pumpUntil([&] { return ticks >= 2; }));
  EXPECT_EQ(thrownText<std::runtime_error>([&] { timer.SetInterval(-5); }), "Kein Zeitgeber") << "a negative period was accepted";
}

TEST_F(PowersockTest, SplitHostPort) {
  struct Case {
    const char* text;
    bool valid;
    const char* host;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"module", true, "module", 23},
      {"192.168.0.7", true, "192.168.0.7", 23},
      {"192.168.0.7:4001", true, "192.168.0.7", 4001},
      {"name:65535", true, "name", 65535},
      {"", true, "", 23},
      {"name:", false, "", 0},
      {"name:0", false, "", 0},
      {"name:65536", false, "", 0},
      {"name:12a", false, "", 0},
      {"[::1]:23", true, "::1", 23},
      {"[::1]", true, "::1", 23},
      {"[fe80::1%eth0]:4001", true, "fe80::1%eth0", 4001},
      {"::1", true, "::1", 23},
      {"2001:db8::7", true, "2001:db8::7", 23},
      {"[::1]:", false, "", 0},
      {"[::1]:99999", false, "", 0},
      {"[::1", false, "", 0},
      {"[::1]23", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto split = TPowersock::SplitHostPort(c.text);
    ASSERT_EQ(split.has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(split->host, c.host);
      EXPECT_EQ(split->port, c.port);
    }
  }
}

}  // namespace
}  // namespace velkorn::link
