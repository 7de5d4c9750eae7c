#include "cli/options.h"

#include <cctype>
#include "file/atomic_file.h"

#include <charconv>

#include "isp/records.h"

namespace velkorn::cli {
namespace {

// from_chars takes a leading '-', so "-0" would pass as 0: a count or an address starts with
// a digit.
bool startsWithDigit(const char* first, const char* end) { return first != end && *first >= '0' && *first <= '9'; }

bool parseCount(const std::string& text, int low, int high, int* out) {
  if (!startsWithDigit(text.data(), text.data() + text.size())) return false;
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return false;
  *out = value;
  return true;
}

// Far above any UART the bootloader runs on; it keeps the rate inside the port's fields.
constexpr int kMaxBaud = 100000000;

struct CommandName {
  const char* name;
  Command command;
  bool takesFile;
  bool takesBootOptions;
};

constexpr CommandName kCommands[] = {
    {"info", Command::Info, false, false},   {"program", Command::Program, true, true},
    {"verify", Command::Verify, true, false}, {"diff", Command::Diff, true, false},
    {"read", Command::Read, true, false},     {"erase", Command::Erase, false, false},
    {"boot", Command::Boot, false, true},     {"ports", Command::Ports, false, false},
    {"monitor", Command::Monitor, false, false},
};

// An address in the 64 KiB code space: "0x2000", "2000h" is not taken, decimal otherwise.
bool parseAddress(const std::string& text, int* out) {
  int value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* first = text.data() + (hex ? 2 : 0);
  const char* end = text.data() + text.size();
  if (!startsWithDigit(first, end) && !(hex && first != end && std::isxdigit(static_cast<unsigned char>(*first)))) {
    return false;
  }
  const auto [ptr, ec] = std::from_chars(first, end, value, hex ? 16 : 10);
  if (first == end || ec != std::errc() || ptr != end || value < 0 || value > 0xFFFF) return false;
  *out = value;
  return true;
}

}  // namespace

#ifdef _WIN32
constexpr const char* kPortOption =
    "  -p, --port PORT     COMn (\\\\.\\COMn, any n), a device path, or a network serial server:\n"
    "                      tcp://HOST:PORT (raw; the server's port must run at the bootloader\n"
    "                      rate) or rfc2217://HOST:PORT (IPv6: [ADDR]); several: every board at\n"
    "                      once (the option again, or PORT,PORT; a comma in a name: \\,);\n"
    "                      default $VELKORN_PORT, else COM1\n";
#else
constexpr const char* kPortOption =
    "  -p, --port PORT     COMn (~/.config/velkorn/COMn, else the n-th serial device), a device\n"
    "                      path, usb:SERIAL (the USB adapter with that serial number), or a\n"
    "                      network serial server: tcp://HOST:PORT (raw; the server's port must\n"
    "                      run at the bootloader rate) or rfc2217://HOST:PORT (IPv6: [ADDR]);\n"
    "                      several: every board at once (the option again, or PORT,PORT;\n"
    "                      a comma in a name: \\,); default $VELKORN_PORT, else COM1\n";
#endif

constexpr const char* kExitStatus =
    "exit status: 0 done, 1 chip operation failed (diff: the chip differs),\n"
    "2 usage or input file error, 3 port cannot be opened or target does not synchronise;\n"
    "several boards: the highest of the boards'\n";

// Each command's own --help: what it does and the options that belong to it.
struct CommandHelp {
  Command command;
  const char* text;
};
constexpr CommandHelp kCommandHelp[] = {
    {Command::Info,
     "usage: velkorn-cli [OPTIONS] info\n"
     "Synchronises with the bootloader and prints the device information (manufacturer,\n"
     "family, memory, product, boot status and vector, hardware security, bootloader\n"
     "version, the locks, the chip size). Exit 1 when an answer could not be trusted.\n"},
    {Command::Program,
     "usage: velkorn-cli [OPTIONS] program FILE [--lock0] [--lock1] [--no-bljb] [--full-verify]\n"
     "                   [--serial-at ADDR --serial-format FMT --serial-file FILE] [--loop]\n"
     "Loads FILE (Intel HEX, or raw binary: a name ending in .bin or --binary, placed at\n"
     "--address ADDR), erases the chip, programs every non-blank 16-byte block, compares\n"
     "every byte below 0xFC00 (a 32 KiB part to its end) and writes the boot configuration.\n"
     "  --full-verify       read the whole chip back instead of the blocks with data only\n"
     "  --lock0             lock erase and programming\n"
     "  --lock1             lock erase, programming, reading and blank check\n"
     "  --no-bljb           clear the boot loader jump bit (start the application)\n"
     "  --monitor           after a done command and its --run sequence, watch the line as\n"
     "                      `monitor` does, from the application's first byte\n"
     "  --monitor-baud R    the application's rate for --monitor (default 115200)\n"
     "  --timestamps, --log FILE, --reconnect: as for monitor (see monitor --help)\n"
     "  --serial-at ADDR    write a serial number into each board's image at ADDR (below 0xFC00);\n"
     "                      the verify compares the image with the number in it\n"
     "  --serial-format FMT le16, be16, le32, be32 (binary) or dec:N, hex:N (N ASCII digits,\n"
     "                      zero-padded); a number that does not fit is an error\n"
     "  --serial-file FILE  the next number as decimal text: each board takes one under a lock,\n"
     "                      and the next is on the disk before the board is erased, so no number\n"
     "                      is given twice; a board that fails has used its number\n"
     "  --loop              a production loop on every port: wait for a board (its port\n"
     "                      appears, or its bootloader answers), program it, report it, wait\n"
     "                      until it is gone, take the next; Ctrl+C ends after the boards in\n"
     "                      flight with the totals (exit 0 when none failed)\n"},
    {Command::Verify,
     "usage: velkorn-cli [OPTIONS] verify FILE [--full-verify]\n"
     "Compares the chip with FILE below 0xFC00 (a 32 KiB part to its end): the blocks that\n"
     "hold data are read, the runs between them blank-checked. Prints \"Matched OK!!!\".\n"
     "  --full-verify       read the whole chip back\n"},
    {Command::Diff,
     "usage: velkorn-cli [OPTIONS] diff FILE [--single-read]\n"
     "Compares every address up to the chip's size with FILE and lists each differing\n"
     "range. Exit 0 equal, 1 different.\n"
     "  --single-read       read each block once (by default twice; the answers must agree)\n"},
    {Command::Read,
     "usage: velkorn-cli [OPTIONS] read OUT [--force] [--single-read] [--binary]\n"
     "Reads the chip into OUT: Intel HEX, or raw binary from address 0 to the chip's size\n"
     "when OUT ends in .bin or with --binary; '-' writes to stdout. Blank runs are found by\n"
     "blank checks; every other block is read twice and the answers must agree. With\n"
     "several ports OUT needs {port}, replaced by each port's name.\n"
     "  -f, --force         replace an existing regular file\n"
     "  --single-read       read each block once\n"},
    {Command::Erase, "usage: velkorn-cli [OPTIONS] erase\nErases the whole chip.\n"},
    {Command::Boot,
     "usage: velkorn-cli [OPTIONS] boot [--lock0] [--lock1] [--no-bljb]\n"
     "Writes the security and boot configuration as \"Program SSB+&BSB\" does.\n"
     "  --lock0             lock erase and programming\n"
     "  --lock1             lock erase, programming, reading and blank check\n"
     "  --no-bljb           clear the boot loader jump bit (start the application)\n"},
    {Command::Ports,
     "usage: velkorn-cli [--json] ports [--probe]\n"
     "Lists every serial port: its COM name, the device it stands for, its /dev/serial/by-id\n"
     "name, the USB adapter's vendor, product, serial number and name, and whether it is\n"
     "free. No port is opened: a port counts as held when another program's lock on it can\n"
     "be seen.\n"
     "  --probe             open each port for a moment for the stronger answer (this raises\n"
     "                      DTR and RTS, which resets a board wired for a DTR reset)\n"},
    {Command::Monitor,
     "usage: velkorn-cli [-p PORT] [--reset SEQ] [--run SEQ] monitor [-b RATE] [--timestamps]\n"
     "                   [--log FILE] [--reconnect]\n"
     "A serial terminal on the port: received bytes go to stdout as they arrive, typed keys\n"
     "to the port (the terminal in raw mode: Enter sends CR, Ctrl+C goes to the board), or a\n"
     "pipe's bytes as they come. Ctrl+] (on a keyboard), the end of stdin, SIGINT or SIGTERM\n"
     "end it with exit 0; after the end of stdin what the board still sends is shown until it\n"
     "pauses. --reset and --run steps run right after the port opens, in that order.\n"
     "  -b, --baud RATE     the line's rate (default 115200); over rfc2217:// set on the\n"
     "                      server's port, over tcp:// the server's own\n"
     "  --timestamps        start each received line with the seconds since the start\n"
     "  --log FILE          append what is received to FILE (a regular file), line by line\n"
     "  --reconnect         when the port goes away (an adapter unplugged, a server\n"
     "                      restarted) say so and go on when it is back\n"
     "On a terminal, bytes other than printable ASCII, CR, LF and TAB are shown as \\xNN.\n"
     "Exit 1 when the port went away (without --reconnect) or stdout or the log could not be\n"
     "written, 3 when the port cannot be opened.\n"},
};

std::string usageText() {
  return std::string(
             "usage: velkorn-cli [-p|--port PORT]... [-b|--baud RATE] [--reset SEQ] [--run SEQ]\n"
             "                   [--retries N] [--sync-timeout S] [--json] [-q|--quiet] [-v|--verbose]\n"
             "                   [--record FILE] [--station NAME] [--config FILE] [--profile NAME]\n"
             "                   COMMAND [ARGS]\n"
             "\n"
             "commands:\n"
             "  info                          synchronise and print the device information\n"
             "  program FILE [--lock0] [--lock1] [--no-bljb] [--full-verify]\n"
             "               [--serial-at ADDR --serial-format FMT --serial-file FILE] [--loop]\n"
             "                                load, erase, program, verify, write boot configuration\n"
             "  verify FILE [--full-verify]   compare the chip with the file (\"Matched OK!!!\")\n"
             "  diff FILE [--single-read]     list every differing range, up to the chip size\n"
             "  read OUT [--force] [--single-read]\n"
             "                                read the chip into a file ('-': stdout)\n"
             "  erase                         full chip erase\n"
             "  boot [--lock0] [--lock1] [--no-bljb]\n"
             "                                write security and boot configuration\n"
             "  ports [--probe]               list the serial ports and what is known of each\n"
             "  monitor [-b RATE] [--timestamps] [--log FILE] [--reconnect]\n"
             "                                a serial terminal on the port: received bytes to\n"
             "                                stdout, typed keys to the port, Ctrl+] ends\n"
             "  program FILE --run SEQ --monitor [--monitor-baud R]\n"
             "                                program, start the application, watch the line\n"
             "velkorn-cli COMMAND --help tells more of each.\n"
             "\n"
             "FILE, OUT: Intel HEX, or raw binary when the name ends in .bin (or with --binary),\n"
             "placed at --address ADDR (default 0; read always starts at 0).\n"
             "\n"
             "options:\n") +
         kPortOption +
         "  -b, --baud RATE     bit rate of the synchronisation and of every record (default\n"
         "                      115200); the bootloader measures it from the \"U\", so any rate\n"
         "                      the port and the board's clock allow, standard or not;\n"
         "                      monitor: the rate of the line it watches\n"
         "  --reset SEQ         DTR/RTS steps after the port opens, before the sync, e.g.\n"
         "                      dtr=0,rts=1,wait=100,dtr=1,wait=50,rts=0 (serial and rfc2217://)\n"
         "  --run SEQ           DTR/RTS steps after a command that ended done (start the program)\n"
         "  --retries N         answer a retry box OK up to N times in a row (default 3)\n"
         "  --sync-timeout S    give up synchronising after S seconds (default 60)\n"
         "  --json              stdout: one JSON object per board and command (ports: per port)\n"
         "  -q, --quiet         no progress display and no success messages\n"
         "  -v, --verbose       show the debug log (records and replies) on stderr\n"
         "  --binary            FILE or OUT is raw binary whatever its name\n"
         "  --address ADDR      where a binary FILE starts (0x hex or decimal, default 0)\n"
         "  --record FILE       append one JSON line per board and command to FILE (under a lock,\n"
         "                      synced): the --json object, time, station, device, port_path, usb;\n"
         "                      a record that cannot be written fails its board\n"
         "  --station NAME      the station named in the record (default: the host name)\n"
         "  --config FILE       options from FILE (default: velkorn-cli.conf in the configuration\n"
         "                      directory, when there): [default], then --profile's section, then\n"
         "                      the command line; keys are the long options (port, baud, reset, run,\n"
         "                      retries, sync-timeout, record, station, serial-at, serial-format,\n"
         "                      serial-file), one key = value per line\n"
         "  --profile NAME      the section [NAME] of the configuration file\n"
         "  --lock0, --lock1, --no-bljb, --full-verify, --force, --single-read, --serial-at,\n"
         "  --serial-format, --serial-file, --loop, --probe: see COMMAND --help\n"
         "  -h, --help, -V, --version\n"
         "\n" +
         kExitStatus;
}

std::string commandUsage(Command command) {
  for (const CommandHelp& h : kCommandHelp) {
    if (h.command == command) return std::string(h.text) + "\n" + kExitStatus;
  }
  return usageText();
}

namespace {

// The options whose place depends on the command.
struct SeenOptions {
  bool lock = false;  // --lock0, --lock1, --no-bljb
  bool force = false;
  bool singleRead = false;
  bool fullVerify = false;
  bool binary = false;
  bool address = false;
  bool monitorBaud = false;
  bool watching = false;  // --timestamps, --log, --reconnect
  bool serial = false;  // --serial-at, --serial-format, --serial-file on the command line
  bool probe = false;
  bool loop = false;
};

// The serial number's three options go together, and only with program; from a profile they
// are left out of the other commands.
std::string placeSerialNumber(const SeenOptions& seen, Options& o) {
  const bool any = o.serialAt >= 0 || o.serialFormat || !o.serialFile.empty();
  if (o.command != Command::Program) {
    if (seen.serial) return "--serial-at, --serial-format and --serial-file belong to program";
    o.serialAt = -1;
    o.serialFormat.reset();
    o.serialFile.clear();
    return {};
  }
  if (!any) return {};
  if (o.serialAt < 0 || !o.serialFormat || o.serialFile.empty()) {
    return "a serial number needs --serial-at, --serial-format and --serial-file together";
  }
  // The verify compares nothing from the bootloader's area on: a number there would go
  // out unchecked.
  if (o.serialAt + serialBytes(*o.serialFormat) > isp::kCompareBelow) {
    return "the serial number at --serial-at must end below 0xFC00, where the comparison stops";
  }
  return {};
}

// Takes the command and its file from the words that are no options, and checks that each
// option seen belongs to that command. Empty when all is well, else why not.
std::string placeCommand(const std::vector<std::string>& positional, const SeenOptions& seen, Options& o) {
  if (positional.empty()) return "no command given";
  const CommandName* command = nullptr;
  for (const CommandName& c : kCommands) {
    if (positional[0] == c.name) command = &c;
  }
  if (!command) return "unknown command " + positional[0];
  o.command = command->command;
  const std::size_t wanted = command->takesFile ? 2 : 1;
  if (positional.size() < wanted) return std::string(command->name) + " needs a file name";
  if (positional.size() > wanted) return "unexpected argument " + positional[wanted];
  if (command->takesFile) o.file = positional[1];
  if (seen.lock && !command->takesBootOptions) {
    return "--lock0, --lock1 and --no-bljb belong to program and boot";
  }
  if (seen.force && o.command != Command::Read) return "--force belongs to read";
  if (seen.probe && o.command != Command::Ports) return "--probe belongs to ports";
  if (seen.loop && o.command != Command::Program) return "--loop belongs to program";
  if (seen.singleRead && o.command != Command::Read && o.command != Command::Diff) {
    return "--single-read belongs to read and diff";
  }
  if (seen.fullVerify && o.command != Command::Program && o.command != Command::Verify) {
    return "--full-verify belongs to program and verify";
  }
  if (o.json && o.command == Command::Read && o.file == "-") return "read - and --json both want stdout";
  if (o.monitor && o.command != Command::Program) return "--monitor belongs to program (the command itself: monitor)";
  const bool monitors = o.monitor || o.command == Command::Monitor;
  if (seen.monitorBaud && !o.monitor) {
    return o.command == Command::Monitor ? "monitor takes its rate from -b RATE" : "--monitor-baud belongs to program --monitor";
  }
  if (seen.watching && !monitors) return "--timestamps, --log and --reconnect belong to monitor and program --monitor";
  if (o.json && monitors) return "the monitor and --json both want stdout";
  const bool takesImage = command->takesFile;
  if (seen.binary && !takesImage) return "--binary belongs to program, verify, diff and read";
  if (seen.address && (!takesImage || o.command == Command::Read)) {
    return "--address belongs to program, verify and diff";
  }
  // An Intel HEX file places its own bytes; an address given with it would be ignored.
  if (seen.address && !o.binary && !file::isBinaryName(o.file)) {
    return "--address places a binary file; " + o.file + " is read as Intel HEX, which holds its own addresses "
           "(--binary reads it as raw bytes)";
  }
  return placeSerialNumber(seen, o);
}

}  // namespace

ParseResult parseArguments(const std::vector<std::string>& configured, const std::vector<std::string>& given) {
  std::vector<std::string> args = configured;
  args.insert(args.end(), given.begin(), given.end());
  ParseResult result;
  Options& o = result.options;
  std::vector<std::string> positional;
  SeenOptions seen;
  auto fail = [&result](std::string why) {
    result.ok = false;
    result.error = std::move(why);
    return result;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // --name=value and --name value are both accepted for the options with a value.
    std::string name = a;
    std::string value;
    bool inlineValue = false;
    if (a.rfind("--", 0) == 0) {
      if (const auto eq = a.find('='); eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        inlineValue = true;
      }
    }
    auto takeValue = [&]() -> bool {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    const bool fromCommandLine = i >= configured.size();
    if (name == "--port" || name == "-p") {
      if (!takeValue() || value.empty()) return fail("--port needs a port name or path");
      o.ports.push_back(value);
    } else if (name == "--baud" || name == "-b") {
      // Checked before anything is sent: a rate of 0 would hang up the line on POSIX.
      if (!takeValue() || !parseCount(value, 1, kMaxBaud, &o.baud)) {
        return fail("--baud needs a bit rate from 1 to " + std::to_string(kMaxBaud) + " (e.g. 115200)");
      }
    } else if (name == "--address") {
      if (!takeValue() || !parseAddress(value, &o.address)) {
        return fail("--address needs an address from 0 to 0xFFFF (e.g. 0x2000)");
      }
      seen.address = true;
    } else if (name == "--reset" || name == "--run") {
      if (!takeValue()) return fail(name + " needs steps dtr=0|1, rts=0|1, wait=MS, comma-separated");
      auto steps = link::parseModemSteps(value);
      if (!steps) return fail(name + " needs steps dtr=0|1, rts=0|1, wait=MS, comma-separated: " + steps.message());
      (name == "--reset" ? o.resetSteps : o.runSteps) = std::move(*steps);
    } else if (name == "--monitor-baud") {
      if (!takeValue() || !parseCount(value, 1, kMaxBaud, &o.monitorBaud)) {
        return fail("--monitor-baud needs a bit rate from 1 to " + std::to_string(kMaxBaud) + " (e.g. 9600)");
      }
      seen.monitorBaud = true;
    } else if (name == "--log") {
      if (!takeValue() || value.empty()) return fail("--log needs a file name");
      o.logFile = value;
      seen.watching = true;
    } else if (name == "--retries") {
      if (!takeValue() || !parseCount(value, 0, 1000000, &o.retries)) {
        return fail("--retries needs a count from 0 up");
      }
    } else if (name == "--sync-timeout") {
      if (!takeValue() || !parseCount(value, 1, 86400, &o.syncTimeoutS)) {
        return fail("--sync-timeout needs a number of seconds from 1 up");
      }
    } else if (name == "--record" || name == "--station" || name == "--serial-file") {
      if (!takeValue() || value.empty()) {
        return fail(name + (name == "--station" ? " needs a name" : " needs a file name"));
      }
      (name == "--record" ? o.record : name == "--station" ? o.station : o.serialFile) = value;
      seen.serial = seen.serial || (fromCommandLine && name == "--serial-file");
    } else if (name == "--serial-at") {
      if (!takeValue() || !parseAddress(value, &o.serialAt)) {
        return fail("--serial-at needs an address from 0 to 0xFBFF (e.g. 0x7FF0)");
      }
      seen.serial = seen.serial || fromCommandLine;
    } else if (name == "--serial-format") {
      if (!takeValue() || !(o.serialFormat = parseSerialFormat(value))) {
        return fail("--serial-format needs le16, be16, le32, be32, dec:N or hex:N (N digits, 1 to 20)");
      }
      seen.serial = seen.serial || fromCommandLine;
    } else if (name == "--config" || name == "--profile") {
      // Read before the rest (the configuration file's options come first).
      if (!takeValue() || value.empty()) {
        return fail(name + (name == "--config" ? " needs a file name" : " needs a profile name"));
      }
    } else if (inlineValue) {
      return fail("option " + name + " takes no value");
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--binary") {
      o.binary = seen.binary = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--force" || a == "-f") {
      o.force = seen.force = true;
    } else if (a == "--loop") {
      o.loop = seen.loop = true;
    } else if (a == "--probe") {
      o.probe = seen.probe = true;
    } else if (a == "--single-read") {
      o.singleRead = seen.singleRead = true;
    } else if (a == "--full-verify") {
      o.fullVerify = seen.fullVerify = true;
    } else if (a == "--monitor") {
      o.monitor = true;
    } else if (a == "--timestamps") {
      o.timestamps = seen.watching = true;
    } else if (a == "--reconnect") {
      o.reconnect = seen.watching = true;
    } else if (a == "--lock0") {
      o.lock0 = seen.lock = true;
    } else if (a == "--lock1") {
      o.lock1 = seen.lock = true;
    } else if (a == "--no-bljb") {
      o.bljb = false;
      seen.lock = true;
    } else if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version" || a == "-V") {
      o.version = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return fail("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (o.help || o.version) {
    // `velkorn-cli COMMAND --help` is the command's own help.
    for (const CommandName& c : kCommands) {
      if (!positional.empty() && positional[0] == c.name) o.command = c.command;
    }
    result.ok = true;
    return result;
  }
  if (std::string why = placeCommand(positional, seen, o); !why.empty()) return fail(why);
  result.ok = true;
  return result;
}

}  // namespace velkorn::cli
