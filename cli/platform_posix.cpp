#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/platform.h"

namespace velkorn::cli::platform {
namespace {

std::atomic<bool>* gInterrupted = nullptr;

void onSignal(int) {
  if (gInterrupted) *gInterrupted = true;
}

}  // namespace

void setUpProcess(std::atomic<bool>& interrupted) {
  gInterrupted = &interrupted;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGXFSZ, SIG_IGN);
}

bool stderrShowsProgressBar() { return ::isatty(STDERR_FILENO) != 0; }

std::optional<std::string> writeTemporaryFile(const std::string& path, const std::string& text, std::string* why) {
  std::string temp = path + ".velkorn-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *why = std::strerror(errno);
    return std::nullopt;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const int writeErr = done < text.size() ? (errno != 0 ? errno : EIO) : 0;
  const bool closed = ::close(fd) == 0;
  const int closeErr = errno;
  if (writeErr != 0 || !closed) {
    ::unlink(temp.c_str());
    *why = std::strerror(writeErr != 0 ? writeErr : closeErr);
    return std::nullopt;
  }
  ::chmod(temp.c_str(), 0644);
  return temp;
}

Placed moveIntoPlace(const std::string& temporary, const std::string& path, bool replace, std::string* why) {
  // Without `replace` a hard link refuses a name that is taken, atomically.
  const int rc = replace ? ::rename(temporary.c_str(), path.c_str()) : ::link(temporary.c_str(), path.c_str());
  const int err = errno;
  if (rc != 0) {
    if (err == EEXIST) return Placed::Exists;
    *why = std::strerror(err);
    return Placed::Failed;
  }
  if (!replace) ::unlink(temporary.c_str());
  return Placed::Done;
}

}  // namespace velkorn::cli::platform
