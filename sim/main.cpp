// velkorn-target: the simulated chip on a pseudo-terminal, so that the window and the
// command line can be run and tested without a board.
#include <sys/prctl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "sim/bootloader.h"
#include "sim/pty_target.h"

namespace {

volatile std::sig_atomic_t gStop = 0;

void onStopSignal(int) { gStop = 1; }

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

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
  using namespace velkorn::sim;
  // The stop signals stay blocked except inside the wait, so none is lost between the
  // check of the flag and the wait. They are caught from the first moment on: a target
  // stopped at any time still writes its flash file.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigset_t waitMask;
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction stopAction {};
  stopAction.sa_handler = onStopSignal;
  sigemptyset(&stopAction.sa_mask);
  sigaction(SIGTERM, &stopAction, nullptr);
  sigaction(SIGINT, &stopAction, nullptr);
  sigaction(SIGHUP, &stopAction, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

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

  Bootloader model(options->profile);
  model.faults() = options->faults;
  if (!options->flashIn.empty() && !readFlashFile(options->flashIn, model, error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    return kExitUsage;
  }


  PtyTarget target(model);
  if (!target.open(error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    return kExitFailure;
  }
  std::string linkPath;
  if (!options->link.empty()) {
    const auto created = createPortLink(options->link, target.slavePath(), error);
    if (!created) {
      std::cerr << "velkorn-target: " << error << "\n";
      return kExitFailure;
    }
    linkPath = *created;
  }
  std::cout << target.slavePath() << std::endl;  // the first line: whoever started us waits for it
  if (!linkPath.empty()) std::cerr << "velkorn-target: " << options->link << " -> " << target.slavePath() << "\n";

  if (options->log) {
    model.onRecord = [](const std::string& record, const std::string& answer) {
      std::cerr << record << " -> " << printable(answer) << std::endl;
    };
  }
  if (options->pace) {
    target.setPacing(options->rateBitsPerSecond);
    // A byte leaves every 87 us at 115200 bit/s: the default 50 us timer slack would make
    // the simulated line noticeably slower than a real one.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  if (options->latencyMs > 0 || options->latencyJitterMs > 0) {
    target.setAdapter(AdapterBuffer(std::chrono::milliseconds(options->latencyMs),
                                    std::chrono::milliseconds(options->latencyJitterMs), options->seed));
  }
  if (options->flashOutLive) {
    target.onFlashChanged = [path = options->flashOut](const Bootloader& b) {
      std::string e;
      if (!writeFlashFile(path, b, e)) std::cerr << "velkorn-target: " << e << "\n";
    };
  }

  int status = 0;
  if (!target.serve(gStop, &waitMask, error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    status = kExitFailure;
  }
  if (!options->flashOut.empty() && !writeFlashFile(options->flashOut, model, error)) {
    std::cerr << "velkorn-target: " << error << "\n";
    status = kExitFailure;
  }
  removePortLink(linkPath, target.slavePath());
  return status;
}
