#include "cli/commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "cli/serial_link.h"
#include "cli/terminal_operator.h"
#include "image/failures.h"
#include "image/hex_writer.h"
#include "isp/clock.h"
#include "isp/engine.h"
#include "link/port_names.h"
#include "link/serial_port.h"

namespace velkorn::cli {
namespace {

namespace fs = std::filesystem;

// All bootloader traffic runs at this rate; the port opens at it too.
constexpr int kBootloaderBaud = 115200;

bool isComName(const std::string& name) {
  return name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
         (name[2] == 'M' || name[2] == 'm') &&
         name.find_first_not_of("0123456789", 3) == std::string::npos;
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
        err_(err),
        op_(OperatorSettings{o.retries, std::chrono::seconds(o.syncTimeoutS), o.quiet, o.verbose,
                             errIsTerminal},
            err),
        link_(port_, op_),
        engine_(link_, op_, clock_) {
    op_.currentRecord = [this] { return link_.lastWritten(); };
    op_.onInterrupt = [this] { engine_.downloadAbort = 1; };
    op_.hexFile = o.file;
  }

  int run() {
    switch (options_.command) {
      case Command::Info: return guarded([this] { return info(); });
      case Command::Program: return withFile([this] { return program(); });
      case Command::Verify: return withFile([this] { return verify(); });
      case Command::Read: return read();
      case Command::Erase: return guarded([this] { return erase(); });
      case Command::Boot: return guarded([this] { return boot(); });
      case Command::None: break;
    }
    return kExitUsage;
  }

 private:
  // Opens the port; on failure says why and returns false.
  bool openPort() {
    const std::string path = link::resolvePortName(options_.port);
    const std::string what = isComName(options_.port)
                                 ? "Can not open COM " + options_.port.substr(3)
                                 : "Can not open " + options_.port;
    if (path.empty()) {
      err_ << what << '\n' << "no serial device is known as " << options_.port << '\n';
      return false;
    }
    std::string reason;
    if (!port_.open(path, &reason)) {
      err_ << what << '\n' << path << ": " << reason << '\n';
      return false;
    }
    op_.debugLog("Port " + path);
    link_.setBaudRate(kBootloaderBaud);
    return true;
  }

  // Opens the port and runs the chip part of a command; a conversion failure that escapes
  // the engine ends the command as the window's top-level handler would, with its text.
  template <typename F>
  int guarded(F body) {
    if (!openPort()) return kExitNoTarget;
    try {
      return finish(body());
    } catch (const UnhandledFailure& e) {
      op_.finishLine();
      err_ << e.what() << '\n';
      return finish(op_.syncFailed() ? kExitNoTarget : kExitChipFailed);
    }
  }

  int finish(int status) {
    op_.finishLine();
    if (TerminalOperator::interrupted) {
      err_ << "Interrupted\n";
      if (status == kExitDone) status = kExitChipFailed;
    }
    return status;
  }

  // The HEX file is loaded before the port is touched: a bad file changes nothing.
  template <typename F>
  int withFile(F body) {
    engine_.hexFileName = options_.file;
    try {
      engine_.LoadHexFile();
    } catch (const UnhandledFailure& e) {
      op_.finishLine();
      err_ << e.what() << '\n';
      return kExitUsage;
    }
    op_.finishLine();
    if (!engine_.images().fileLoaded || op_.failures() > 0) {
      if (op_.failures() == 0) err_ << "The file " << options_.file << " was not loaded completely\n";
      return kExitUsage;
    }
    op_.resetTally();
    return guarded(body);
  }

  int judged(bool succeeded) const {
    if (op_.syncFailed()) return kExitNoTarget;
    return succeeded && op_.failures() == 0 && !op_.cancelled() ? kExitDone : kExitChipFailed;
  }

  void applyLockChoices() {
    isp::DeviceInfo& d = engine_.device();
    d.lock0 = options_.lock0;
    d.lock1 = options_.lock1;
    d.bljb = options_.bljb;
  }

  int info() {
    if (!engine_.SyncTarget()) return kExitNoTarget;
    printInfo();
    return judged(true);
  }

  void printInfo() {
    op_.finishLine();
    using isp::DeviceField;
    const struct {
      const char* caption;
      DeviceField field;
    } rows[] = {
        {"Manufactor Id", DeviceField::Manu},     {"Device family", DeviceField::DevFam},
        {"Mem size/type", DeviceField::Mem},      {"Product Id", DeviceField::Product},
        {"Status(BSB)", DeviceField::BSB},        {"Vector(SBV)", DeviceField::SBV},
        {"HW security (HSB)", DeviceField::HSB},  {"Bootloader version", DeviceField::BVersion},
    };
    for (const auto& row : rows) out_ << row.caption << ": " << op_.field(row.field) << '\n';
    out_ << "Lock Erase, Prog.: " << (op_.chipLock0() ? "yes" : "no") << '\n';
    out_ << "Lock Erase, Prog., Read, Blank Check: " << (op_.chipLock1() ? "yes" : "no") << '\n';
    char size[16];
    std::snprintf(size, sizeof size, "0x%X", engine_.images().chipSize);
    out_ << "Chip size: " << size << '\n';
    if (!op_.panel2().empty()) out_ << "State: " << op_.panel2() << '\n';
    out_.flush();
  }

  int program() {
    // The command line decides the security and boot bytes, not the chip's old state.
    op_.onLockBoxes = [this] { applyLockChoices(); };
    applyLockChoices();
    // As Reload: no question on a chip that is not blank, no success box at the end.
    engine_.images().reload = true;
    struct ClearReload {
      MemoryImages& images;
      ~ClearReload() { images.reload = false; }
    } clear{engine_.images()};
    engine_.MProgClick();
    return result(judged(op_.terminalShown()), "Programmed and verified " + options_.file);
  }

  // The result of a command that changes the chip, on stdout for scripts and logs.
  int result(int status, const std::string& done) {
    if (status == kExitDone && !options_.quiet) {
      op_.finishLine();
      out_ << done << '\n';
      out_.flush();
    }
    return status;
  }

  int verify() {
    engine_.CompareFileClick();
    return judged(op_.sawMessage("Verifying...", "Matched OK!!!"));
  }

  int erase() {
    engine_.MEraseClick();
    return result(judged(op_.sawMessage("Erase", "completed successfully")), "Erased");
  }

  int boot() {
    op_.onLockBoxes = [this] { applyLockChoices(); };
    applyLockChoices();
    if (!engine_.SyncTarget()) return kExitNoTarget;
    engine_.MBSBClick();
    return result(judged(op_.terminalShown()), "Boot configuration written");
  }

  int read() {
    std::error_code ec;
    if (!options_.force && fs::exists(fs::symlink_status(options_.file, ec))) {
      err_ << options_.file << ": the file exists (use --force to overwrite it)\n";
      return kExitUsage;
    }
    bool complete = false;
    const int status = guarded([this, &complete]() -> int {
      if (!engine_.SyncTarget()) return kExitNoTarget;
      complete = engine_.ReadChip("Reading data...", false);
      return judged(complete);
    });
    if (status != kExitDone) return status;
    const MemoryImages& images = engine_.images();
    std::string why;
    if (!writeFileAtomically(options_.file, writeIntelHex(images.chipImage.data(), images.chipSize),
                             options_.force, &why)) {
      err_ << options_.file << ": " << why << '\n';
      return kExitUsage;
    }
    if (!options_.quiet) {
      out_ << "Read " << images.chipSize << " bytes into " << options_.file << '\n';
    }
    return kExitDone;
  }

  const Options& options_;
  std::ostream& out_;
  std::ostream& err_;
  TerminalOperator op_;
  link::SerialPort port_;
  SerialLink link_;
  isp::SystemClock clock_;
  isp::Engine engine_;
};

}  // namespace

int runCommand(const Options& options, std::ostream& out, std::ostream& err, bool errIsTerminal) {
  Session session(options, out, err, errIsTerminal);
  return session.run();
}

}  // namespace velkorn::cli
