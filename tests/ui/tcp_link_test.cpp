// The window's TCP link against a loopback server: the host field feeding the socket,
// "&TCP/Winsock" bringing up the link face, hot-key lines reaching the server and its text
// reaching the memo and coming back, the server going away, refused connects ending in the
// "ERROR" box and the no-link face, and a serial choice dropping the connection; all of it
// for the module (no scheme in the host field) and for a network serial server (tcp://),
// and a chip command keeping the module's text from the terminal until it has returned.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <thread>

#include "link/powersock.h"
#include "ui/debug_window.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

// A socket on 127.0.0.1 with an ephemeral port; it refuses connections until it listens.
class LoopbackServer {
 public:
  // `receiveBuffer`: the kernel's receive buffer of the accepted connection (0: default).
  explicit LoopbackServer(bool listening, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (listening) ::listen(fd_, 4);
  }
  ~LoopbackServer() {
    closePeer();
    ::close(fd_);
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
  // Takes the connection the window made (it is complete once Connect returned).
  bool accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0) return false;
    peer_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_ >= 0;
  }
  int peer() const { return peer_; }
  void send(const std::string& text) const { ::send(peer_, text.data(), text.size(), MSG_NOSIGNAL); }
  // Ends the connection with a reset, as a module that restarts does.
  void resetPeer() {
    const linger hard{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    closePeer();
  }
  void closePeer() {
    if (peer_ >= 0) ::close(peer_);
    peer_ = -1;
  }
  // True when the client closed its end (a read gives end of file or a reset).
  bool peerClosed() const {
    pollfd p{peer_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char byte;
    return ::recv(peer_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  std::uint16_t port_ = 0;
};

class TcpLinkTest : public FormTest {
 protected:
  bool tabShown(QWidget* sheet) const {
    return tabs(*form_)->isTabVisible(tabs(*form_)->indexOf(sheet));
  }
  bool noEntryChecked() const {
    for (int n = 1; n <= ui::kPortEntries; ++n)
      if (comEntry(*form_, n)->isChecked()) return false;
    return !action(*form_, "MTCP")->isChecked();
  }
  QString memoText() const { return form_->terminal()->memo()->toPlainText(); }

};

TEST_F(TcpLinkTest, TheHostFieldGivesTheSocketItsHostAndPort) {
  struct Case {
    const char* typed;
    const char* host;
    std::uint16_t port;
  };
  const Case cases[] = {
      {"module", "module", 23},
      {"10.0.0.7:2101", "10.0.0.7", 2101},
      {"module:http", "module:http", 23},  // no port number: Connect will fail on the host
      {"module:70000", "module:70000", 23},
      {"", "", 23},
  };
  ui::TForm1& form = makeForm();
  // No settings file: the field shows the default host, the socket has none yet.
  EXPECT_EQ(form.eIP->text(), QStringLiteral("IP"));
  EXPECT_EQ(form.sock->Host, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    form.eIP->setText(QString::fromLatin1(c.typed));
    EXPECT_EQ(form.sock->Host, c.host);
    EXPECT_EQ(form.sock->Port, c.port);
  }
}

TEST_F(TcpLinkTest, AConnectionCarriesTheTerminalBothWays) {
  // The module through the socket; a network serial server through the network link, which
  // the terminal uses as a serial port (its poll, its echo, the terminal rate on panel 1).
  struct Case {
    const char* name;
    const char* scheme;
    const char* rate;
  };
  for (const Case& c : {Case{"module", "", ""}, Case{"network serial server", "tcp://", "115200"}}) {
    SCOPED_TRACE(c.name);
    const bool module = *c.scheme == '\0';
    form_.reset();
    dialogs_ = ScriptedDialogs{};
    LoopbackServer server(true);
    ui::TForm1& form = makeForm();
    form.eIP->setText(QString::fromLatin1(c.scheme) + server.address());
    action(form, "MTCP")->trigger();

    ASSERT_EQ(panelText(form, 0), QStringLiteral("TCP")) << (dialogs_.events.empty() ? "" : dialogs_.events.back());
    ASSERT_TRUE(server.accept());
    EXPECT_EQ(form.sock->Connected(), module);
    EXPECT_EQ(panelText(form, 1), QString::fromLatin1(c.rate));
    EXPECT_TRUE(action(form, "MTCP")->isChecked());
    EXPECT_TRUE(tabShown(tabSheet(form, 2)) && tabShown(tabSheet(form, 3)) && tabShown(tabSheet(form, 4)));
    EXPECT_EQ(tabs(form)->currentWidget(), tabSheet(form, 3));
    EXPECT_TRUE(terminalPoll(form)->isActive());
    EXPECT_TRUE(action(form, "MProg")->isEnabled());
    EXPECT_TRUE(dialogs_.of("connect").empty());

    // A hot-key line and a typed character go to the module.
    QTest::keyClick(form.eIP, Qt::Key_F1);
    form.terminal()->findChild<QToolButton*>("tbF2")->click();
    EXPECT_EQ(readArrived(server.peer(), 18, 3000), "KP01001\r\nKP02001\r\n");

    // The module's text reaches the memo and is written back at once.
    server.send("READY\r\nPART");
    EXPECT_TRUE(waitFor([&] { return memoText().startsWith(QStringLiteral("READY")); }, 3000))
        << memoText().toStdString();
    EXPECT_EQ(readArrived(server.peer(), 11, 3000), "READY\r\nPART");
    EXPECT_FALSE(memoText().contains(QStringLiteral("PART")));

    // The server goes away: the line notices by itself, the face stays, lines go nowhere.
    server.closePeer();
    EXPECT_TRUE(waitFor([&] { return !form.sock->Connected() && !(form.networkLink() && form.networkLink()->isOpen()); }, 3000));
    EXPECT_EQ(panelText(form, 0), QStringLiteral("TCP"));
    form.terminal()->SendTerminalLine(QStringLiteral("LOST"));
    EXPECT_TRUE(dialogs_.of("error").empty());
  }
}

TEST_F(TcpLinkTest, AChipCommandOverTheModuleKeepsItsTextFromTheTerminalUntilItReturns) {
  // While the command has the connection, what the module sends is the bootloader's: the
  // terminal neither shows nor echoes it, even while a box lets events run; afterwards the
  // terminal hears the module again.
  LoopbackServer server(true);
  ui::TForm1& form = makeForm();
  form.eIP->setText(server.address());
  action(form, "MTCP")->trigger();
  ASSERT_TRUE(server.accept());
  std::string duringBox;
  bool sent = false;
  dialogs_.onError = [&](const QString&) {
    if (std::exchange(sent, true)) return;
    server.send("LATE\r\n");
    duringBox = readArrived(server.peer(), SIZE_MAX, 300);
    EXPECT_FALSE(memoText().contains(QStringLiteral("LATE")));
  };

  form.MBSBClick();  // the module does not answer: "Programm BSB FAILED!"

  ASSERT_TRUE(sent);
  EXPECT_EQ(dialogs_.of("error").back(), "Programm BSB FAILED!|ok");
  EXPECT_EQ(duringBox.find("LATE"), std::string::npos) << duringBox;
  EXPECT_EQ(panelText(form, 1), QString());  // the module's rate is not ours to set
  server.send("AFTER\r\n");
  EXPECT_TRUE(waitFor([&] { return memoText().contains(QStringLiteral("AFTER")); }, 3000)) << memoText().toStdString();
}

TEST_F(TcpLinkTest, AFailedConnectShowsTheErrorBoxAndNoLink) {
  LoopbackServer refusing(false);
  struct Case {
    const char* name;
    QString field;
    const char* box;  // the box names what was typed, then why it failed
    const char* why;  // found in the reason
    bool byHostEntry = false;  // typed into "Network Host..." instead of the host field
  };
  const std::string typed = refusing.address().toStdString();
  const std::string moduleBox = "Can not connect to the module \"" + typed + "\": ";
  const std::string tcpBox = "Can not connect to \"tcp://" + typed + "\": ";
  const std::string rfcBox = "Can not connect to \"rfc2217://" + typed + "\": ";
  const Case cases[] = {
      {"refused", refusing.address(), moduleBox.c_str(), "Connection refused"},
      {"port that is no number", QStringLiteral("127.0.0.1:x"), "Can not connect to the module \"127.0.0.1:x\": ", "Host not found"},
      {"no address", QStringLiteral("0.0.0.0:23"), "Can not connect to the module \"0.0.0.0:23\": ", "no address"},
      {"network server refused", QStringLiteral("tcp://") + refusing.address(), tcpBox.c_str(), "refused"},
      {"rfc2217 server refused", QStringLiteral("rfc2217://") + refusing.address(), rfcBox.c_str(), "refused", true},
      {"network server without a port", QStringLiteral("rfc2217://127.0.0.1"),
       "Can not connect to \"rfc2217://127.0.0.1\": ", "port"},
  };
  ui::TForm1& form = makeForm();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs_.events.clear();
    if (c.byHostEntry) {
      dialogs_.textAnswer = c.field;
      action(form, "MHost")->trigger();
      EXPECT_EQ(form.eIP->text(), c.field);
    } else {
      form.eIP->setText(c.field);
      action(form, "MTCP")->trigger();
    }
    const auto boxes = dialogs_.of("connect");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind(c.box, 0), 0u) << boxes[0];
    EXPECT_GT(boxes[0].size(), std::string(c.box).size()) << "no reason given";
    EXPECT_NE(boxes[0].find(c.why), std::string::npos) << boxes[0];
    EXPECT_TRUE(dialogs_.of("error").empty());
    EXPECT_FALSE(form.sock->Connected());
    EXPECT_EQ(panelText(form, 0), QStringLiteral("---"));
    EXPECT_TRUE(noEntryChecked());
    EXPECT_FALSE(terminalPoll(form)->isActive());
    EXPECT_FALSE(tabShown(tabSheet(form, 3)));
    EXPECT_FALSE(action(form, "MProg")->isEnabled());
    // The debug log explains it, and Ctrl+D still reaches it.
    EXPECT_TRUE(debugWindow(form)->lines().last().startsWith(QStringLiteral("TCP: "))) << debugWindow(form)->lines().last().toStdString();
    EXPECT_TRUE(action(form, "Debug1")->isEnabled());
  }
  // The same socket connects once a module listens.
  LoopbackServer server(true);
  form.eIP->setText(server.address());
  action(form, "MTCP")->trigger();
  EXPECT_TRUE(form.sock->Connected());
  EXPECT_EQ(panelText(form, 0), QStringLiteral("TCP"));
}

TEST_F(TcpLinkTest, ChoosingAPortOrTheModuleAgainDropsTheConnection) {
  struct Case {
    const char* name;
    bool toSerial;
    bool serialWorks;
    const char* panel;
    const char* error;
    const char* scheme = "";  // "tcp://": a network serial server instead of the module
  };
  const Case cases[] = {
      {"serial port", true, true, "COM1", nullptr},
      {"serial port that fails to open", true, false, "---", "Can not open COM 1|ok"},
      {"the module again", false, false, "TCP", nullptr},
      {"serial port after a network server", true, true, "COM1", nullptr, "tcp://"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pty pty;
    home_.pin(1, pty.slave());
    form_.reset();
    dialogs_ = ScriptedDialogs{};
    ui::TForm1& form = makeForm();
    LoopbackServer server(true);
    form.eIP->setText(QString::fromLatin1(c.scheme) + server.address());
    action(form, "MTCP")->trigger();
    ASSERT_EQ(panelText(form, 0), QStringLiteral("TCP"));
    ASSERT_TRUE(server.accept());

    if (!c.serialWorks) home_.pin(1, (home_.root() / "unplugged").string());
    if (c.toSerial)
      comEntry(form, 1)->trigger();
    else
      action(form, "MTCP")->trigger();

    EXPECT_TRUE(waitFor([&] { return server.peerClosed(); }, 3000));
    EXPECT_EQ(panelText(form, 0), QString::fromLatin1(c.panel));
    EXPECT_EQ(form.sock->Connected(), !c.toSerial);  // reconnected to the same module
    EXPECT_EQ(action(form, "MTCP")->isChecked(), !c.toSerial);
    if (c.error)
      EXPECT_EQ(dialogs_.of("error"), std::vector<std::string>{c.error});
    else
      EXPECT_TRUE(dialogs_.of("error").empty());
    EXPECT_TRUE(dialogs_.of("connect").empty());
  }
}

TEST_F(TcpLinkTest, AChoiceMadeWhileANetworkServerIsSoughtWins) {
  // A server that accepts but never negotiates RFC 2217 keeps the open waiting; the window
  // stays alive meanwhile, and a serial port picked then wins without the "ERROR" box.
  Pty pty;
  home_.pin(1, pty.slave());
  LoopbackServer silent(true);
  ui::TForm1& form = makeForm();
  form.eIP->setText(QStringLiteral("rfc2217://") + silent.address());
  QTimer::singleShot(200, &form, [&] { comEntry(form, 1)->trigger(); });

  action(form, "MTCP")->trigger();

  EXPECT_EQ(panelText(form, 0), QStringLiteral("COM1"));
  EXPECT_TRUE(comEntry(form, 1)->isChecked());
  EXPECT_FALSE(action(form, "MTCP")->isChecked());
  EXPECT_EQ(form.networkLink(), nullptr);
  EXPECT_TRUE(dialogs_.of("connect").empty());
}

TEST_F(TcpLinkTest, ClosingTheWindowDisconnects) {
  LoopbackServer server(true);
  ui::TForm1& form = makeForm();
  form.eIP->setText(server.address());
  action(form, "MTCP")->trigger();
  ASSERT_TRUE(server.accept());
  form.close();
  EXPECT_FALSE(form.sock->Connected());
  EXPECT_TRUE(waitFor([&] { return server.peerClosed(); }, 3000));
}

TEST_F(TcpLinkTest, AModuleThatStopsReadingNeverHoldsTheWindowAndDropsAreCountedWhole) {
  // The module sends a flood whose echo it never reads, or the cyclic sender repeats a long
  // line to it: sends queue up to a bound, the window keeps turning, and what does not fit
  // is dropped a whole write at a time and reported once, never lost silently.
  constexpr std::size_t kLine = 30 * 1024;
  struct Case {
    const char* name;
    bool cyclic;
  };
  for (const Case c : {Case{"echo of a flood", false}, Case{"30 KB cyclic line", true}}) {
    SCOPED_TRACE(c.name);
    form_.reset();
    dialogs_ = ScriptedDialogs{};
    LoopbackServer server(true, 4096);
    ui::TForm1& form = makeForm();
    form.eIP->setText(server.address());
    action(form, "MTCP")->trigger();
    ASSERT_TRUE(server.accept());
    const int small = 4096;
    ::setsockopt(form.sock->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    const std::string line = std::string(kLine - 2, 'L') + "\r\n";
    std::size_t sent = 0;
    LoopWatch watch;
    if (c.cyclic) {
      form.terminal()->setCycleText(QString::fromLatin1(line.substr(0, kLine - 2)));
      form.terminal()->setCycleIntervalText(QStringLiteral("5 ms"));
      // Until the queue has overflowed and its box has come, and twenty more lines have met
      // the full queue (a second box would show then), however slowly the machine sends.
      QObject tickCounter;
      int ticks = 0, ticksAtBox = -1;
      QObject::connect(form.terminal()->cycleTimer(), &QTimer::timeout, &tickCounter, [&ticks] { ++ticks; });
      form.terminal()->findChild<QToolButton*>("tbCycle")->click();
      const bool overflowed = waitFor([&] {
        if (ticksAtBox < 0 && !dialogs_.of("error").empty()) ticksAtBox = ticks;
        return ticksAtBox >= 0 && ticks >= ticksAtBox + 20;
      }, 20000);
      form.terminal()->findChild<QToolButton*>("tbCycle")->click();
      ASSERT_TRUE(overflowed);
    } else {
      std::atomic<bool> done{false};
      std::thread module([&] {
        for (int i = 0; i < 60; ++i) sent += static_cast<std::size_t>(::send(server.peer(), line.data(), line.size(), MSG_NOSIGNAL));
        done = true;
      });
      // Until the window has read everything the module sent.
      const bool read = waitFor([&] {
        pollfd p{form.sock->SocketHandle(), POLLIN, 0};
        return done && ::poll(&p, 1, 0) == 0;
      }, 20000);
      module.join();
      ASSERT_TRUE(read);
    }
    EXPECT_LT(watch.worstGapMs(), 3000);

    // The module reads again: the queue drains, and the log has the total dropped.
    std::string echoed;
    QString total;
    waitFor([&] {
      echoed += readArrived(server.peer(), SIZE_MAX, 20);
      const QStringList log = debugWindow(form)->lines().filter(QStringLiteral(" bytes dropped in all"));
      if (!log.isEmpty()) total = log.back();
      return form.moduleSocket().queued() == 0 && !total.isEmpty();
    }, 20000);
    echoed += readArrived(server.peer(), SIZE_MAX, 100);
    ASSERT_FALSE(total.isEmpty()) << "nothing was dropped: the test did not overflow the queue";
    const std::size_t dropped = total.section(QLatin1Char(' '), -5, -5).toULongLong();
    EXPECT_EQ(dialogs_.of("error").size(), 1u);
    if (c.cyclic) {
      EXPECT_EQ(echoed.size() % kLine, 0u) << "a line was cut";
      EXPECT_EQ(dropped % kLine, 0u);
    } else {
      EXPECT_EQ(echoed.size() + dropped, sent);
    }
  }
}

TEST_F(TcpLinkTest, AModuleThatFloodsAndIsResetIsShownClosedAtOnceWithOneDropBox) {
  // The module floods the terminal (its echo overflows the send queue again and again),
  // then restarts: the window says once that it drops bytes, and shows the connection
  // closed without waiting for a command to try it.
  LoopbackServer server(true, 4096);
  ui::TForm1& form = makeForm();
  form.eIP->setText(server.address());
  action(form, "MTCP")->trigger();
  ASSERT_TRUE(server.accept());
  ASSERT_EQ(panelText(form, 0), QStringLiteral("TCP"));
  const int small = 4096;
  ::setsockopt(form.sock->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> flooded{0};
  std::thread module([&] {
    const std::string line = std::string(1022, 'F') + "\r\n";
    char echo[65536];
    for (int turn = 0; !stop; ++turn) {
      const ssize_t n = ::send(server.peer(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) flooded += static_cast<std::size_t>(n);
      else ::usleep(200);
      // Now and then it reads its echo, so the window's queue runs empty between overflows.
      if (turn % 512 == 0)
        while (::recv(server.peer(), echo, sizeof echo, MSG_DONTWAIT) > 0) {
        }
    }
  });
  // Several overflows: the queue runs empty now and then while the flood goes on.
  const bool overflowed = waitFor([&] { return flooded > 8 * ui::kSendQueueLimit; }, 60000);
  stop = true;
  module.join();
  ASSERT_TRUE(overflowed);
  server.resetPeer();

  ASSERT_TRUE(waitFor([&] { return panelText(form, 0) == QStringLiteral("---"); }, 20000))
      << "the reset connection still shows as open" << ::testing::PrintToString(dialogs_.events);
  EXPECT_FALSE(action(form, "MProg")->isEnabled());
  const auto errors = dialogs_.of("error");
  const auto drops = std::count_if(errors.begin(), errors.end(), [](const std::string& e) {
    return e.rfind("The module does not take what is sent to it", 0) == 0;
  });
  EXPECT_EQ(drops, 1) << ::testing::PrintToString(errors);
  EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                          [](const std::string& e) { return e.rfind("Line lost: TCP: ", 0) == 0; }),
            1)
      << ::testing::PrintToString(errors);
}

}  // namespace
}  // namespace velkorn::testing
