// Several boards at once: a thread per board, each with its own line and engine, its output
// lines prefixed with its port, a status line per board on a terminal, and a summary.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <thread>
#include <vector>

#include "cli/board.h"
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
constexpr const char* kPortPlaceholder = "{port}";

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

// What a port name reaches, so that the same port given twice under two names is seen.
std::string portIdentity(const std::string& name) {
  if (name.rfind(link::kUsbPortScheme, 0) == 0) return name;
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.rfind("tcp://", 0) == 0 || lower.rfind("rfc2217://", 0) == 0) return lower;
  const std::string path = link::resolvePortName(name);
  if (path.empty()) return lower;
  std::error_code ec;
  const auto canonical = std::filesystem::canonical(path, ec);
  return ec ? path : canonical.string();
}

// The output file of one board: {port} replaced by the port's name, '/' as '_'.
std::string boardFile(const std::string& pattern, const std::string& port) {
  std::string name = port;
  std::replace(name.begin(), name.end(), '/', '_');
  std::string file = pattern;
  for (std::size_t at = file.find(kPortPlaceholder); at != std::string::npos;
       at = file.find(kPortPlaceholder, at + name.size())) {
    file.replace(at, std::string(kPortPlaceholder).size(), name);
  }
  return file;
}

// The lines of the boards, one place to write them: messages go above the status lines,
// which are redrawn below them in place (on a terminal).
class BoardLines {
 public:
  BoardLines(std::ostream& out, std::ostream& err, const std::vector<std::string>& ports, bool statusLines)
      : out_(out), err_(err), ports_(ports), status_(ports.size()), finished_(ports.size()), statusLines_(statusLines) {}

  void outLine(const std::string& line) { write(out_, line); }
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
  void write(std::ostream& stream, const std::string& line) {
    std::lock_guard lock(mutex_);
    clearStatus();
    stream << line << '\n';
    stream.flush();
    drawStatus();
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
  const std::vector<std::string>& ports_;
  std::vector<BoardStatus> status_;
  std::vector<std::string> finished_;
  bool statusLines_;
  std::size_t drawn_ = 0;
  std::chrono::steady_clock::time_point drawnAt_{};
};

// A board's stream: each complete line goes to the shared lines with the board's port in
// it ("velkorn-cli: COM2: ..." on stderr, "COM2: ..." on stdout).
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
    if (afterProgramName_ && line_.rfind(program, 0) == 0) {
      sink_(program + port_ + ": " + line_.substr(program.size()));
    } else {
      sink_(port_ + ": " + line_);
    }
    line_.clear();
  }

  std::function<void(const std::string&)> sink_;
  std::string port_;
  bool afterProgramName_;
  std::string line_;
};

int usageError(std::ostream& err, const std::string& what) {
  err << kStderrPrefix << what << " (velkorn-cli --help lists the options)\n";
  return kExitUsage;
}

int runSeveral(const Options& options, const std::vector<std::string>& ports, std::ostream& out, std::ostream& err,
               bool errIsTerminal) {
  BoardLines lines(out, err, ports, errIsTerminal && !options.quiet);
  std::vector<BoardResult> results(ports.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    threads.emplace_back([&, i] {
      PrefixingBuffer outBuffer([&](const std::string& l) { lines.outLine(l); }, ports[i], false);
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
      lines.finish(i, results[i]);
      if (options.json) lines.outLine(jsonLine(o, results[i]));
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

std::vector<std::string> boardPorts(const Options& options) {
  std::vector<std::string> ports;
  for (const std::string& given : options.ports) {
    for (const std::string& p : splitList(given)) ports.push_back(p);
  }
  if (ports.empty()) {
    if (const char* env = std::getenv("VELKORN_PORT"); env && *env) ports = splitList(env);
  }
  if (ports.empty()) ports.push_back("COM1");
  return ports;
}

int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  if (options.command == Command::Ports) return listPortsCommand(options, out, err);
  const std::vector<std::string> ports = boardPorts(options);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (portIdentity(ports[i]) == portIdentity(ports[j])) {
        return usageError(err, "the port " + shortName(ports[i]) +
                                   (ports[i] == ports[j] ? "" : " (the same as " + shortName(ports[j]) + ")") +
                                   " is given twice");
      }
    }
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
    std::string why;
    if (link::isNetworkPort(port) && !link::parseNetAddress(port, &why)) return usageError(err, why);
  }
  if (ports.size() > 1 && options.command == Command::Read && options.file.find(kPortPlaceholder) == std::string::npos) {
    return usageError(err, "read with several ports needs {port} in the output file's name");
  }
  if (options.command == Command::Monitor || options.monitor) {
    if (options.loop) return usageError(err, "--monitor watches one board; --loop takes board after board");
    if (ports.size() > 1) return usageError(err, "the monitor watches one port, not " + std::to_string(ports.size()));
    if (options.command == Command::Monitor) return monitorCommand(options, ports.front(), out, err);
  }
  if (options.loop) return runProductionLoop(options, ports, out, err, errIsTerminal);
  if (ports.size() > 1) return runSeveral(options, ports, out, err, errIsTerminal);
  const BoardResult result = runBoard(options, ports.front(), out, err, BoardView{errIsTerminal, {}});
  if (options.json) {
    out << jsonLine(options, result) << '\n';
    out.flush();
    // The object is the result: one that never arrived is no success.
    if (!out.good() && result.exit == kExitDone) {
      err << kStderrPrefix << "cannot write the result to stdout\n";
      return kExitChipFailed;
    }
  }
  return result.exit;
}

}  // namespace velkorn::cli
