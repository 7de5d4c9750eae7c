#include "cli/commands.h"

#include <chrono>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "cli/binary_image.h"
#include "cli/board.h"
#include "cli/image_diff.h"
#include "cli/outcome_report.h"
#include "cli/platform.h"
#include "cli/terminal_operator.h"
#include "file/atomic_file.h"
#include "image/hex_writer.h"
#include "isp/clock.h"
#include "isp/device_facts.h"
#include "isp/engine.h"
#include "isp/records.h"
#include "link/com_name.h"
#include "link/forwarding_link.h"
#include "link/modem_lines.h"
#include "link/network_link.h"
#include "link/port_list.h"
#include "link/port_names.h"
#include "link/serial_link.h"
#include "link/serial_port.h"

namespace velkorn::cli {
namespace {

namespace fs = std::filesystem;

// The device information as --json gives it: the values as the bootloader sent them.
JsonObject deviceJson(const isp::DeviceInfo& d, int chipSize) {
  const std::string state = isp::deviceNote(isp::DeviceField::BSB, d.bsb);
  JsonObject device;
  device.add("manufacturer", d.manu).add("family", d.devFam).add("memory", d.mem).add("product", d.product)
      .add("bsb", d.bsb).add("sbv", d.sbv).add("hsb", d.hsb).add("bootloader", d.bversion)
      .add("lock0", d.lock0).add("lock1", d.lock1).add("chip_size", chipSize).add("state", state)
      .add("known", d.known);
  return device;
}

// The status bar's right-hand panel after a device-information read: the boot status
// byte's state, else the 32 KiB note, else nothing.
std::string statePanel(const isp::DeviceInfo& d) {
  const std::string state = isp::deviceNote(isp::DeviceField::BSB, d.bsb);
  return state.empty() ? isp::deviceNote(isp::DeviceField::Mem, d.mem) : state;
}

// What kind of thing a path names, in words for a refusal; empty for a regular file.
std::string notRegular(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::regular: return {};
    case fs::file_type::symlink: return "a symbolic link";
    case fs::file_type::directory: return "a directory";
    case fs::file_type::block:
    case fs::file_type::character: return "a device";
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::socket: return "a socket";
    default: return "not a regular file";
  }
}

// Whether `path` may be written: free, or (with `overwrite`) a regular file. Symbolic links,
// devices and the like are never replaced: a rename would put a file where they were.
bool mayWrite(const std::string& path, bool overwrite, std::string* why) {
  std::error_code ec;
  // Names are UTF-8 (on Windows too, where the path turns them into UTF-16).
  const fs::file_status status = fs::symlink_status(fs::path(std::u8string(path.begin(), path.end())), ec);
  if (!fs::exists(status)) return true;
  if (!overwrite) {
    *why = "the file exists (use --force to overwrite it)";
    return false;
  }
  if (const std::string kind = notRegular(status); !kind.empty()) {
    *why = kind + ", which --force does not replace (only a regular file)";
    return false;
  }
  return true;
}

// Writes next to the destination first (a failed write never leaves half a file under the
// name); the destination is checked again right before the rename.
bool writeFileAtomically(const std::string& path, const std::string& text, bool overwrite, std::string* why) {
  const auto check = [&](std::string* reason) { return mayWrite(path, overwrite, reason); };
  // Without --force a file that appeared meanwhile is refused; with it, the regular file just
  // checked is replaced.
  switch (file::writeFileAtomically(path, text, overwrite, why, check)) {
    case file::Placed::Done: return true;
    case file::Placed::Exists: *why = "the file exists (use --force to overwrite it)"; return false;
    case file::Placed::NotRegular:
      *why = "something that is not a regular file took its place; --force does not replace it";
      return false;
    case file::Placed::Failed: break;
  }
  return false;
}

class Session {
 public:
  Session(const Options& o, const std::string& port, std::ostream& out, std::ostream& err, const BoardView& view)
      : options_(o),
        portName_(port),
        out_(out),
        op_(OperatorSettings{o.retries, std::chrono::seconds(o.syncTimeoutS), o.quiet, o.verbose, view.progressBar,
                             isp::BootChoice{o.lock0, o.lock1, o.bljb}},
            err),
        link_(port_),
        line_(link_),
        engine_(line_, op_, op_, op_, clock_) {
    if (view.onStatus) {
      op_.onStatus = [show = view.onStatus](const std::string& phase, int percent, const std::string& timeLeft) {
        show(BoardStatus{phase, percent, timeLeft});
      };
    }
    op_.currentRecord = [this] { return engine_.lastRecord(); };
    op_.onInterrupt = [this] { engine_.downloadAbort.raise(); };
    op_.lineFailed = [this] { return line_.writeFailed(); };
    engine_.bootloaderRate = o.baud;
    link_.onRate = [this](int, link::RateResult result) {
      if (result == link::RateResult::Refused) op_.showNotice("SetCommState failed");
    };
  }

