#include "cli/commands.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <vector>

#include "cli/image_diff.h"
#include "cli/outcome_report.h"
#include "cli/platform.h"
#include "cli/terminal_operator.h"
#include "image/hex_writer.h"
#include "isp/clock.h"
#include "isp/engine.h"
#include "isp/records.h"
#include "link/com_name.h"
#ifndef _WIN32
#include "link/network_link.h"
#endif
#include "link/port_names.h"
#include "link/serial_link.h"
#include "link/serial_port.h"

namespace velkorn::cli {
namespace {

namespace fs = std::filesystem;

// The line as the command line watches it: a port that fails a write has gone away (a
// pulled adapter), so the synchronisation need not wait out its limit.
// It also lets the port be a serial device or a network server, chosen when it opens.
class WatchedLink final : public isp::Link {
 public:
  explicit WatchedLink(isp::Link& line) : line_(&line) {}
  void use(isp::Link& line) { line_ = &line; }
  bool isOpen() const override { return line_->isOpen(); }
  bool writeBytes(std::string_view bytes) override {
    const bool ok = line_->writeBytes(bytes);
    if (!ok) writeFailed_ = true;
    return ok;
  }
  isp::LinkRead readByte() override { return line_->readByte(); }
  void setBaudRate(int rate) override { line_->setBaudRate(rate); }
  std::string lastError() const override { return line_->lastError(); }
  std::chrono::milliseconds answerStartLimit() const override { return line_->answerStartLimit(); }
  bool writeFailed() const { return writeFailed_; }

 private:
  isp::Link* line_;
  bool writeFailed_ = false;
};

// The status bar's right-hand panel after a device-information read: the boot status
// byte's state, else the 32 KiB note, else nothing.
std::string statePanel(const isp::DeviceInfo& d) {
  if (d.bsb == "FF") return "BOOTLOADER";
  if (d.bsb == "00") return "normal operation";
  if (d.mem == "F7") return "Chipsize=0x8000";
  return {};
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
  const fs::file_status status = fs::symlink_status(path, ec);
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

// Writes next to the destination first, so a failed write (a full disk, a file size limit)
// never leaves half a file under the name, and removes its temporary file on every failure.
// The destination is checked again right before the rename.
bool writeFileAtomically(const std::string& path, const std::string& text, bool overwrite, std::string* why) {
  const std::optional<std::string> temp = platform::writeTemporaryFile(path, text, why);
  if (!temp) return false;
  auto fail = [&](const std::string& reason) {
    std::error_code ec;
    fs::remove(*temp, ec);
    *why = reason;
    return false;
  };
  if (!mayWrite(path, overwrite, why)) return fail(*why);
  // Without --force a file that appeared meanwhile is refused; with it, the regular file just
  // checked is replaced.
  switch (platform::moveIntoPlace(*temp, path, overwrite, why)) {
    case platform::Placed::Done: return true;
    case platform::Placed::Exists: return fail("the file exists (use --force to overwrite it)");
    case platform::Placed::Failed: break;
  }
  return fail(*why);
}

class Session {
 public:
  Session(const Options& o, std::ostream& out, std::ostream& err, bool errIsTerminal)
      : options_(o),
        out_(out),
        op_(OperatorSettings{o.retries, std::chrono::seconds(o.syncTimeoutS), o.quiet, o.verbose, errIsTerminal,
                             isp::BootChoice{o.lock0, o.lock1, o.bljb}},
            err),
        link_(port_),
        line_(link_),
        engine_(line_, op_, op_, op_, clock_) {
    op_.currentRecord = [this] { return engine_.lastRecord(); };
    op_.onInterrupt = [this] { engine_.downloadAbort = 1; };
    op_.lineFailed = [this] { return line_.writeFailed(); };
    link_.onRate = [this](int, link::RateResult result) {
      if (result == link::RateResult::Refused) op_.showNotice("SetCommState failed");
    };
  }

  int run() {
    try {
      return dispatch();
    } catch (const std::exception& e) {
      op_.say(std::string("internal error: ") + e.what());
      return kExitChipFailed;
    }
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
      case Command::None: break;
    }
    return kExitUsage;
  }

  // Opens the port; on failure says why and returns the exit status.
  std::optional<int> openPort() {
    if (isNetworkPort(options_.port)) return openNetworkPort();
    const std::string path = link::resolvePortName(options_.port);
    const int com = link::comNumber(options_.port);
    const std::string what = com > 0 ? "Can not open COM " + std::to_string(com) : "Can not open " + options_.port;
    std::string reason;
    if (path.empty()) {
      reason = "no serial device is known as " + options_.port;
    } else if (port_.open(path, &reason)) {
      op_.debugLog("Port " + path);
      op_.debugLog(port_.lowLatencyNote());
      link_.setBaudRate(isp::kBootloaderBaud);
      return std::nullopt;
    } else {
      reason = path + ": " + reason;
    }
    op_.say(what);
    op_.say(reason);
    return kExitNoTarget;
  }

#ifdef _WIN32
  static bool isNetworkPort(const std::string& name) {
    auto startsWith = [&](std::string_view scheme) {
      if (name.size() < scheme.size()) return false;
      for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != scheme[i]) return false;
      }
      return true;
    };
    return startsWith("tcp://") || startsWith("rfc2217://");
  }

