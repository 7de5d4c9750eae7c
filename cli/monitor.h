#pragma once
// `velkorn-cli monitor` and `program ... --monitor`: a serial terminal on the command line.
// Received bytes go to stdout as they arrive, typed keys (or a pipe's bytes) go to the port;
// Ctrl+] on a keyboard, the end of stdin, SIGINT or SIGTERM end it.
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "cli/options.h"
#include "isp/link.h"

namespace velkorn::cli {

// The key that ends the monitor when stdin is a keyboard: Ctrl+] (GS), as in telnet. A
// pipe's bytes all go to the port, this one too.
inline constexpr char kMonitorEndKey = '\x1D';

// What the screen and the log get of the received bytes: each line starts with the time
// since the start when asked for ("[   12.345] "); on a terminal, bytes that would move the
// cursor or change the terminal's state are shown as \xNN. The log gets the bytes as they
// came, a complete line at a time.
class ReceivedText {
 public:
  ReceivedText(bool timestamps, bool escapes) : timestamps_(timestamps), escapes_(escapes) {}

  // Adds bytes received `seconds` after the start: what the screen shows goes to `screen`,
  // each line completed for the log to `log`.
  void add(std::string_view bytes, double seconds, std::string& screen, std::string& log);
  // The screen is in the middle of a line: a message on stderr starts a new one first.
  bool midLine() const { return !atLineStart_; }
  // Ends the screen's line, e.g. before a message; the next byte starts a new line (with
  // its own time stamp).
  void breakLine(std::string& screen);
  // A line the log has not had yet because its LF never came (at the end).
  std::string takePartialLogLine();

 private:
  bool timestamps_;
  bool escapes_;
  bool atLineStart_ = true;
  std::string logLine_;
};

// The time stamp at the start of a line: seconds since the start, milliseconds shown.
std::string timeStamp(double seconds);

// A line that a running command hands over: `program ... --run SEQ --monitor` watches the line
// it programmed on, so the application's first bytes are not lost. `release` closes it when
// it went away; the monitor then opens the port again by its name (--reconnect).
struct OpenLine {
  isp::Link* line = nullptr;
  std::function<void()> release;
};

// Runs the monitor on `port` at the options' rate (-b for `monitor`, --monitor-baud after
// program), or on `handed` when it is set. `say` writes one message line on stderr. Returns the
// exit status: 0 when ended as asked (Ctrl+], end of stdin, SIGINT, SIGTERM), 1 when the port
// went away without --reconnect or stdout or the log could not be written, 2 when the log
// cannot be opened, 3 when the port cannot be opened.
int runMonitor(const Options& options, const std::string& port, const OpenLine& handed, std::ostream& out,
               const std::function<void(const std::string&)>& say);

// `velkorn-cli monitor` on `port`.
int monitorCommand(const Options& options, const std::string& port, std::ostream& out, std::ostream& err);

}  // namespace velkorn::cli