  BoardResult run() {
    const auto start = std::chrono::steady_clock::now();
    result_.port = portName_;
    try {
      result_.exit = dispatch();
      // The programmed application starts when the run sequence releases the reset.
      if (result_.exit == kExitDone && !options_.runSteps.empty() && !runSteps(options_.runSteps, "run")) {
        result_.exit = interruptedAt("the run sequence");
      }
    } catch (const std::exception& e) {
      say(std::string("internal error: ") + e.what());
      result_.exit = kExitChipFailed;
    }
    // A failure that no outcome describes: the port, the output file, the options.
    if (result_.outcome.empty()) {
      result_.outcome = result_.exit == kExitDone       ? "done"
                        : result_.exit == kExitNoTarget ? "port-error"
                        : result_.exit == kExitUsage    ? "file-error"
                                                        : "aborted";
    }
    if (result_.exit != kExitDone && result_.message.empty()) result_.message = joined(said_);
    result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::move(result_);
  }

 private:
  int dispatch() {
    switch (options_.command) {
      case Command::Info: return info();
      case Command::Program: return program();
      case Command::Verify: return verify();
      case Command::Diff: return diff();
      case Command::Read: return read();
      case Command::Erase: return erase();
      case Command::Boot: return boot();
      case Command::Ports:
      case Command::None: break;
    }
    return kExitUsage;
  }

  // Opens the port and runs the reset sequence; on failure says why and returns the exit
  // status.
  std::optional<int> openPort() {
    // Ctrl+C before the line is open: nothing was sent, the port is as it was.
    if (TerminalOperator::interrupted) {
      interruptedAt("opening the port");
      return kExitNoTarget;
    }
    if (const auto failed = openLine()) {
      if (TerminalOperator::interrupted) result_.outcome = "aborted";
      return failed;
    }
    if (!runSteps(options_.resetSteps, "reset")) return interruptedAt("the reset sequence");
    return std::nullopt;
  }

  // Ctrl+C or SIGTERM ended the command outside the engine: said once; the exit status for
  // a line that is open.
  int interruptedAt(const std::string& where) {
    result_.outcome = "aborted";
    say("interrupted during " + where + "; nothing more was sent");
    return kExitChipFailed;
  }

