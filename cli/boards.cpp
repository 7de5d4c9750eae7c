// Several boards at once: a thread per board, each with its own line and engine, its output
// lines prefixed with its port, a status line per board on a terminal, and a summary.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <thread>
#include <vector>

#include "cli/board.h"
#include "cli/board_ports.h"
#include "cli/commands.h"
#include "cli/monitor.h"
#include "cli/outcome_report.h"
#include "cli/port_label.h"
#include "cli/production_loop.h"
#include "cli/terminal_operator.h"
#include "link/com_name.h"
#include "link/net_address.h"
#include "link/port_list.h"
#include "link/port_names.h"

namespace velkorn::cli {
namespace {

constexpr std::size_t kStatusColumns = 78;  // a status line never wraps on an 80-column terminal
constexpr std::chrono::milliseconds kStatusRedrawInterval{100};
// The lines of the boards, one place to write them: messages go above the status lines,
// which are redrawn below them in place (on a terminal).
class BoardLines {
 public:
  BoardLines(std::ostream& out, std::ostream& err, const std::vector<std::string>& ports, bool statusLines)
      : out_(out), err_(err), status_(ports.size()), finished_(ports.size()), statusLines_(statusLines) {
    for (const std::string& port : ports) ports_.push_back(printable(port));
  }

  // Why the line did not reach stdout (a closed pipe, a full disk); empty when it did.
  std::string outLine(const std::string& line) { return write(out_, line); }
  // stderr has no one left to tell when it fails.
  void errLine(const std::string& line) { write(err_, line); }
  void update(std::size_t board, const BoardStatus& status) {
    std::lock_guard lock(mutex_);
    const bool newPhase = status.phase != status_[board].phase;
    status_[board] = status;
    const auto now = std::chrono::steady_clock::now();
    if (!newPhase && now - drawnAt_ < kStatusRedrawInterval) return;
    clearStatus();
    drawStatus();
  }
  void finish(std::size_t board, const BoardResult& result) {
    std::lock_guard lock(mutex_);
    finished_[board] = result.exit == kExitDone ? "done" : "FAILED: " + result.message;
    clearStatus();
    drawStatus();
  }
  // The status lines stay as the last word of each board.
  void close() {
    std::lock_guard lock(mutex_);
    drawn_ = 0;
  }

 private:
  // Each line is judged on its own: the stream's state is cleared before it, so one board's
  // failed line is not counted against the next board's.
  std::string write(std::ostream& stream, const std::string& line) {
    std::lock_guard lock(mutex_);
    clearStatus();
    stream.clear();
    errno = 0;
    stream << line << '\n';
    stream.flush();
    std::string failure;
    if (!stream) {
      failure = errno != 0 ? std::strerror(errno) : "the write failed";
      stream.clear();
    }
    drawStatus();
    return failure;
  }
  void clearStatus() {
    if (drawn_ == 0) return;
    err_ << "\033[" << drawn_ << "A\r\033[J";
    drawn_ = 0;
  }
  void drawStatus() {
    if (!statusLines_) return;
    std::size_t width = 0;
    for (const std::string& p : ports_) width = std::max(width, p.size());
    for (std::size_t i = 0; i < ports_.size(); ++i) {
      std::string line = ports_[i] + std::string(width - ports_[i].size() + 2, ' ');
      if (!finished_[i].empty()) {
        line += finished_[i];
      } else {
        line += status_[i].phase.empty() ? "starting" : status_[i].phase;
        if (status_[i].percent >= 0) line += "  " + std::to_string(status_[i].percent) + "%";
        if (!status_[i].timeLeft.empty()) line += "  " + status_[i].timeLeft + "left";
      }
      line = printable(line);
      if (line.size() > kStatusColumns) line = line.substr(0, kStatusColumns - 3) + "...";
      err_ << line << '\n';
    }
    err_.flush();
    drawn_ = ports_.size();
    drawnAt_ = std::chrono::steady_clock::now();
  }

  std::mutex mutex_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::string> ports_;  // as the terminal shows them
  std::vector<BoardStatus> status_;
  std::vector<std::string> finished_;
  bool statusLines_;
  std::size_t drawn_ = 0;
  std::chrono::steady_clock::time_point drawnAt_{};
};

// A board's stream: each complete line goes to the shared lines with the board's port in
// it ("velkorn-cli: COM2: ..." on stderr, "COM2: ..." on stdout), the port and the line
// shown as every name is shown: no control character of theirs reaches the terminal.
class PrefixingBuffer final : public std::streambuf {
 public:
  PrefixingBuffer(std::function<void(const std::string&)> sink, std::string port, bool afterProgramName)
      : sink_(std::move(sink)), port_(std::move(port)), afterProgramName_(afterProgramName) {}
  ~PrefixingBuffer() override {
    if (!line_.empty()) emit();
  }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
      emit();
    } else if (c != '\r') {
      line_ += static_cast<char>(c);
    }
    return c;
  }

 private:
  void emit() {
    const std::string program = kStderrPrefix;
    const std::string port = printable(port_);
    if (afterProgramName_ && line_.rfind(program, 0) == 0) {
      sink_(program + port + ": " + printable(line_.substr(program.size())));
    } else {
      sink_(port + ": " + printable(line_));
    }
    line_.clear();
  }

  std::function<void(const std::string&)> sink_;
  std::string port_;
  bool afterProgramName_;
  std::string line_;
};

// A board whose lines did not all reach stdout has not delivered what it was asked for.
void outputLost(BoardResult& result, const std::string& why) {
  const std::string lost = "its output could not be written to stdout: " + why;
  if (result.exit == kExitDone) {
    result.exit = kExitChipFailed;
    result.outcome = "output-error";
    result.message = lost;
  } else {
    result.message += (result.message.empty() ? "" : "; ") + lost;
  }
}

