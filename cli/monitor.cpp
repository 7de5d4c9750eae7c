#include "cli/monitor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>
#include <ostream>
#include <utility>

#include "cli/console.h"
#include "cli/outcome_report.h"
#include "cli/platform.h"
#include "cli/terminal_operator.h"
#include "isp/records.h"
#include "link/modem_lines.h"
#include "link/net_address.h"
#include "link/network_link.h"
#include "link/port_list.h"
#include "link/port_names.h"
#include "link/serial_link.h"
#include "link/serial_port.h"

namespace velkorn::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What one turn of the loop takes from the port before it looks at the keys again: a board
// that streams without a pause must not lock the keyboard (Ctrl+] included) out.
constexpr std::size_t kReceiveSliceBytes = 4096;
constexpr milliseconds kReceiveSliceTime{50};
// How often a port that went away is looked for again (--reconnect).
constexpr milliseconds kReconnectPause{500};
// After the end of stdin, what the board still sends is shown until the line has been quiet
// this long, or at most this long: the answer to the last line of a pipe is worth seeing.
constexpr milliseconds kLingerQuiet{200};
constexpr milliseconds kLingerMost{2000};

bool printableByte(unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t'; }

// The log: appended to, never replaced; only a regular file or a new one (a link could aim
// the copy at any file, a device would take it somewhere else entirely).
class LogFile {
 public:
  bool open(const std::string& name, std::string* why) {
    namespace fs = std::filesystem;
    name_ = name;
    const fs::path path(std::u8string(name.begin(), name.end()));
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      *why = shortName(name) + " is " +
             (fs::is_symlink(status) ? "a symbolic link" : fs::is_directory(status) ? "a directory" : "not a regular file") +
             "; the log is written to a regular file only";
      return false;
    }
    file_.open(path, std::ios::binary | std::ios::app);
    if (!file_) {
      *why = "cannot open the log " + shortName(name) + " for appending";
      return false;
    }
    return true;
  }
  bool isOpen() const { return file_.is_open(); }
  // One line (or several) at a time, flushed at once: a crash loses at most the line in
  // progress.
  bool write(const std::string& text) {
    if (!file_.is_open() || text.empty()) return true;
    file_.write(text.data(), static_cast<std::streamsize>(text.size()));
    file_.flush();
    return static_cast<bool>(file_);
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::ofstream file_;
};

// The port by its name, opened (again) at the monitor's rate: a device, COMn, usb:SERIAL (looked
// up at each open, so an adapter plugged in again is found wherever it lands), tcp:// or
// rfc2217://.
class MonitorPort {
 public:
  MonitorPort(std::string name, int rate) : name_(std::move(name)), rate_(rate) {}

  // Null with `why` set when it cannot be opened now.
  isp::Link* open(std::string* why, const std::function<void(const std::string&)>& say) {
    close();
    if (link::isNetworkPort(name_)) return openNetwork(why, say);
    const Result<std::string> found = devicePath();
    const std::string path = found.valueOr({});
    if (path.empty()) {
      *why = !found ? found.message() : "no serial device is known as " + shortName(name_);
      return nullptr;
    }
    shown_ = shownAs(path);
    if (const Status opened = port_.open(path); !opened) {
      *why = "cannot open " + shown_ + ": " + opened.message();
      return nullptr;
    }
    if (const Status rate = port_.setBaudRate(rate_); !rate) {
      *why = "cannot set " + shown_ + " to " + std::to_string(rate_) + " bit/s: " + rate.message();
      port_.close();
      return nullptr;
    }
    return &serial_;
  }
  void close() {
    port_.close();
    network_.reset();
  }
  Status setModemLine(link::ModemLine line, bool high) {
    return network_ ? network_->setModemLine(line, high) : port_.setModemLine(line, high);
  }
  // The port as messages name it: COM1 (/dev/ttyUSB0).
  const std::string& shown() const { return shown_; }
  // ... for a port that another part of the command opened.
  void describe() {
    if (link::isNetworkPort(name_)) {
      shown_ = shortName(name_);
      return;
    }
    const std::string path = devicePath().valueOr({});
    shown_ = path.empty() ? shortName(name_) : shownAs(path);
  }

 private:
  // The device a COM name, a by-id name or usb:SERIAL stands for; empty when none is known.
  Result<std::string> devicePath() const {
    if (name_.rfind(link::kUsbPortScheme, 0) == 0) return link::usbSerialDevice(name_.substr(4));
    return link::resolvePortName(name_);
  }

  // COM3 (/dev/ttyUSB0): the device a COMn link or a by-id name stands for.
  std::string shownAs(const std::string& path) const {
    std::error_code ec;
    const std::filesystem::path device = std::filesystem::canonical(path, ec);
    const std::string shownPath = ec ? path : device.string();
    return shownPath == name_ ? shortName(name_) : shortName(name_) + " (" + shortName(shownPath) + ")";
  }

  isp::Link* openNetwork(std::string* why, const std::function<void(const std::string&)>& say) {
    shown_ = shortName(name_);
    auto opened = link::openNetworkLink(name_);
    if (!opened) {
      *why = "cannot open " + shown_ + ": " + opened.message();
      return nullptr;
    }
    network_ = std::move(*opened);
    if (link::rateRefused(network_->setBaudRate(rate_))) {
      *why = "cannot set " + shown_ + " to " + std::to_string(rate_) + " bit/s: " + network_->note();
      network_.reset();
      return nullptr;
    }
    if (!network_->capabilities().setRate && rate_ != isp::kBootloaderBaud &&
        !std::exchange(rawRateSaid_, true)) {
      say("over a raw TCP link the rate is the server's: its port must run at " + std::to_string(rate_) +
          " bit/s (rfc2217:// sets it)");
    }
    return network_.get();
  }

  const std::string name_;
  const int rate_;
  std::string shown_;
  bool rawRateSaid_ = false;
  link::SerialPort port_;
  link::SerialLink serial_{port_};
  std::unique_ptr<link::NetworkLink> network_;
};

class Monitor {
 public:
  Monitor(const Options& options, const std::string& port, const OpenLine& handed, std::ostream& out,
          const std::function<void(const std::string&)>& say)
      : options_(options),
        name_(port),
        port_(port, options.command == Command::Monitor ? options.baud : options.monitorBaud),
        line_(handed.line),
        handed_(handed.line != nullptr),
        release_(handed.release),
        out_(out),
        say_(say),
        onTerminal_(stdoutIsTerminal()),
        text_(options.timestamps, onTerminal_) {}

  int run() {
    if (!options_.logFile.empty()) {
      std::string why;
      if (!log_.open(options_.logFile, &why)) {
        say_(why);
        return kExitUsage;
      }
    }
    // The shown name of a handed line: the port as opened by the command before.
    if (line_) {
      port_.describe();
      shown_ = port_.shown();
    } else if (!openPort(true)) {
      return kExitNoTarget;
    }
    if (line_ && !handed_) {
      runSteps(options_.resetSteps, "reset");
      runSteps(options_.runSteps, "run");
    }
    Console console;
    // The board's bytes as they come: CR LF must not become CR CR LF on Windows.
    platform::binaryStdout();
    if (!options_.quiet) {
      say_("monitor on " + shown_ + (line_ ? "" : " (not there yet)") + " at " + std::to_string(rate()) + " bit/s" +
           (console.keyboard() ? "; Ctrl+] ends" : ""));
    }
    start_ = Clock::now();
    loop(console);
    std::string screen;
    if (onTerminal_ && text_.midLine()) text_.breakLine(screen);
    show(screen, text_.takePartialLogLine());
    if (release_) release_();
    port_.close();
    return status_;
  }

 private:
  int rate() const { return options_.command == Command::Monitor ? options_.baud : options_.monitorBaud; }

  // DTR and RTS as the board's reset circuit wants them, before the first byte is watched.
  void runSteps(const std::vector<link::ModemStep>& steps, const std::string& what) {
    bool refusalSaid = false;
    for (const link::ModemStep& step : steps) {
      if (step.kind == link::ModemStep::Wait) {
        // In slices: SIGINT and SIGTERM end a long wait at once.
        const auto until = Clock::now() + milliseconds(step.waitMs);
        while (!TerminalOperator::interrupted && Clock::now() < until) {
          std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), kReceiveSliceTime));
        }
        continue;
      }
      const Status set = port_.setModemLine(step.line, step.high);
      if (!set && !std::exchange(refusalSaid, true)) {
        say_(shown_ + " does not take " + link::describe(step) + " (" + set.message() + "): the " + what +
             " sequence has no effect there");
      }
    }
  }

  // Opens the port by its name; false when it is not there. At the start without
  // --reconnect that ends the monitor; with it, the monitor waits for the port.
  bool openPort(bool first) {
    std::string why;
    line_ = port_.open(&why, say_);
    if (line_) {
      shown_ = port_.shown();
      return true;
    }
    if (first && !options_.reconnect) {
      say_(why);
      return false;
    }
    // Said once per absence: the reason can change while waiting (a link to nowhere, then
    // a port still held by its old user), but one line is enough to know why.
    if (shown_.empty()) shown_ = port_.shown().empty() ? shortName(name_) : port_.shown();
    if (first || !waitSaid_) say_(why + (first ? "; waiting for it (--reconnect)" : ""));
    waitSaid_ = true;
    return first;
  }

  void loop(Console& console) {
    bool inputOpen = true;
    Clock::time_point inputEnded{}, lastByte{};
    Clock::time_point nextAttempt = Clock::now() + kReconnectPause;
    while (!TerminalOperator::interrupted && status_ == kExitDone) {
      // While the port is away a pipe's bytes wait in the pipe, to be sent when it is back;
      // a keyboard is still read, for Ctrl+].
      if (inputOpen && !line_ && !console.keyboard()) {
        std::this_thread::sleep_for(kReceiveSliceTime);
      } else if (inputOpen) {
        std::string keys;
        // While the port is away the keys are all there is to wait for.
        switch (console.read(keys, line_ ? milliseconds(0) : kReceiveSliceTime)) {
          case Console::Input::Nothing: break;
          case Console::Input::Bytes: {
            const auto end = console.keyboard() ? keys.find(kMonitorEndKey) : std::string::npos;
            if (end != std::string::npos) keys.resize(end);
            send(keys);
            if (end != std::string::npos) return;
            break;
          }
          case Console::Input::Failed:
            say_("cannot read stdin: " + console.why());
            [[fallthrough]];
          case Console::Input::Ended:
            inputOpen = false;
            inputEnded = lastByte = Clock::now();
            break;
        }
      }
      if (!inputOpen) {
        const auto now = Clock::now();
        if (!line_ || now - lastByte >= kLingerQuiet || now - inputEnded >= kLingerMost) return;
      }
      if (!line_) {
        if (!inputOpen) return;
        if (Clock::now() < nextAttempt) continue;
        nextAttempt = Clock::now() + kReconnectPause;
        if (openPort(false)) {
          waitSaid_ = keysDroppedSaid_ = false;
          say_(shown_ + " is back");
        }
        continue;
      }
      if (receive()) lastByte = Clock::now();
    }
  }

  void send(const std::string& keys) {
    if (keys.empty()) return;
    if (!line_) {
      if (!std::exchange(keysDroppedSaid_, true)) say_("the port is away: keys typed now are not sent");
      return;
    }
    if (const Status sent = line_->writeBytes(keys); !sent) lost(sent.message());
  }

  // Shows what the port has; true when something came.
  bool receive() {
    std::string bytes;
    const auto sliceEnd = Clock::now() + kReceiveSliceTime;
    std::optional<Error> failed;
    while (bytes.size() < kReceiveSliceBytes) {
      const Result<isp::LinkRead> r = line_->readByte();
      if (!r) {
        failed = r.error();
        break;
      }
      if (r->count == 0) break;
      bytes += static_cast<char>(r->byte);
      if (Clock::now() >= sliceEnd) break;
    }
    if (!bytes.empty()) {
      std::string screen, log;
      text_.add(bytes, std::chrono::duration<double>(Clock::now() - start_).count(), screen, log);
      show(screen, log);
    }
    if (failed) lost(failed->message);
    return !bytes.empty();
  }

  void show(const std::string& screen, const std::string& log) {
    if (!screen.empty()) {
      out_ << screen;
      out_.flush();
      if (!out_ && status_ == kExitDone) {
        say_("stdout cannot be written: the monitor ends");
        status_ = kExitChipFailed;
      }
    }
    if (!log_.write(log) && status_ == kExitDone) {
      say_("cannot write the log " + shortName(log_.name()) + ": the monitor ends");
      status_ = kExitChipFailed;
    }
  }

  // The port went away: an adapter pulled, a target or a network server gone.
  void lost(const std::string& reason) {
    std::string screen;
    if (onTerminal_ && text_.midLine()) text_.breakLine(screen);
    show(screen, {});
    say_(shown_ + " went away" + (reason.empty() ? std::string() : ": " + reason) +
         (options_.reconnect ? "; waiting for it to come back" : ""));
    if (release_) std::exchange(release_, nullptr)();
    port_.close();
    line_ = nullptr;
    waitSaid_ = true;
    if (!options_.reconnect) status_ = kExitChipFailed;
  }

  const Options& options_;
  const std::string name_;
  MonitorPort port_;
  isp::Link* line_;
  const bool handed_;
  std::function<void()> release_;
  std::ostream& out_;
  const std::function<void(const std::string&)>& say_;
  const bool onTerminal_;
  ReceivedText text_;
  LogFile log_;
  std::string shown_;
  Clock::time_point start_{};
  int status_ = kExitDone;
  bool waitSaid_ = false;
  bool keysDroppedSaid_ = false;
};

}  // namespace