  // A wait of a modem-line sequence, in slices, so that Ctrl+C and SIGTERM end it within
  // one slice. False when they did.
  bool pauseMs(int ms) {
    constexpr int kSliceMs = 50;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!TerminalOperator::interrupted) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) return true;
      clock_.sleepMs(static_cast<int>(std::min<long long>(left, kSliceMs)));
    }
    return false;
  }

  // DTR and RTS as a board's reset circuit wants them: on a serial port by the driver, over
  // rfc2217:// by the server. A port without modem lines (a pseudo-terminal) is said once,
  // and the command goes on.
  // False when Ctrl+C or SIGTERM ended the sequence: no step after it was taken.
  bool runSteps(const std::vector<link::ModemStep>& steps, const std::string& what) {
    bool refusalSaid = false;
    for (const link::ModemStep& step : steps) {
      if (TerminalOperator::interrupted) return false;
      op_.debugLog(what + ": " + link::describe(step));
      if (step.kind == link::ModemStep::Wait) {
        if (!pauseMs(step.waitMs)) return false;
        continue;
      }
      std::string why;
      const bool set = network_ ? network_->setModemLine(step.line, step.high, &why)
                                : port_.setModemLine(step.line, step.high, &why);
      if (!set && !std::exchange(refusalSaid, true)) {
        say(shortName(portName_) + " does not take " + link::describe(step) + " (" + why + "): the " + what +
            " sequence has no effect there");
      }
    }
    return !TerminalOperator::interrupted;
  }

  std::optional<int> openLine() {
    if (isNetworkPort(portName_)) return openNetworkPort();
    std::string usbWhy;
    const bool byUsbSerial = portName_.rfind(link::kUsbPortScheme, 0) == 0;
    const std::string path = byUsbSerial ? link::usbSerialDevice(portName_.substr(4), &usbWhy)
                                         : link::resolvePortName(portName_);
    const int com = link::comNumber(portName_);
    const std::string what = com > 0 ? "Can not open COM " + std::to_string(com) : "Can not open " + shortName(portName_);
    std::string reason;
    if (path.empty()) {
      reason = byUsbSerial ? usbWhy : "no serial device is known as " + shortName(portName_);
    } else if (port_.open(path, &reason)) {
      op_.debugLog("Port " + path);
      op_.debugLog(port_.lowLatencyNote());
      // The rate is tried before anything is sent: a port that cannot run at it would only
      // show up as a target that never synchronises.
      if (port_.setBaudRate(options_.baud)) return std::nullopt;
      say("Can not set " + portName_ + " to " + std::to_string(options_.baud) + " bit/s");
      say(path + ": " + port_.lastError());
      return kExitNoTarget;
    } else {
      reason = path + ": " + reason;
    }
    say(what);
    say(reason);
    return kExitNoTarget;
  }

  static bool isNetworkPort(const std::string& name) { return link::isNetworkPort(name); }

  // A network serial server: raw TCP, or RFC 2217 with the line set as on a local port.
  std::optional<int> openNetworkPort() {
    std::string reason;
    link::NetworkLimits limits;
    limits.connect.stop = &TerminalOperator::interrupted;  // Ctrl+C ends the look-up and the connect
    network_ = link::openNetworkLink(portName_, &reason, limits);
    if (!network_) {
      say("Can not open " + portName_);
      say(reason);
      return kExitNoTarget;
    }
    line_.use(*network_);
    op_.debugLog("Port " + portName_ + ": " + network_->note());
    network_->setBaudRate(options_.baud);
    op_.debugLog(network_->note());
    if (network_->lastRate() == link::RateResult::Refused) {
      say("Can not set " + portName_ + " to " + std::to_string(options_.baud) + " bit/s");
      say(network_->note());
      return kExitNoTarget;
    }
    // Said once a run: each synchronisation sets the rate again, and a raw link ignores it.
    if (network_->address().scheme == link::NetScheme::Tcp && options_.baud != isp::kBootloaderBaud) {
      say("over a raw TCP link the rate is the server's: its port must run at " + std::to_string(options_.baud) +
              " bit/s (rfc2217:// sets it)");
    }
    network_->onRate = [this](int, link::RateResult result) {
      op_.debugLog(network_->note());
      if (result == link::RateResult::Refused) op_.showNotice("SetCommState failed");
    };
    return std::nullopt;
  }

  // The HEX file is loaded before the port is touched: a bad file changes nothing.
  std::optional<int> loadFile() {
    engine_.hexFileName = options_.file;
    if (binaryFile()) {
      MemoryImages& images = engine_.images();
      int bytes = 0;
      if (const auto why = loadBinaryImage(options_.file, options_.address, images.fileImage, &bytes)) {
        say("cannot load " + shortName(options_.file) + ": " + *why);
        result_.outcome = "file-error";
        return kExitUsage;
      }
      images.fileLoaded = true;
      images.hexLineCount = bytes / 16 + 2;  // the progress total, as a HEX file of 16-byte lines
      return std::nullopt;
    }
    const isp::Outcome loaded = engine_.loadHexFile(isp::Asking::Never);
    // The loader stops at a NUL byte, as the window's does; the person should know that the
    // rest of the file was not read.
    if (loaded.nulAt >= 0) {
      say(shortName(options_.file) + ": a NUL byte at offset " + std::to_string(loaded.nulAt) +
              " ends the file; nothing after it was loaded");
    }
    if (loaded.done()) return std::nullopt;
    report(loaded);
    return kExitUsage;
  }

  // Says what failed, from the outcome; returns the exit status.
  int report(const isp::Outcome& outcome) {
    const ReportContext context{commandName(), options_.file, portName_, options_.syncTimeoutS,
                                TerminalOperator::interrupted};
    const std::vector<std::string> lines = failureLines(outcome, context);
    for (const std::string& line : lines) op_.say(line);
    op_.finishLine();
    result_.outcome = outcomeName(outcome);
    result_.message = joined(lines);
    if (outcome.kind == isp::OutcomeKind::Mismatch &&
        (options_.command == Command::Program || options_.command == Command::Verify)) {
      result_.fields.add("address", outcome.address);
    }
    return exitStatus(outcome);
  }

  // A line on stderr that may say why the command failed.
  void say(const std::string& text) {
    said_.push_back(text);
    op_.say(text);
  }

  static std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "; ") + printable(line);
    return text;
  }

  static const char* outcomeName(const isp::Outcome& outcome) {
    switch (outcome.kind) {
      case isp::OutcomeKind::Done: return "done";
      case isp::OutcomeKind::Refused: return "refused";
      case isp::OutcomeKind::Mismatch: return "mismatch";
      case isp::OutcomeKind::NotVerified: return "not-verified";
      case isp::OutcomeKind::Aborted: return "aborted";
      case isp::OutcomeKind::NoSync: return "no-sync";
      case isp::OutcomeKind::LinkLost: return "link-lost";
      case isp::OutcomeKind::FileError: return "file-error";
      case isp::OutcomeKind::BadAnswer: return "bad-answer";
    }
    return "aborted";
  }

  std::string commandName() const {
    switch (options_.command) {
      case Command::Info: return "info";
      case Command::Program: return "program";
      case Command::Verify: return "verify";
      case Command::Diff: return "diff";
      case Command::Read: return "read";
      case Command::Erase: return "erase";
      case Command::Boot: return "boot";
      case Command::Ports: return "ports";
      case Command::None: break;
    }
    return {};
  }

  // A success line on stdout, for scripts and logs (with --json, stdout holds the object).
  int result(const std::string& line) {
    result_.outcome = "done";
    // `read -` gives stdout to the file: its result line goes with the messages.
    if (toStdout()) {
      if (!options_.quiet) say(line);
      return kExitDone;
    }
    if (!options_.quiet && !options_.json) {
      op_.finishLine();
      out_ << printable(line) << '\n';  // it names the file: shown as every name is
      out_.flush();
    }
    return kExitDone;
  }

  // File data that the command leaves out: past the chip's size, and (program, verify)
  // the bootloader's area, which the read-back does not compare.
  void noteLeftOut(const char* bootAreaNote) {
    const MemoryImages& images = engine_.images();
    if (bootAreaNote) {
      // The whole-chip read-back compares up to 0xFC00 whatever the chip's size; reading
      // only the data stops 1 KiB below the chip's end.
      const int limit = options_.fullVerify ? isp::kCompareBelow : isp::comparisonLimit(images.chipSize);
      if (const auto at = firstDataAt(images.fileImage, limit, images.chipSize)) {
        say(options_.file + " holds data at " + hexAddress(limit) + " and above (from " +
                hexAddress(*at) + "): " + bootAreaNote);
      }
    }
    if (const auto at = firstDataAt(images.fileImage, images.chipSize, kImageSize)) {
      say(options_.file + " holds data from " + hexAddress(*at) + " on, beyond the chip's size of " +
              hexAddress(images.chipSize) + " bytes: left out");
    }
  }

  int info() {
    if (const auto failed = openPort()) return *failed;
    // Scripts take these values for the chip's: each one must be an answer that came twice.
    engine_.infoCheck = isp::Engine::InfoCheck::Confirmed;
    const isp::Outcome synced = engine_.sync();
    if (!synced.done()) return report(synced);
    op_.finishLine();
    const isp::DeviceInfo& d = engine_.device();
    const struct {
      const char* caption;
      const std::string& value;
    } rows[] = {
        {"Manufactor Id", d.manu},        {"Device family", d.devFam},
        {"Mem size/type", d.mem},         {"Product Id", d.product},
        {"Status(BSB)", d.bsb},           {"Vector(SBV)", d.sbv},
        {"HW security (HSB)", d.hsb},     {"Bootloader version", d.bversion},
    };
    result_.fields.add("device", deviceJson(d, engine_.images().chipSize));
    if (options_.json) return kExitDone;
    for (const auto& row : rows) out_ << row.caption << ": " << printable(row.value) << '\n';
    out_ << "Lock Erase, Prog.: " << (d.lock0 ? "yes" : "no") << '\n';
    out_ << "Lock Erase, Prog., Read, Blank Check: " << (d.lock1 ? "yes" : "no") << '\n';
    out_ << "Chip size: " << hexAddress(engine_.images().chipSize) << '\n';
    if (const std::string state = statePanel(d); !state.empty()) out_ << "State: " << state << '\n';
    out_.flush();
    return kExitDone;
  }

  // As Reload: no question on a chip that is not blank; the security and boot bytes are the
  // command line's choice, not the chip's old state.
  int program() {
    result_.fields.add("file", options_.file);
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome programmed = engine_.program(isp::Asking::Never, verification());
    if (!programmed.done()) return report(programmed);
    noteLeftOut("those addresses were programmed but not compared");
    return result("Programmed and verified " + options_.file);
  }

  int verify() {
    result_.fields.add("file", options_.file);
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome verified = engine_.verify(isp::Asking::Never, verification());
    if (!verified.done()) return report(verified);
    noteLeftOut("those addresses were not compared");
    return result("Matched OK!!!");
  }

  // Read answers carry no checksum: unless told otherwise, every block is read until two
  // answers agree.
  // The blank checks find what need not be read at all.
  isp::ReadCheck readCheck() const { return {!options_.singleRead, options_.retries, true}; }

  // Every byte below the comparison limit is compared either way; by default only the
  // blocks that hold file data are read, and the bootloader vouches for the erased rest.
  isp::Verification verification() const {
    return options_.fullVerify ? isp::Verification::WholeChip : isp::Verification::DataOnly;
  }

  // Every address up to the chip size, the bootloader's area included, every range listed.
  int diff() {
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome read = engine_.readChip(readCheck());
    if (!read.done()) return report(read);
    const MemoryImages& images = engine_.images();
    noteLeftOut(nullptr);
    const std::vector<std::string> ranges = differingRanges(images.fileImage, images.chipImage, images.chipSize);
    result_.fields.add("ranges", differingRuns(images.fileImage, images.chipImage, images.chipSize));
    if (ranges.empty()) return result("The chip matches " + options_.file);
    op_.finishLine();
    if (!options_.json) {
      for (const std::string& range : ranges) out_ << range << '\n';
      out_.flush();
    }
    result_.outcome = "mismatch";
    say("the chip differs from " + options_.file + " in " + std::to_string(ranges.size()) +
            (ranges.size() == 1 ? " range" : " ranges"));
    return kExitChipFailed;
  }

  bool binaryFile() const { return options_.binary || isBinaryName(options_.file); }
  bool toStdout() const { return options_.command == Command::Read && options_.file == "-"; }

  // What read writes: Intel HEX, or the chip's bytes from 0 to its size.
  std::string chipFileText() {
    const MemoryImages& images = engine_.images();
    if (!binaryFile()) return writeIntelHex(images.chipImage.data(), images.chipSize);
    return std::string(reinterpret_cast<const char*>(images.chipImage.data()),
                       static_cast<std::size_t>(std::clamp(images.chipSize, 0, kImageSize)));
  }

  int read() {
    result_.fields.add("file", options_.file);
    if (toStdout()) {
      if (const auto failed = openPort()) return *failed;
      const isp::Outcome read = engine_.readChip(readCheck());
      if (!read.done()) return report(read);
      op_.finishLine();
      platform::binaryStdout();
      out_ << chipFileText();
      out_.flush();
      result_.fields.add("bytes", engine_.images().chipSize);
      return result("Read " + std::to_string(engine_.images().chipSize) + " bytes");
    }
    // Checked before the chip is read, so a refusal costs no read.
    if (std::string why; !mayWrite(options_.file, options_.force, &why)) {
      say(shortName(options_.file) + ": " + why);
      return kExitUsage;
    }
    if (const auto problem = file::outputProblem(options_.file)) {
      say("cannot write " + shortName(options_.file) + ": " + *problem);
      return kExitUsage;
    }
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome read = engine_.readChip(readCheck());
    if (!read.done()) return report(read);
    const MemoryImages& images = engine_.images();
    std::string why;
    if (!writeFileAtomically(options_.file, chipFileText(), options_.force, &why)) {
      say(shortName(options_.file) + ": " + why);
      return kExitUsage;
    }
    result_.fields.add("bytes", images.chipSize);
    return result("Read " + std::to_string(images.chipSize) + " bytes into " + options_.file);
  }

  int erase() {
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome erased = engine_.erase();
    if (!erased.done()) return report(erased);
    return result("Erased");
  }

  // A new process has no synchronised line: synchronise, then write as "Program SSB+&BSB".
  int boot() {
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome synced = engine_.sync();
    if (!synced.done()) return report(synced);
    const isp::Outcome written = engine_.writeBootConfig();
    if (!written.done()) return report(written);
    return result("Boot configuration written");
  }

  const Options& options_;
  const std::string portName_;  // as given: COMn, a path, usb:SERIAL or a network port
  std::ostream& out_;
  BoardResult result_;
  std::vector<std::string> said_;  // what the command said on stderr besides the boxes
  TerminalOperator op_;
  link::SerialPort port_;
  link::SerialLink link_;
  std::unique_ptr<link::NetworkLink> network_;  // when the port is tcp:// or rfc2217://
  link::ForwardingLink line_;
  isp::SystemClock clock_;
  isp::Engine engine_;
};

}  // namespace

BoardResult runBoard(const Options& options, const std::string& port, std::ostream& out, std::ostream& err,
                     const BoardView& view) {
  Session session(options, port, out, err, view);
  return session.run();
}

std::string jsonLine(const Options& options, const BoardResult& result) {
  static constexpr const char* kNames[] = {"", "info", "program", "verify", "diff", "read", "erase", "boot", "ports"};
  JsonObject line;
  line.add("port", result.port)
      .add("command", kNames[static_cast<int>(options.command)])
      .add("ok", result.exit == kExitDone)
      .add("exit", result.exit)
      .add("outcome", result.outcome)
      .addNumber("seconds", result.seconds, 3);
  if (result.exit != kExitDone) line.add("message", result.message);
  return line.append(result.fields).str();
}

}  // namespace velkorn::cli