// Flushes `out`; why what was written to it did not all arrive, or empty. The stream is
// cleared for what comes next.
std::string flushed(std::ostream& out) {
  errno = 0;
  out.flush();
  if (out) return {};
  const int code = errno;
  out.clear();
  return code != 0 ? std::strerror(code) : "the write failed";
}

int usageError(std::ostream& err, const std::string& what) {
  err << kStderrPrefix << printable(what) << " (velkorn-cli --help lists the options)\n";
  return kExitUsage;
}

int runSeveral(const Options& options, const std::vector<std::string>& ports, std::ostream& out, std::ostream& err,
               bool errIsTerminal) {
  BoardLines lines(out, err, ports, errIsTerminal && !options.quiet);
  std::vector<BoardResult> results(ports.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    threads.emplace_back([&, i] {
      std::string lost;  // why the board's first line that missed stdout missed it
      PrefixingBuffer outBuffer(
          [&](const std::string& l) {
            if (std::string why = lines.outLine(l); !why.empty() && lost.empty()) lost = why;
          },
          ports[i], false);
      PrefixingBuffer errBuffer([&](const std::string& l) { lines.errLine(l); }, ports[i], true);
      std::ostream boardOut(&outBuffer);
      std::ostream boardErr(&errBuffer);
      Options o = options;
      if (o.command == Command::Read) o.file = boardFile(options.file, ports[i]);
      BoardView view;
      if (errIsTerminal && !options.quiet) view.onStatus = [&, i](const BoardStatus& s) { lines.update(i, s); };
      results[i] = runBoard(o, ports[i], boardOut, boardErr, view);
      boardOut.flush();
      boardErr.flush();
      if (!lost.empty()) outputLost(results[i], lost);
      if (options.json) {
        if (const std::string why = lines.outLine(jsonLine(o, results[i])); !why.empty()) outputLost(results[i], why);
      }
      lines.finish(i, results[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  lines.close();
  int status = kExitDone;
  std::size_t done = 0;
  for (const BoardResult& r : results) {
    status = std::max(status, r.exit);
    done += r.exit == kExitDone;
  }
  // Quiet: only failures are worth a line.
  if (!options.quiet || done != results.size()) {
    err << kStderrPrefix << done << " of " << results.size() << " boards done\n";
  }
  for (const BoardResult& r : results) {
    if (r.exit != kExitDone) err << kStderrPrefix << portLabel(r.port) << " failed: " << r.message << '\n';
  }
  err.flush();
  return status;
}

}  // namespace

int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  if (options.command == Command::Ports) return listPortsCommand(options, out, err);
  const BoardPorts board = boardPorts(options, std::getenv("VELKORN_PORT"));
  if (!board.error.empty()) return usageError(err, board.error);
  const std::vector<std::string>& ports = board.ports;
  if (const auto repeat = repeatedPort(ports)) {
    const std::string& first = ports[repeat->first];
    const std::string& again = ports[repeat->second];
    return usageError(err, "the port " + shortName(again) +
                               (again == first ? "" : " (the same as " + shortName(first) + ")") + " is given twice");
  }
  if (!options.resetSteps.empty() || !options.runSteps.empty()) {
    for (const std::string& port : ports) {
      std::string lower = port;
      std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
      if (lower.rfind("tcp://", 0) == 0) {
        return usageError(err, shortName(port) + ": a raw TCP port carries no modem lines for --reset or --run "
                                                 "(rfc2217:// does)");
      }
    }
  }
  // A network port without a port number would only fail once the boards run.
  for (const std::string& port : ports) {
    if (!link::isNetworkPort(port)) continue;
    if (const auto address = link::parseNetAddress(port); !address) return usageError(err, address.message());
  }
  const bool perBoardFile = options.command == Command::Read && options.file.find(kPortPlaceholder) != std::string::npos;
  if (ports.size() > 1 && options.command == Command::Read && !perBoardFile) {
    return usageError(err, "read with several ports needs {port} in the output file's name");
  }
  // Checked before anything is read: two boards writing one file would lose one chip's dump.
  if (perBoardFile) {
    if (const auto shared = sharedBoardFile(options.file, ports)) {
      return usageError(err, "the ports " + shortName(ports[shared->first]) + " and " +
                                 shortName(ports[shared->second]) + " would both write " +
                                 shortName(boardFile(options.file, ports[shared->first])));
    }
  }
  if (options.command == Command::Monitor || options.monitor) {
    if (options.loop) return usageError(err, "--monitor watches one board; --loop takes board after board");
    if (ports.size() > 1) return usageError(err, "the monitor watches one port, not " + std::to_string(ports.size()));
    if (options.command == Command::Monitor) return monitorCommand(options, ports.front(), out, err);
  }
  if (options.loop) return runProductionLoop(options, ports, out, err, errIsTerminal);
  if (ports.size() > 1) return runSeveral(options, ports, out, err, errIsTerminal);
  Options single = options;
  if (perBoardFile) single.file = boardFile(options.file, ports.front());
  out.clear();
  BoardResult result = runBoard(single, ports.front(), out, err, BoardView{errIsTerminal, {}});
  // A result the command could not write it has reported itself; a stdout that broke there
  // takes no JSON object either.
  if (result.outcome == "output-error") {
    out.clear();
    return result.exit;
  }
  // What the command wrote to stdout must have got there; so must its object.
  std::string lost = flushed(out);
  if (lost.empty() && options.json) {
    out << jsonLine(single, result) << '\n';
    lost = flushed(out);
  }
  if (!lost.empty()) {
    outputLost(result, lost);
    err << kStderrPrefix << "the output could not be written to stdout: " << lost << '\n';
    err.flush();
  }
  return result.exit;
}

}  // namespace velkorn::cli
