// velkorn-target: the simulated chip on a pseudo-terminal or a TCP port, so that the window
// and the command line can be run and tested without a board.
#include <sys/prctl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/bootloader.h"
#include "sim/pty_target.h"
#include "sim/tcp_target.h"
#include "velkorn_version.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gInsert = 0;  // SIGUSR1: a board was put in
volatile std::sig_atomic_t gRemove = 0;  // SIGUSR2: the board was taken out

void onStopSignal(int) { gStop = 1; }
void onBoardSignal(int signal) { (signal == SIGUSR1 ? gInsert : gRemove) = 1; }

// Records and answers carry CR LF; show them readably on one log line.
std::string printable(const std::string& text) {
  std::string s;
  for (unsigned char c : text) {
    if (c == '\r') s += "\\r";
    else if (c == '\n') s += "\\n";
    else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      s += buf;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s;
}

constexpr int kDefaultPaceRate = 115200;  // bit/s
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using namespace velkorn::sim;

// The stop signals stay blocked except inside the wait, so none is lost between the check
// of the flag and the wait. They are caught from the first moment on: a target stopped at
// any time still writes its flash file. Returns the mask for the wait.
sigset_t catchStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigaddset(&stopSignals, SIGUSR1);
  sigaddset(&stopSignals, SIGUSR2);
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGHUP);
  sigdelset(&waitMask, SIGUSR1);
  sigdelset(&waitMask, SIGUSR2);
  struct sigaction stopAction {};
  stopAction.sa_handler = onStopSignal;
  sigemptyset(&stopAction.sa_mask);
  sigaction(SIGTERM, &stopAction, nullptr);
  sigaction(SIGINT, &stopAction, nullptr);
  sigaction(SIGHUP, &stopAction, nullptr);
  struct sigaction boardAction {};
  boardAction.sa_handler = onBoardSignal;
  sigemptyset(&boardAction.sa_mask);
  sigaction(SIGUSR1, &boardAction, nullptr);
  sigaction(SIGUSR2, &boardAction, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return waitMask;
}

// A TCP port on 127.0.0.1; null with `error` set when it cannot listen.
std::unique_ptr<TcpTarget> openTcp(const TargetOptions& options, Bootloader& model, std::string& error) {
  auto tcp = std::make_unique<TcpTarget>(model);
  if (!tcp->listen(options.tcpPort, error)) return nullptr;
  tcp->setHangUpAfter(options.hangUpAfter);
  tcp->serveRfc2217(options.rfc2217);
  tcp->needReset(options.needsReset);
  // The rate the programmer set on the server's port.
  tcp->onRate = [t = tcp.get(), pace = options.pace && options.rateBitsPerSecond == 0, log = options.log](int rate) {
    if (pace) t->setPacing(rate);
    if (log) std::cerr << "line at " << rate << " bit/s" << std::endl;
  };
  if (options.log) {
    tcp->onModemLine = [](const std::string& step) { std::cerr << "modem line " << step << std::endl; };
    tcp->onConnection = [](const std::string& peer) {
      std::cerr << (peer.empty() ? std::string("connection closed") : "connection from " + peer) << std::endl;
    };
  }
  return tcp;
}

// A pseudo-terminal, with the COMn link --link asks for in `link`; null with `error` set
// when either cannot be made.
std::unique_ptr<PtyTarget> openPty(const TargetOptions& options, Bootloader& model, PortLink& link,
                                   std::string& error) {
  auto pty = std::make_unique<PtyTarget>(model);
  if (!pty->open(error)) return nullptr;
  if (!options.link.empty()) {
    const auto created = createPortLink(options.link, pty->slavePath(), options.replaceLink, error);
    if (!created) return nullptr;
    link = *created;
  }
  // Without --rate the answers follow the rate the programmer set when its "U" arrives.
  pty->paceAtLineRate(options.pace && options.rateBitsPerSecond == 0);
  if (options.log) {
    pty->onLineRate = [](int rate) {
      std::cerr << "line at " << (rate > 0 ? std::to_string(rate) : std::string("an unknown rate")) << " bit/s"
                << std::endl;
    };
  }
  return pty;
}

// How the line behaves: its pace, the adapter's latency, the network's delay, the log and
// the flash file kept up to date.
void shapeLine(LineTarget& target, const TargetOptions& options, Bootloader& model) {
  if (options.log) {
    model.onRecord = [](const std::string& record, const std::string& answer) {
      std::cerr << record << " -> " << printable(answer) << std::endl;
    };
  }
  if (options.pace) {
    // Until a "U" says otherwise (and always over --tcp, which carries no rate): the
    // bootloader's usual rate.
    target.setPacing(options.rateBitsPerSecond > 0 ? options.rateBitsPerSecond : kDefaultPaceRate);
    // A byte leaves every 87 us at 115200 bit/s: the default 50 us timer slack would make
    // the simulated line noticeably slower than a real one.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  if (options.latencyMs > 0 || options.latencyJitterMs > 0) {
    target.setAdapter(AdapterBuffer(std::chrono::milliseconds(options.latencyMs),
                                    std::chrono::milliseconds(options.latencyJitterMs), options.seed));
  }
  target.setDelay(std::chrono::milliseconds(options.delayMs));
  if (options.flashOutLive) {
    target.onFlashChanged = [path = options.flashOut](const Bootloader& b) {
      std::string e;
      if (!writeFlashFile(path, b, e)) std::cerr << "velkorn-target: " << e << "\n";
    };
  }
}

