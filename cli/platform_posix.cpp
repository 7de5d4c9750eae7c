#include <fcntl.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <csignal>

#include "cli/platform.h"

namespace velkorn::cli::platform {
namespace {

std::atomic<bool>* gInterrupted = nullptr;

void onSignal(int) {
  if (gInterrupted) *gInterrupted = true;
}

// A standard descriptor that was closed would be the next one open() hands out: the serial
// port would take it, and the result meant for stdout would go down the line to the chip.
// Each closed one gets /dev/null opened for reading, so a write to it still fails.
void holdClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    const int held = ::open("/dev/null", O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

}  // namespace

void setUpProcess(std::atomic<bool>& interrupted) {
  holdClosedStandardDescriptors();
  gInterrupted = &interrupted;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGXFSZ, SIG_IGN);
  // A closed stdout (a reader that went away) fails the write that meets it, and that board
  // reports it, instead of ending every board in the middle of its chip.
  signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
  // The waits for an answer are short sleeps: the default 50 us of timer slack on each one
  // added some 8 % to every record's round trip at 460800 bit/s.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void binaryStdout() {}

bool stderrShowsProgressBar() { return ::isatty(STDERR_FILENO) != 0; }

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::vector<std::string> utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

}  // namespace velkorn::cli::platform
