#include "cli/commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <vector>

#include "cli/image_diff.h"
#include "cli/outcome_report.h"
#include "cli/terminal_operator.h"
#include "image/hex_writer.h"
#include "isp/clock.h"
#include "isp/engine.h"
#include "isp/records.h"
#include "link/com_name.h"
#include "link/port_names.h"
#include "link/serial_link.h"
#include "link/serial_port.h"

namespace velkorn::cli {
namespace {

namespace fs = std::filesystem;

// The line as the command line watches it: a port that fails a write has gone away (a
// pulled adapter), so the synchronisation need not wait out its limit.
class WatchedLink final : public isp::Link {
 public:
  explicit WatchedLink(isp::Link& line) : line_(line) {}
  bool isOpen() const override { return line_.isOpen(); }
  bool writeBytes(std::string_view bytes) override {
    const bool ok = line_.writeBytes(bytes);
    if (!ok) writeFailed_ = true;
    return ok;
  }
  isp::LinkRead readByte() override { return line_.readByte(); }
  void setBaudRate(int rate) override { line_.setBaudRate(rate); }
  std::string lastError() const override { return line_.lastError(); }
  bool writeFailed() const { return writeFailed_; }

 private:
  isp::Link& line_;
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

// Writes next to the destination first, so a failed write never leaves half a file under
// the name; without `overwrite` the final step refuses a file that appeared meanwhile.
bool writeFileAtomically(const std::string& path, const std::string& text, bool overwrite,
                         std::string* why) {
  const std::string temp = path + ".velkorn-" + std::to_string(::getpid());
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f) {
      *why = std::strerror(errno);
      return false;
    }
    f << text;
    f.flush();
    if (!f) {
      *why = std::strerror(errno);
      f.close();
      fs::remove(temp);
      return false;
    }
  }
  int rc = 0;
  if (overwrite) {
    rc = ::rename(temp.c_str(), path.c_str());
  } else {
    rc = ::link(temp.c_str(), path.c_str());
  }
  const int err = errno;
  std::error_code ec;
  if (!overwrite || rc != 0) fs::remove(temp, ec);
  if (rc != 0) {
    *why = err == EEXIST ? "the file exists (use --force to overwrite it)" : std::strerror(err);
    return false;
  }
  return true;
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
    const std::string path = link::resolvePortName(options_.port);
    const int com = link::comNumber(options_.port);
    const std::string what = com > 0 ? "Can not open COM " + std::to_string(com) : "Can not open " + options_.port;
    std::string reason;
    if (path.empty()) {
      reason = "no serial device is known as " + options_.port;
    } else if (port_.open(path, &reason)) {
      op_.debugLog("Port " + path);
      link_.setBaudRate(isp::kBootloaderBaud);
      return std::nullopt;
    } else {
      reason = path + ": " + reason;
    }
    op_.say(what);
    op_.say(reason);
    return kExitNoTarget;
  }

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
      if (const auto at = firstDataAt(images.fileImage, isp::kCompareBelow, images.chipSize)) {
        op_.say(options_.file + " holds data at " + hexAddress(isp::kCompareBelow) + " and above (from " +
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
    const isp::Outcome programmed = engine_.program(isp::Asking::Never);
    if (!programmed.done()) return report(programmed);
    noteLeftOut("those addresses were programmed but not compared");
    return result("Programmed and verified " + options_.file);
  }

  int verify() {
    if (const auto failed = loadFile()) return *failed;
    if (const auto failed = openPort()) return *failed;
    const isp::Outcome verified = engine_.verify(isp::Asking::Never);
    if (!verified.done()) return report(verified);
    noteLeftOut("those addresses were not compared");
    return result("Matched OK!!!");
  }

  // Read answers carry no checksum: unless told otherwise, every block is read until two
  // answers agree.
  isp::ReadCheck readCheck() const { return {!options_.singleRead, options_.retries}; }

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
    std::error_code ec;
    if (!options_.force && fs::exists(fs::symlink_status(options_.file, ec))) {
      op_.say(options_.file + ": the file exists (use --force to overwrite it)");
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