// The socket of a production fixture: boards are put in and taken out by signals. With
// --link the port exists only while a board is in (an adapter that comes with the board);
// without it the line stays and only the bootloader falls silent (a fixed adapter).
struct Socket {
  const TargetOptions& options;
  Bootloader& model;
  LineTarget& target;
  PortLink& link;
  std::string where;
  int board = 1;  // the number of the board in the socket, or of the last one

  void takeOut(bool keepFlash) {
    if (!target.boardPresent()) return;
    target.setBoardPresent(false);
    if (keepFlash && !options.flashOut.empty()) {
      std::string error;
      if (!writeFlashFile(options.flashOut + "." + std::to_string(board), model, error)) {
        std::cerr << "velkorn-target: " << error << "\n";
      }
    }
    if (!link.path.empty()) {
      removePortLink(link);
      link = PortLink{};
    }
    if (options.log && keepFlash) std::cerr << "board " << board << " taken out" << std::endl;
  }

  void putIn() {
    if (target.boardPresent()) return;
    ++board;
    Faults faults = options.faults;
    if (board == options.badBoard) faults.refuseDataRecord = 1;
    model.newBoard(faults);
    std::string error;
    if (!options.flashIn.empty() && !readFlashFile(options.flashIn, model, error)) {
      std::cerr << "velkorn-target: " << error << "\n";
    }
    if (!options.link.empty()) {
      if (const auto created = createPortLink(options.link, where, options.replaceLink, error)) {
        link = *created;
      } else {
        std::cerr << "velkorn-target: " << error << "\n";
      }
    }
    target.setBoardPresent(true);
    if (options.log) std::cerr << "board " << board << " put in" << std::endl;
  }
};

}  // namespace

int main(int argc, char** argv) {
  sigset_t waitMask = catchStopSignals();

  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = parseTargetOptions(args, error);
  if (!options) {
    std::cerr << "velkorn-target: " << error << "\n(velkorn-target --help lists the options)\n";
    return kExitUsage;
  }
  if (options->help) {
    std::cout << targetUsage();
    return 0;
  }
  if (options->version) {
    std::cout << "velkorn-target " << velkorn::kVersion << '\n';
    return 0;
  }

  if (!options->flashOut.empty()) {
    if (const auto problem = flashOutProblem(options->flashOut)) {
      std::cerr << "velkorn-target: " << *problem << "\n";
      return kExitUsage;
    }
  }
  Bootloader model(options->profile);
  model.faults() = options->faults;
  if (!options->flashIn.empty() && !readFlashFile(options->flashIn, model, error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    return kExitUsage;
  }

  // The line: a pseudo-terminal (the default) or a TCP port on 127.0.0.1.
  std::unique_ptr<LineTarget> target;
  std::string where;
  PortLink link;
  if (options->tcpPort >= 0) {
    auto tcp = openTcp(*options, model, error);
    if (tcp) where = "tcp://127.0.0.1:" + std::to_string(tcp->port());
    target = std::move(tcp);
  } else {
    auto pty = openPty(*options, model, link, error);
    if (pty) where = pty->slavePath();
    target = std::move(pty);
  }
  if (!target) {
    std::cerr << "velkorn-target: " << error << "\n";
    return kExitFailure;
  }
  // The socket is as the options say before anyone learns the port.
  Socket socket{*options, model, *target, link, where};
  if (options->absent) {
    socket.takeOut(false);
    socket.board = 0;
  } else if (options->badBoard == 1) {
    model.faults().refuseDataRecord = 1;
  }
  std::cout << where << std::endl;  // the first line: whoever started us waits for it
  if (!link.path.empty()) {
    std::cerr << "velkorn-target: " << options->link << " -> " << where;
    if (!link.replaced.empty()) std::cerr << " (until it ends; then -> " << link.replaced << " again)";
    std::cerr << "\n";
  }
  shapeLine(*target, *options, model);
  if (!options->appLine.empty()) {
    target->setApplication(Application(options->appLine, std::chrono::milliseconds(options->appEveryMs)),
                           options->appRate);
    if (options->appRunning) target->runApplication(true);
  }
  target->onWake = [&socket] {
    if (std::exchange(gRemove, 0)) socket.takeOut(true);
    if (std::exchange(gInsert, 0)) socket.putIn();
  };

  int status = 0;
  if (!target->serve(gStop, &waitMask, error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    status = kExitFailure;
  }
  if (!options->flashOut.empty() && !writeFlashFile(options->flashOut, model, error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    status = kExitFailure;
  }
  removePortLink(link);
  return status;
}
