#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "cli/console.h"

namespace velkorn::cli {

struct Console::Saved {
  termios settings;
  void (*sigpipe)(int);
};

Console::Console() {
  saved_ = new Saved{};
  // A reader of stdout that went away (`monitor | head`) must end the monitor through a
  // failed write, which restores the terminal, not kill it with the terminal left raw.
  saved_->sigpipe = std::signal(SIGPIPE, SIG_IGN);
  if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &saved_->settings) != 0) return;
  termios raw = saved_->settings;
  // Every key as it is typed and unchanged: Enter is CR as the board expects it, Ctrl+C
  // goes to the board, and nothing is echoed (a board that wants an echo sends one).
  raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // The output side keeps its processing: a line the board ends with LF alone still starts
  // at the left margin, and our own messages on stderr look as usual.
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0) keyboard_ = true;
}

Console::~Console() {
  if (keyboard_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_->settings);
  std::signal(SIGPIPE, saved_->sigpipe);
  delete saved_;
}

Console::Input Console::read(std::string& bytes, std::chrono::milliseconds wait) {
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  const int ready = ::poll(&pfd, 1, static_cast<int>(wait.count()));
  if (ready < 0 && errno == EINTR) return Input::Nothing;
  if (ready < 0) {
    why_ = std::strerror(errno);
    return Input::Failed;
  }
  if (ready == 0) return Input::Nothing;
  if (pfd.revents & POLLNVAL) {
    why_ = "stdin is closed";
    return Input::Failed;
  }
  char buffer[4096];
  const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (n > 0) {
    bytes.append(buffer, static_cast<std::size_t>(n));
    return Input::Bytes;
  }
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return Input::Nothing;
  // A terminal that hung up reads as EIO: as good as the end of the input.
  if (n == 0 || errno == EIO) return Input::Ended;
  why_ = std::strerror(errno);
  return Input::Failed;
}

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) != 0; }

}  // namespace velkorn::cli
