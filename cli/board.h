#pragma once
// One board's run of a command, as the runner of several boards and --json see it.
#include <functional>
#include <iosfwd>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/json.h"
#include "cli/options.h"
#include "link/port_list.h"

namespace velkorn::cli {

// What one board's command ended in.
struct BoardResult {
  std::string port;
  int exit = kExitUsage;
  std::string outcome;  // done, refused, mismatch, not-verified, aborted, no-sync, link-lost,
                        // port-error, file-error, bad-answer
  std::string message;  // what failed, on one line; empty when done
  double seconds = 0;
  JsonObject fields;    // the command's own fields for --json (device, file, ranges, ...)
  // What the station's record adds to those, as the run learned it.
  struct Facts {
    std::optional<JsonObject> device;           // the device information, once read
    std::string portPath;                       // the device the port stands for
    std::optional<link::UsbIdentity> usb;       // the USB adapter behind it
    std::optional<std::uint64_t> serial;        // the serial number the board took
  } facts;
};

// Where a board is, for the status line of several boards on a terminal.
struct BoardStatus {
  std::string phase;     // "Synchronize...", "Programming...", ...
  int percent = -1;      // -1: no progress figure in this phase
  std::string timeLeft;  // "12s ", when known
};

// How a board shows its progress: a bar of its own on a terminal, one line per phase, or
// through `onStatus` (the status lines of several boards).
struct BoardView {
  bool progressBar = false;
  std::function<void(const BoardStatus&)> onStatus;
};

// Runs the command of `options` on the board at `port`. `out` gets its device information
// and results (none with --json), `err` its messages.
BoardResult runBoard(const Options& options, const std::string& port, std::ostream& out, std::ostream& err,
                     const BoardView& view);

// The object --json prints for a board.
std::string jsonLine(const Options& options, const BoardResult& result);
JsonObject boardJson(const Options& options, const BoardResult& result);

}  // namespace velkorn::cli