  std::optional<int> openNetworkPort() {
    op_.say("Can not open " + options_.port);
    op_.say("network ports (tcp://, rfc2217://) are not available in the Windows build");
    return kExitNoTarget;
  }
#else
  static bool isNetworkPort(const std::string& name) { return link::isNetworkPort(name); }

  // A network serial server: raw TCP, or RFC 2217 with the line set as on a local port.
  std::optional<int> openNetworkPort() {
    std::string reason;
    network_ = link::openNetworkLink(options_.port, &reason);
    if (!network_) {
      op_.say("Can not open " + options_.port);
      op_.say(reason);
      return kExitNoTarget;
    }
    network_->onRate = [this](int, link::RateResult result) {
      op_.debugLog(network_->note());
      if (result == link::RateResult::Refused) op_.showNotice("SetCommState failed");
    };
    line_.use(*network_);
    op_.debugLog("Port " + options_.port + ": " + network_->note());
    network_->setBaudRate(isp::kBootloaderBaud);
    return std::nullopt;
  }
#endif

  // The HEX file is loaded before the port is touched: a bad file changes nothing.
  std::optional<int> loadFile() {
    engine_.hexFileName = options_.file;
    const isp::Outcome loaded = engine_.loadHexFile(isp::Asking::Never);
    if (loaded.done()) return std::nullopt;
    report(loaded);
    return kExitUsage;
  }

  // Says what failed, from the outcome; returns the exit status.
  int report(const isp::Outcome& outcome) {
    const ReportContext context{commandName(), options_.file, options_.port, options_.syncTimeoutS,
                                TerminalOperator::interrupted};
    for (const std::string& line : failureLines(outcome, context)) op_.say(line);
    op_.finishLine();
    return exitStatus(outcome);
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
      case Command::None: break;
    }
    return {};
  }

  // A success line on stdout, for scripts and logs.
  int result(const std::string& line) {
    if (!options_.quiet) {
      op_.finishLine();
      out_ << line << '\n';
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
        op_.say(options_.file + " holds data at " + hexAddress(limit) + " and above (from " +
                hexAddress(*at) + "): " + bootAreaNote);
      }
    }
    if (const auto at = firstDataAt(images.fileImage, images.chipSize, kImageSize)) {
      op_.say(options_.file + " holds data from " + hexAddress(*at) + " on, beyond the chip's size of " +
              hexAddress(images.chipSize) + " bytes: left out");
    }
  }

  int info() {
    if (const auto failed = openPort()) return *failed;
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
    for (const auto& row : rows) out_ << row.caption << ": " << row.value << '\n';
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
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome programmed = engine_.program(isp::Asking::Never, verification());
    if (!programmed.done()) return report(programmed);
    noteLeftOut("those addresses were programmed but not compared");
    return result("Programmed and verified " + options_.file);
  }

  int verify() {
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
    if (ranges.empty()) return result("The chip matches " + options_.file);
    op_.finishLine();
    for (const std::string& range : ranges) out_ << range << '\n';
    out_.flush();
    op_.say("the chip differs from " + options_.file + " in " + std::to_string(ranges.size()) +
            (ranges.size() == 1 ? " range" : " ranges"));
    return kExitChipFailed;
  }

  int read() {
    // Checked before the chip is read, so a refusal costs no read.
    if (std::string why; !mayWrite(options_.file, options_.force, &why)) {
      op_.say(options_.file + ": " + why);
      return kExitUsage;
    }
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome read = engine_.readChip(readCheck());
    if (!read.done()) return report(read);
    const MemoryImages& images = engine_.images();
    std::string why;
    if (!writeFileAtomically(options_.file, writeIntelHex(images.chipImage.data(), images.chipSize),
                             options_.force, &why)) {
      op_.say(options_.file + ": " + why);
      return kExitUsage;
    }
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
  std::ostream& out_;
  TerminalOperator op_;
  link::SerialPort port_;
  link::SerialLink link_;
#ifndef _WIN32
  std::unique_ptr<link::NetworkLink> network_;  // when the port is tcp:// or rfc2217://
#endif
  WatchedLink line_;
  isp::SystemClock clock_;
  isp::Engine engine_;
};

}  // namespace

int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  Session session(options, out, err, errIsTerminal);
  return session.run();
}

}  // namespace velkorn::cli
