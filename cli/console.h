#pragma once
// The person's keyboard and screen for the monitor: a terminal on stdin is put into raw mode
// (each key as it is typed, no echo, Ctrl+C and Ctrl+] as bytes) and given back as it was on
// every way out; a pipe or a file on stdin is read as its bytes come. One implementation per
// system: console_posix.cpp (termios), console_win32.cpp (the console API).
#include <chrono>
#include <string>

namespace velkorn::cli {

class Console {
 public:
  // What a read of stdin brought.
  enum class Input { Bytes, Nothing, Ended, Failed };

  // Puts a terminal on stdin into raw mode; anything else on stdin is left as it is.
  Console();
  // Gives the terminal its settings back.
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // stdin is a terminal (POSIX) or a console (Windows): keys, with Ctrl+] to end.
  bool keyboard() const { return keyboard_; }
  // Waits at most `wait` for stdin and appends what came to `bytes`. Ended: stdin reached its
  // end (a pipe whose writer closed it, the end of a file, a terminal that hung up); Failed:
  // why() says why it cannot be read.
  Input read(std::string& bytes, std::chrono::milliseconds wait);
  const std::string& why() const { return why_; }

 private:
  bool keyboard_ = false;
  std::string why_;
  struct Saved;  // the terminal's settings before raw mode
  Saved* saved_ = nullptr;
};

// Whether stdout is a terminal (a console on Windows): received bytes that would move the
// cursor or change the terminal's state are then shown as \xNN.
bool stdoutIsTerminal();

}  // namespace velkorn::cli
