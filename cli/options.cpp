#include "cli/options.h"

#include <charconv>

namespace velkorn::cli {
namespace {

bool parseCount(const std::string& text, int low, int high, int* out) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) return false;
  *out = value;
  return true;
}

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
};

}  // namespace

#ifdef _WIN32
constexpr const char* kPortUsage = "[--port COMn|PATH]";
constexpr const char* kPortOption =
    "  --port PORT         serial port (default COM1; COMn is \\\\.\\COMn, any n); network ports\n"
    "                      (tcp://, rfc2217://) are not available in the Windows build\n";
#else
constexpr const char* kPortUsage = "[--port COMn|PATH|tcp://HOST:PORT|rfc2217://HOST:PORT]";
constexpr const char* kPortOption =
    "  --port PORT         serial port (default COM1; COMn follows ~/.config/velkorn/COMn),\n"
    "                      or a network serial server: tcp://HOST:PORT (raw; the server's\n"
    "                      port must run at 115200) or rfc2217://HOST:PORT (IPv6: [ADDR])\n";
#endif

std::string usageText() {
  return std::string("usage: velkorn-cli ") + kPortUsage + "\n"
         "                   [--retries N] [--sync-timeout S] [--quiet] [--verbose] COMMAND [ARGS]\n"
         "\n"
         "commands:\n"
         "  info                          synchronise and print the device information\n"
         "  program FILE.hex [--lock0] [--lock1] [--no-bljb] [--full-verify]\n"
         "                                load, erase, program, verify, write boot configuration\n"
         "  verify FILE.hex [--full-verify]\n"
         "                                read back and compare (\"Matched OK!!!\" on success)\n"
         "  diff FILE.hex [--single-read] compare the whole chip and list every differing range\n"
         "  read OUT.hex [--force] [--single-read]\n"
         "                                read the chip and write it as Intel HEX\n"
         "  erase                         full chip erase\n"
         "  boot [--lock0] [--lock1] [--no-bljb]\n"
         "                                write security and boot configuration\n"
         "\n"
         "options:\n" +
         kPortOption +
         "  --retries N         answer a retry box OK up to N times in a row (default 3)\n"
         "  --sync-timeout S    give up synchronising after S seconds (default 60)\n"
         "  --quiet             no progress display and no success messages\n"
         "  --verbose           show the debug log (records and replies) on stderr\n"
         "  --lock0             lock erase and programming\n"
         "  --lock1             lock erase, programming, reading and blank check\n"
         "  --no-bljb           clear the boot loader jump bit (start the application)\n"
         "  --force             read: overwrite an existing output file\n"
         "  --full-verify       program, verify: read the whole chip back (by default only the\n"
         "                      blocks that hold file data are read, the rest blank-checked)\n"
         "  --single-read       read, diff: read each block once (by default every block is\n"
         "                      read twice and the answers must agree; read answers carry\n"
         "                      no checksum)\n"
         "  --help, --version\n"
         "\n"
         "exit status: 0 done, 1 chip operation failed (diff: the chip differs),\n"
         "2 usage or input file error, 3 port cannot be opened or target does not synchronise\n";
}

ParseResult parseOptions(const std::vector<std::string>& args) {
  ParseResult result;
  Options& o = result.options;
  std::vector<std::string> positional;
  bool sawLockOption = false;
  bool sawForce = false;
  bool sawSingleRead = false;
  bool sawFullVerify = false;
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
    if (name == "--port" || name == "-p") {
      if (!takeValue() || value.empty()) return fail("--port needs a port name or path");
      o.ports.push_back(value);
    } else if (name == "--retries") {
      if (!takeValue() || !parseCount(value, 0, 1000000, &o.retries)) {
        return fail("--retries needs a count from 0 up");
      }
    } else if (name == "--sync-timeout") {
      if (!takeValue() || !parseCount(value, 1, 86400, &o.syncTimeoutS)) {
        return fail("--sync-timeout needs a number of seconds from 1 up");
      }
    } else if (inlineValue) {
      return fail("option " + name + " takes no value");
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--force" || a == "-f") {
      o.force = sawForce = true;
    } else if (a == "--single-read") {
      o.singleRead = sawSingleRead = true;
    } else if (a == "--full-verify") {
      o.fullVerify = sawFullVerify = true;
    } else if (a == "--lock0") {
      o.lock0 = sawLockOption = true;
    } else if (a == "--lock1") {
      o.lock1 = sawLockOption = true;
    } else if (a == "--no-bljb") {
      o.bljb = false;
      sawLockOption = true;
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
    result.ok = true;
    return result;
  }
  if (positional.empty()) return fail("no command given");
  const CommandName* command = nullptr;
  for (const CommandName& c : kCommands) {
    if (positional[0] == c.name) command = &c;
  }
  if (!command) return fail("unknown command " + positional[0]);
  o.command = command->command;
  const std::size_t wanted = command->takesFile ? 2 : 1;
  if (positional.size() < wanted) return fail(std::string(command->name) + " needs a file name");
  if (positional.size() > wanted) return fail("unexpected argument " + positional[wanted]);
  if (command->takesFile) o.file = positional[1];
  if (sawLockOption && !command->takesBootOptions) {
    return fail("--lock0, --lock1 and --no-bljb belong to program and boot");
  }
  if (sawForce && o.command != Command::Read) return fail("--force belongs to read");
  if (sawSingleRead && o.command != Command::Read && o.command != Command::Diff) {
    return fail("--single-read belongs to read and diff");
  }
  if (sawFullVerify && o.command != Command::Program && o.command != Command::Verify) {
    return fail("--full-verify belongs to program and verify");
  }
  result.ok = true;
  return result;
}

}  // namespace velkorn::cli
