#include "cli/commands.h"

#include <chrono>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "cli/binary_image.h"
#include "cli/board.h"
#include "cli/image_diff.h"
#include "cli/monitor.h"
#include "cli/outcome_report.h"
#include "cli/proof.h"
#include "cli/platform.h"
#include "cli/port_label.h"
#include "cli/record.h"
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
  if (fs::is_directory(status)) {
    *why = "a directory: give the name of a file to write";
    return false;
  }
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

// Why the chip's file was not written, in the words of the command line's refusals.
std::string writeRefusal(const Error& error) {
  switch (error.code) {
    case ErrorCode::Exists: return "the file exists (use --force to overwrite it)";
    case ErrorCode::NotRegular:
      return "something that is not a regular file took its place; --force does not replace it";
    default: return error.message;
  }
}

class Session {
 public:
  Session(const Options& o, const std::string& port, std::ostream& out, std::ostream& err, const BoardView& view)
      : options_(o),
        portName_(port),
        portLabel_(portLabel(port)),
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
    link_.onRate = [this](int, const Status& result) {
      if (link::rateRefused(result)) op_.showNotice("SetCommState failed");
    };
  }

  BoardResult run() {
    const auto start = std::chrono::steady_clock::now();
    result_.port = portName_;
    try {
      result_.exit = dispatch();
      // The application's rate is set before the run sequence starts it: its first bytes
      // come at once. watch() says so when the line did not take it.
      if (result_.exit == kExitDone && options_.monitor) (void)line_.setBaudRate(options_.monitorBaud);
      // The programmed application starts when the run sequence releases the reset.
      if (result_.exit == kExitDone && !options_.runSteps.empty() && !runSteps(options_.runSteps, "run")) {
        result_.exit = interruptedAt("the run sequence");
      }
      if (result_.exit == kExitDone && options_.monitor) result_.exit = watch();
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
    if (!engine_.device().manu.empty()) result_.facts.device = deviceJson(engine_.device(), engine_.images().chipSize);
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
      case Command::Monitor:
      case Command::None: break;
    }
    return kExitUsage;
  }

  // program --monitor: the monitor on the line just programmed, still open, so nothing the
  // application sends after the run sequence is lost.
  int watch() {
    op_.finishLine();
    const bool rateSet = network_ ? !link::rateRefused(network_->lastRate())
                                  : port_.baudRate() == options_.monitorBaud;
    if (!rateSet) {
      say("Can not set " + shortName(portName_) + " to " + std::to_string(options_.monitorBaud) + " bit/s");
      return kExitNoTarget;
    }
    const OpenLine handed{&line_, [this] {
                            line_.use(link_);
                            port_.close();
                            network_.reset();
                          }};
    return runMonitor(options_, portName_, handed, out_, [this](const std::string& line) { op_.say(line); });
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
      const Status set = network_ ? network_->setModemLine(step.line, step.high)
                                  : port_.setModemLine(step.line, step.high);
      if (!set && !std::exchange(refusalSaid, true)) {
        say(portLabel_ + " does not take " + link::describe(step) + " (" + set.message() + "): the " + what +
            " sequence has no effect there");
      }
    }
    return !TerminalOperator::interrupted;
  }

  std::optional<int> openLine() {
    if (isNetworkPort(portName_)) return openNetworkPort();
    const bool byUsbSerial = portName_.rfind(link::kUsbPortScheme, 0) == 0;
    const Result<std::string> found = byUsbSerial ? link::usbSerialDevice(portName_.substr(4))
                                                  : Result<std::string>(link::resolvePortName(portName_));
    const std::string path = found.valueOr({});
    const int com = link::comNumber(portName_);
    const std::string what = com > 0 ? "Can not open COM " + std::to_string(com) : "Can not open " + shortName(portName_);
    std::string reason;
    Status opened;
    if (path.empty()) {
      reason = !found ? found.message() : "no serial device is known as " + shortName(portName_);
    } else if ((opened = port_.open(path))) {
      result_.facts.portPath = link::deviceBehind(path);
      result_.facts.usb = link::usbIdentityOf(path);
      op_.debugLog("Port " + path);
      op_.debugLog(port_.lowLatencyNote());
      // The rate is tried before anything is sent: a port that cannot run at it would only
      // show up as a target that never synchronises.
      const Status rate = port_.setBaudRate(options_.baud);
      if (rate) return std::nullopt;
      say("Can not set " + portLabel_ + " to " + std::to_string(options_.baud) + " bit/s");
      say(path + ": " + rate.message());
      return kExitNoTarget;
    } else {
      reason = portLabel_ + ": " + opened.message();
    }
    say(what);
    say(reason);
    return kExitNoTarget;
  }

  static bool isNetworkPort(const std::string& name) { return link::isNetworkPort(name); }

  // A network serial server: raw TCP, or RFC 2217 with the line set as on a local port.
  std::optional<int> openNetworkPort() {
    link::NetworkLimits limits;
    limits.connect.stop = &TerminalOperator::interrupted;  // Ctrl+C ends the look-up and the connect
    auto opened = link::openNetworkLink(portName_, limits);
    if (!opened) {
      say("Can not open " + portName_);
      say(opened.message());
      return kExitNoTarget;
    }
    network_ = std::move(*opened);
    line_.use(*network_);
    result_.facts.portPath = portName_;
    op_.debugLog("Port " + portName_ + ": " + network_->note());
    const Status rate = network_->setBaudRate(options_.baud);
    op_.debugLog(network_->note());
    if (link::rateRefused(rate)) {
      say("Can not set " + portName_ + " to " + std::to_string(options_.baud) + " bit/s");
      say(network_->note());
      return kExitNoTarget;
    }
    // Said once a run: each synchronisation sets the rate again, and a raw link ignores it.
    if (!network_->capabilities().setRate && options_.baud != isp::kBootloaderBaud) {
      say("over a raw TCP link the rate is the server's: its port must run at " + std::to_string(options_.baud) +
              " bit/s (rfc2217:// sets it)");
    }
    network_->onRate = [this](int, const Status& result) {
      op_.debugLog(network_->note());
      if (link::rateRefused(result)) op_.showNotice("SetCommState failed");
    };
    return std::nullopt;
  }

  // The HEX file is loaded before the port is touched: a bad file changes nothing.
  std::optional<int> loadFile() {
    engine_.hexFileName = options_.file;
    fileSha256_ = fileDigest(options_.file);
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
    // A NUL byte ends the text; the loader refuses a file whose NUL hides more than padding.
    const isp::Outcome loaded = engine_.loadHexFile(isp::Asking::Never);
    if (loaded.done()) return std::nullopt;
    report(loaded);
    return kExitUsage;
  }

  // Programming a file without data would only erase the chip: refused before the port is
  // opened (the engine refuses it too, before the erase).
  std::optional<int> refuseEmptyImage() {
    const Image& image = engine_.images().fileImage;
    if (std::any_of(image.begin(), image.end(), [](std::uint8_t b) { return b != kErasedByte; })) return std::nullopt;
    isp::Outcome empty = isp::Outcome::ofKind(isp::OutcomeKind::FileError, isp::Step::Load);
    empty.fileFault = isp::FileFault::NoData;
    empty.file = options_.file;
    return report(empty);
  }

  // The SHA-256 of the file's bytes as they are when the command loads it; empty when it
  // cannot be read (the load says why).
  static std::string fileDigest(const std::string& name) {
    std::ifstream in(fs::path(std::u8string(name.begin(), name.end())), std::ios::binary);
    if (!in) return {};
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return {};
    return sha256Hex(bytes);
  }

  // The proof of a program, verify or diff: which file, and the CRC-32 of the image that
  // was compared with the chip, from 0 up to the comparison limit.
  void addProof() {
    const MemoryImages& images = engine_.images();
    const int limit = isp::comparisonLimit(images.chipSize);
    if (!fileSha256_.empty()) result_.fields.add("sha256", fileSha256_);
    result_.fields.add("crc32", crc32Text(crc32(images.fileImage.data(), static_cast<std::size_t>(limit))));
    result_.fields.addRaw("range", "[0," + std::to_string(limit - 1) + "]");
  }
  std::string proofText() {
    const MemoryImages& images = engine_.images();
    const int limit = isp::comparisonLimit(images.chipSize);
    return " (CRC-32 " + crc32Text(crc32(images.fileImage.data(), static_cast<std::size_t>(limit))) + " over " +
           hexAddress(0) + "-" + hexAddress(limit - 1) + ")";
  }

  // After a write to stdout: whether it arrived. A result that never reached its reader is
  // no success; the loss is named on stderr.
  bool stdoutFailed(const std::string& what) {
    errno = 0;
    out_.flush();
    if (out_.good()) return false;
    const int error = errno;
    say("cannot write " + what + " to stdout: " + (error != 0 ? std::strerror(error) : "write error"));
    result_.outcome = "output-error";
    return true;
  }

  // Says what failed, from the outcome; returns the exit status.
  int report(const isp::Outcome& outcome) {
    const ReportContext context{commandName(), options_.file, portLabel_, options_.syncTimeoutS,
                                TerminalOperator::interrupted};
    std::vector<std::string> lines = failureLines(outcome, context);
    if (const int more = op_.unshownDifferences(); more > 0) {
      lines.insert(lines.begin(), "... and " + std::to_string(more) + " more differing " +
                                      (more == 1 ? "byte" : "bytes") + " (--verbose shows every one)");
    }
    for (const std::string& line : lines) op_.say(line);
    op_.finishLine();
    result_.outcome = outcomeName(outcome);
    result_.message = joined(lines);
    if (outcome.kind == isp::OutcomeKind::Mismatch &&
        (options_.command == Command::Program || options_.command == Command::Verify)) {
      result_.fields.add("address", outcome.address).add("differences", outcome.count);
    }
    if (outcome.kind == isp::OutcomeKind::FileError && outcome.fileFault == isp::FileFault::PastChip) {
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
      // A record that got no answer at all was not refused: the board stopped answering.
      case isp::OutcomeKind::Refused: return outcome.answer.empty() ? "no-answer" : "refused";
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
      case Command::Monitor: return "monitor";
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
      if (stdoutFailed("the result")) return kExitChipFailed;
    }
    return kExitDone;
  }

  // File data in the bootloader's area of a 64 KiB part, which the read-back does not
  // compare. (Data past the chip's size never gets here: the engine refuses such a file.)
  void noteLeftOut(const char* bootAreaNote) {
    const MemoryImages& images = engine_.images();
    const int limit = isp::comparisonLimit(images.chipSize);
    if (const auto at = firstDataAt(images.fileImage, limit, images.chipSize)) {
      say(options_.file + " holds data at " + hexAddress(limit) + " and above (from " + hexAddress(*at) +
          "): " + bootAreaNote);
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
    if (stdoutFailed("the device information")) return kExitChipFailed;
    return kExitDone;
  }

  // As Reload: no question on a chip that is not blank; the security and boot bytes are the
  // command line's choice, not the chip's old state.
  int program() {
    result_.fields.add("file", options_.file);
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = refuseEmptyImage()) return *failed;
    if (const auto failed = openPort()) return *failed;
    if (const auto failed = takeSerialNumber()) return *failed;
    const isp::Outcome programmed = engine_.program(isp::Asking::Never, verification());
    if (programmed.kind != isp::OutcomeKind::FileError) addProof();
    if (!programmed.done()) return report(programmed);
    if (const auto failed = serialNumberUncompared()) return *failed;
    if (const auto failed = settingsMissing(programmed)) return *failed;
    noteLeftOut("those addresses were programmed but not compared");
    return result("Programmed and verified " + options_.file + proofText());
  }

  // The board's serial number, taken before the chip is erased (a board that fails later
  // keeps it used) and written into the image the verify compares.
  std::optional<int> takeSerialNumber() {
    if (options_.serialAt < 0) return std::nullopt;
    std::string why;
    const auto number = stampSerialNumber(options_.serialFile, *options_.serialFormat, options_.serialAt,
                                          engine_.images().fileImage, &why);
    if (!number) {
      say("no serial number from " + shortName(options_.serialFile) + ": " + why);
      result_.outcome = "file-error";
      return kExitUsage;
    }
    result_.fields.addRaw("serial", std::to_string(*number));
    result_.facts.serial = number;
    op_.debugLog("Serial number " + std::to_string(*number) + " at " + hexAddress(options_.serialAt));
    return std::nullopt;
  }

  // A 32 KiB part stops comparing at 0x7C00: a number above that would be claimed unchecked.
  std::optional<int> serialNumberUncompared() {
    if (options_.serialAt < 0) return std::nullopt;
    const int chipSize = engine_.images().chipSize;
    const int limit = isp::comparisonLimit(chipSize);
    const int end = options_.serialAt + serialBytes(*options_.serialFormat);
    if (end <= limit) return std::nullopt;
    if (end > chipSize) {
      say("the serial number at " + hexAddress(options_.serialAt) + " lies beyond this chip's " +
          std::to_string(chipSize) + " bytes: it was not written");
    } else {
      say("the serial number at " + hexAddress(options_.serialAt) + " lies above " + hexAddress(limit) +
          ", where this chip's comparison stops: it was programmed but not verified");
    }
    result_.outcome = "not-verified";
    return kExitChipFailed;
  }

  int verify() {
    result_.fields.add("file", options_.file);
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome verified = engine_.verify(isp::Asking::Never, verification());
    if (verified.kind != isp::OutcomeKind::FileError) addProof();
    if (!verified.done()) return report(verified);
    noteLeftOut("those addresses were not compared");
    return result("Matched OK!!!" + proofText());
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
    // Bytes the chip cannot hold never match it, whatever the ranges below would say.
    if (const auto at = firstDataAt(images.fileImage, images.chipSize, kImageSize)) {
      isp::Outcome past = isp::Outcome::ofKind(isp::OutcomeKind::FileError, isp::Step::Load);
      past.fileFault = isp::FileFault::PastChip;
      past.file = options_.file;
      past.address = *at;
      past.count = images.chipSize;
      return report(past);
    }
    addProof();
    const std::vector<std::string> ranges = differingRanges(images.fileImage, images.chipImage, images.chipSize);
    result_.fields.add("ranges", differingRuns(images.fileImage, images.chipImage, images.chipSize));
    if (ranges.empty()) return result("The chip matches " + options_.file + proofText());
    op_.finishLine();
    if (!options_.json) {
      for (const std::string& range : ranges) out_ << range << '\n';
      if (stdoutFailed("the differing ranges")) return kExitChipFailed;
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
      if (stdoutFailed("the chip's data")) return kExitChipFailed;
      result_.fields.add("bytes", engine_.images().chipSize).add("crc32", chipCrc());
      return result("Read " + std::to_string(engine_.images().chipSize) + " bytes (CRC-32 " + chipCrc() + ")");
    }
    // Checked before the chip is read, so a refusal costs no read.
    if (std::string why; !mayWrite(options_.file, options_.force, &why)) {
      say(shortName(options_.file) + ": " + why);
      return kExitUsage;
    }
    if (const Status usable = file::checkOutputPath(options_.file); !usable) {
      say("cannot write " + shortName(options_.file) + ": " + usable.message());
      return kExitUsage;
    }
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome read = engine_.readChip(readCheck());
    if (!read.done()) return report(read);
    const MemoryImages& images = engine_.images();
    // Written next to the destination first (a failed write never leaves half a file under
    // the name); the destination is checked again right before the rename. Without --force a
    // file that appeared meanwhile is refused; with it, the regular file just checked is
    // replaced.
    const auto stillMayWrite = [this]() -> Status {
      if (std::string why; !mayWrite(options_.file, options_.force, &why)) return makeError(ErrorCode::Failed, why);
      return {};
    };
    if (const Status written = file::writeFileAtomically(options_.file, chipFileText(), options_.force, stillMayWrite);
        !written) {
      say(shortName(options_.file) + ": " + writeRefusal(written.error()));
      return kExitUsage;
    }
    result_.fields.add("bytes", images.chipSize).add("crc32", chipCrc());
    return result("Read " + std::to_string(images.chipSize) + " bytes into " + options_.file + " (CRC-32 " +
                  chipCrc() + ")");
  }

  // The CRC-32 of the chip's bytes as read, over the whole chip.
  std::string chipCrc() {
    const MemoryImages& images = engine_.images();
    return crc32Text(crc32(images.chipImage.data(), static_cast<std::size_t>(std::clamp(images.chipSize, 0, kImageSize))));
  }

  // The boot configuration was written, but a lock or boot-jump record the person asked for
  // was not accepted, or the chip does not show the lock afterwards: the command did not do
  // what it promised.
  std::optional<int> settingsMissing(const isp::Outcome& written) {
    std::string what;
    if (!written.settingRecord.empty()) {
      const std::string& answer = written.settingAnswer;
      what = "the bootloader " + std::string(answer.empty() ? "did not answer" : "refused") + " record " +
             written.settingRecord + " (" + settingName(written.settingRecord) +
             (answer.empty() ? "" : ", answer \"" + printable(answer) + "\"") + ")";
      result_.outcome = answer.empty() ? "no-answer" : "refused";
    } else if ((options_.lock0 && !engine_.device().lock0) || (options_.lock1 && !engine_.device().lock1)) {
      what = std::string("the chip does not show ") + (options_.lock1 ? "security level 2" : "security level 1") +
             " after its record was accepted";
      result_.outcome = "refused";
    } else {
      return std::nullopt;
    }
    say(what + ": the chip is not configured as asked");
    return kExitChipFailed;
  }

  static std::string settingName(const std::string& record) {
    if (record.rfind(":020000030500", 0) == 0) return "security level 1";
    if (record.rfind(":020000030501", 0) == 0) return "security level 2";
    return "the boot-jump bit BLJB";
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
    if (const auto failed = settingsMissing(written)) return *failed;
    return result("Boot configuration written");
  }

  const Options& options_;
  const std::string portName_;  // as given: COMn, a path, usb:SERIAL or a network port
  const std::string portLabel_;  // the name and the device it stands for, for messages
  std::ostream& out_;
  BoardResult result_;
  std::vector<std::string> said_;  // what the command said on stderr besides the boxes
  std::string fileSha256_;         // of the input file's bytes, when it could be read
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
  BoardResult result = Session(options, port, out, err, view).run();
  recordBoard(options, result, err);
  return result;
}

std::string jsonLine(const Options& options, const BoardResult& result) { return boardJson(options, result).str(); }

JsonObject boardJson(const Options& options, const BoardResult& result) {
  static constexpr const char* kNames[] = {"",      "info", "program", "verify", "diff",
                                           "read", "erase", "boot", "ports", "monitor"};
  JsonObject line;
  line.add("port", result.port)
      .add("command", kNames[static_cast<int>(options.command)])
      .add("ok", result.exit == kExitDone)
      .add("exit", result.exit)
      .add("outcome", result.outcome)
      .addNumber("seconds", result.seconds, 3);
  if (result.exit != kExitDone) line.add("message", result.message);
  return line.append(result.fields);
}

}  // namespace velkorn::cli
