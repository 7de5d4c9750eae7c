#include "cli/production_loop.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <thread>

#include "cli/board.h"
#include "cli/platform.h"
#include "cli/port_label.h"
#include "cli/terminal_operator.h"

namespace velkorn::cli {
namespace {

// How often a port is looked at while waiting for a board to come or to go.
constexpr std::chrono::milliseconds kLookInterval{250};
// A board counts as gone after this many looks in a row without an answer: one lost "U" on
// a noisy line must not make the same board count as the next one.
constexpr int kSilentLooksForGone = 2;
// The synchronisation of one look: a board in its bootloader answers the first "U".
constexpr int kLookSyncTimeoutS = 1;

// Ctrl+C ends the loop, not the boards in flight: a board cut short is a board to redo.
std::atomic<bool> gStopLoop{false};
std::atomic<bool> gSignal{false};  // Ctrl+C or SIGTERM came since it was last looked at

// The boards being programmed. Once Ctrl+C came and none is, the waits for boards are cut
// short (through the interruption every wait of a run heeds); no board starts after that.
struct InFlight {
  std::mutex mutex;
  int boards = 0;
  // False when the loop is ending: no board may start.
  bool start() {
    std::lock_guard lock(mutex);
    if (gStopLoop) return false;
    ++boards;
    return true;
  }
  void end() {
    std::lock_guard lock(mutex);
    --boards;
  }
  // Interrupts the looks for boards once the loop is ending and no board is in flight.
  bool interruptLooks() {
    std::lock_guard lock(mutex);
    if (!gStopLoop || boards > 0) return false;
    TerminalOperator::interrupted = true;
    return true;
  }
};

class NullBuffer final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

enum class Presence { NoPort, Silent, Answers };

// Whether a board's bootloader answers on `port`, as `info` would find out (the reset sequence
// included), with nothing shown.
Presence look(const Options& options, const std::string& port) {
  Options o = options;
  o.command = Command::Info;
  o.syncTimeoutS = kLookSyncTimeoutS;
  o.quiet = true;
  o.verbose = false;
  o.json = false;
  o.record.clear();
  o.serialAt = -1;
  o.runSteps.clear();
  NullBuffer nothing;
  std::ostream null(&nothing);
  const BoardResult r = runBoard(o, port, null, null, BoardView{});
  if (r.exit == kExitDone) return Presence::Answers;
  return r.outcome == "port-error" ? Presence::NoPort : Presence::Silent;
}

void pause() {
  const auto end = std::chrono::steady_clock::now() + kLookInterval;
  while (!gStopLoop && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class Line {
 public:
  Line(const Options& options, std::ostream& out, std::ostream& err, bool several)
      : options_(options), out_(out), err_(err), several_(several) {}

  // A message of the loop as a whole on stderr.
  void sayAll(const std::string& text) {
    std::lock_guard lock(mutex_);
    err_ << kStderrPrefix << text << '\n';
    err_.flush();
  }

  // A message of the loop on stderr, naming the port and its device.
  void say(const std::string& port, const std::string& text) {
    if (options_.quiet) return;
    std::lock_guard lock(mutex_);
    err_ << kStderrPrefix << portLabel(port) << ": " << text << '\n';
    err_.flush();
  }

  void boardEnded(const std::string& port, const BoardResult& r, const std::string& boardOut,
                  const std::string& boardErr) {
    std::lock_guard lock(mutex_);
    ++boards_;
    ++(r.exit == kExitDone ? done_ : failed_);
    // Several ports: a board's lines come together when it ends, each with its port.
    emit(err_, boardErr, port, true);
    emit(out_, boardOut, port, false);
    if (options_.json) out_ << jsonLine(options_, r) << '\n';
    out_.flush();
    std::string text = kStderrPrefix + portLabel(port) + ": board " + std::to_string(boards_) + ": " +
                       (r.exit == kExitDone ? std::string("done") : "FAILED: " + r.message);
    if (r.facts.serial) text += " (serial number " + std::to_string(*r.facts.serial) + ")";
    // Quiet: only a failure is worth a line.
    if (!options_.quiet || r.exit != kExitDone) err_ << text << "; " << counts() << '\n';
    err_.flush();
  }

  int finish() {
    std::lock_guard lock(mutex_);
    err_ << kStderrPrefix << counts() << '\n';
    err_.flush();
    return failed_ == 0 ? kExitDone : kExitChipFailed;
  }

 private:
  std::string counts() const {
    return std::to_string(boards_) + (boards_ == 1 ? " board, " : " boards, ") + std::to_string(done_) + " done, " +
           std::to_string(failed_) + " failed";
  }
  void emit(std::ostream& stream, const std::string& text, const std::string& port, bool message) {
    std::istringstream in(text);
    const std::string program = kStderrPrefix;
    for (std::string line; std::getline(in, line);) {
      if (!several_) {
        stream << line << '\n';
      } else if (message && line.rfind(program, 0) == 0) {
        stream << program << port << ": " << line.substr(program.size()) << '\n';
      } else {
        stream << port << ": " << line << '\n';
      }
    }
  }

  const Options& options_;
  std::ostream& out_;
  std::ostream& err_;
  bool several_;
  std::mutex mutex_;
  int boards_ = 0, done_ = 0, failed_ = 0;
};

void servePort(const Options& options, const std::string& port, Line& line, InFlight& inFlight, bool several,
               bool errIsTerminal, std::ostream& out, std::ostream& err) {
  while (!gStopLoop) {
    line.say(port, "waiting for a board");
    while (!gStopLoop && look(options, port) != Presence::Answers) pause();
    if (!inFlight.start()) return;
    // One port: the board's own progress display; several: its lines when it ends.
    std::ostringstream boardOut, boardErr;
    const BoardResult r = several ? runBoard(options, port, boardOut, boardErr, BoardView{})
                                  : runBoard(options, port, out, err, BoardView{errIsTerminal, {}});
    inFlight.end();
    line.boardEnded(port, r, boardOut.str(), boardErr.str());
    line.say(port, "take the board out");
    for (int silent = 0; !gStopLoop && silent < kSilentLooksForGone;) {
      const Presence p = look(options, port);
      if (p == Presence::NoPort) break;
      silent = p == Presence::Silent ? silent + 1 : 0;
      if (silent < kSilentLooksForGone) pause();
    }
  }
}

}  // namespace

int runProductionLoop(const Options& options, const std::vector<std::string>& ports, std::ostream& out,
                      std::ostream& err, bool errIsTerminal) {
  gStopLoop = false;
  gSignal = false;
  // From here Ctrl+C and SIGTERM stop the loop and leave the boards in flight alone.
  platform::setUpProcess(gSignal);
  Line line(options, out, err, ports.size() > 1);
  InFlight inFlight;
  std::atomic<std::size_t> running{ports.size()};
  std::vector<std::thread> threads;
  for (const std::string& port : ports) {
    threads.emplace_back([&, port] {
      servePort(options, port, line, inFlight, ports.size() > 1, errIsTerminal, out, err);
      --running;
    });
  }
  // The first Ctrl+C ends the loop after the boards in flight; a second one stops those too,
  // for an operator who cannot wait for them (a board that hangs the line).
  bool stopping = false;
  while (running > 0) {
    if (gSignal.exchange(false)) {
      if (!stopping) {
        stopping = true;
        gStopLoop = true;
        line.sayAll("stopping after the boards in flight (Ctrl+C again stops them too)");
      } else {
        TerminalOperator::interrupted = true;
      }
    }
    if (!TerminalOperator::interrupted && inFlight.interruptLooks()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (std::thread& t : threads) t.join();
  return line.finish();
}

}  // namespace velkorn::cli
