#pragma once
// The command line of velkorn-cli: global options, one command, its arguments.
#include <string>

#include "cli/serial_number.h"
#include "link/modem_lines.h"
#include <optional>
#include <vector>

namespace velkorn::cli {

// Exit statuses of velkorn-cli.
enum ExitStatus : int {
  kExitDone = 0,
  kExitChipFailed = 1,   // refused, mismatch, not verified, aborted, link lost, a bad answer;
                         // diff: the chip differs from the file
  kExitUsage = 2,        // usage or input file error (nothing was changed on the chip)
  kExitNoTarget = 3,     // the port cannot be opened or the target does not synchronise
};

enum class Command { None, Info, Program, Verify, Diff, Read, Erase, Boot, Ports, Monitor };

struct Options {
  // As given with --port (each may be a comma-separated list); none: $VELKORN_PORT, else COM1.
  std::vector<std::string> ports;
  int retries = 3;          // cancellable error boxes answered OK in a row before Cancel
  int syncTimeoutS = 60;    // replaces the synchronisation window's 60 s limit
  bool quiet = false;       // no progress and no success texts; errors still shown
  bool verbose = false;     // the debug log on stderr
  bool json = false;        // stdout: one JSON object per board, nothing else
  bool binary = false;      // FILE / OUT is raw binary whatever its name
  int address = 0;          // where a binary FILE starts
  // DTR/RTS steps after the port opens, before the sync; and after a command that ended done.
  std::vector<link::ModemStep> resetSteps, runSteps;
  bool force = false;       // read: overwrite an existing output file
  bool singleRead = false;  // read, diff: each block read once, without the confirming read
  bool fullVerify = false;  // program, verify: read the whole chip back, not only the data
  int baud = 115200;        // bit rate of the synchronisation and of every record
  bool lock0 = false;       // "Lock Erase, Prog."
  bool lock1 = false;       // "Lock Erase, Prog., Read, Blank Check"
  bool bljb = true;         // "BLJB", ticked unless --no-bljb
  bool help = false;
  bool version = false;
  Command command = Command::None;
  std::string file;         // program / verify / diff: the HEX file; read: the output file
  // The serial terminal: `monitor` at --baud, or after `program ... --monitor` at monitorBaud.
  bool monitor = false;       // program: watch the line after a done command and its --run
  int monitorBaud = 115200;   // program --monitor: the application's rate
  bool timestamps = false;    // each received line starts with the time since the start
  std::string logFile;        // a copy of what was received, appended
  bool reconnect = false;     // a port that went away is waited for, not the end
  // The production station.
  std::string record;       // a JSON Lines file every board's result is appended to
  std::string station;      // the record's station name; empty: the host name
  int serialAt = -1;        // program: where each board's serial number goes; -1: none
  std::optional<SerialFormat> serialFormat;
  std::string serialFile;   // the counter the serial numbers are taken from
  bool probe = false;       // ports: open each port to see whether it is free
  bool loop = false;        // program: board after board until Ctrl+C
};

struct ParseResult {
  bool ok = false;
  Options options;
  std::string error;  // why the command line was refused
};

// The options of the configuration file come first ([default], then --profile's section),
// the command line's after them.
ParseResult parseOptions(const std::vector<std::string>& args);
// The command line alone, after the `configured` options that come from a configuration
// file: those may stand beside any command (a profile's serial number is not used by info).
ParseResult parseArguments(const std::vector<std::string>& configured, const std::vector<std::string>& args);

std::string usageText();
// `velkorn-cli COMMAND --help`.
std::string commandUsage(Command command);

}  // namespace velkorn::cli