std::string timeStamp(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "[%9.3f] ", seconds);
  return text;
}

void ReceivedText::add(std::string_view bytes, double seconds, std::string& screen, std::string& log) {
  for (const char byte : bytes) {
    if (atLineStart_ && timestamps_) {
      const std::string stamp = timeStamp(seconds);
      screen += stamp;
      logLine_ += stamp;
    }
    atLineStart_ = byte == '\n';
    logLine_ += byte;
    if (byte == '\n') {
      log += logLine_;
      logLine_.clear();
    }
    const auto c = static_cast<unsigned char>(byte);
    if (!escapes_ || printableByte(c)) {
      screen += byte;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      screen += hex;
    }
  }
}

void ReceivedText::breakLine(std::string& screen) {
  if (atLineStart_) return;
  screen += '\n';
  atLineStart_ = true;
  // The log keeps the bytes as they came: its line goes on where it was.
}

std::string ReceivedText::takePartialLogLine() { return std::exchange(logLine_, {}); }

int runMonitor(const Options& options, const std::string& port, const OpenLine& handed, std::ostream& out,
               const std::function<void(const std::string&)>& say) {
  Monitor monitor(options, port, handed, out, say);
  return monitor.run();
}

int monitorCommand(const Options& options, const std::string& port, std::ostream& out, std::ostream& err) {
  const std::function<void(const std::string&)> say = [&err](const std::string& line) {
    err << kStderrPrefix << printable(line) << '\n';
    err.flush();
  };
  return runMonitor(options, port, {}, out, say);
}

}  // namespace velkorn::cli
