#include "sim/pty_target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "file/atomic_file.h"
#include "file/directories.h"
#include "link/com_name.h"
#include "link/serial_rate.h"

namespace velkorn::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxEraseDelayMs = 600000;
constexpr int kMaxLatencyMs = 10000;
constexpr int kMaxTcpPort = 65535;
// The character the chip measures the line's rate from.
constexpr char kAutobaudChar = 'U';
// How often an idle target looks for an exclusive-use flag that no client holds any more.
constexpr std::chrono::milliseconds kExclusiveCheckInterval{250};

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool parseHexByte(const std::string& text, std::uint8_t& value) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 2) return false;
  unsigned v = 0;
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  value = static_cast<std::uint8_t>(v);
  return true;
}

bool parseHexWord(const std::string& text, int& value) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 4) return false;
  std::uint8_t high = 0, low = 0;
  const std::size_t split = digits.size() > 2 ? digits.size() - 2 : 0;
  if (split > 0 && !parseHexByte(digits.substr(0, split), high)) return false;
  if (!parseHexByte(digits.substr(split), low)) return false;
  value = high << 8 | low;
  return true;
}

bool parseDecimal(const std::string& text, int minimum, int maximum, int& value) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < minimum || v > maximum) return false;
  value = v;
  return true;
}

// The link is named as the programs look it up: "COM" in capitals, then the number.
bool isPortName(const std::string& name) {
  return name.rfind("COM", 0) == 0 && name[3] != '0' && link::comNumber(name) > 0;
}

bool makeDirectories(const std::string& path, std::string& error) {
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
      error = errnoText("cannot create " + partial);
      return false;
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "not a directory: " + path;
    return false;
  }
  return true;
}

std::string linkTarget(const std::string& path) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace

std::string targetUsage() {
  return
      "usage: velkorn-target [options]\n"
      "Simulates the chip's serial bootloader on a pseudo-terminal and prints the port's path\n"
      "as its first line, or with --tcp listens on 127.0.0.1 and prints tcp://127.0.0.1:PORT.\n"
      "  --link COMn          publish the port as COMn in the configuration directory; an\n"
      "                       existing COMn is left alone and the target stops\n"
      "  --replace            with --link: point an existing COMn link at the simulated\n"
      "                       chip while the target runs, and put it back at the end\n"
      "  --tcp PORT           listen on 127.0.0.1:PORT (0: a free port) instead of a\n"
      "                       pseudo-terminal, raw bytes as a network serial server's; one\n"
      "                       programmer at a time: a new connection replaces the old one\n"
      "  --hang-up-after N    with --tcp: close the connection after its N-th byte came in\n"
      "  --rfc2217            with --tcp: serve the Telnet COM-PORT-OPTION (RFC 2217) as a\n"
      "                       network serial server does: rates applied, modem-line steps\n"
      "                       logged (--log)\n"
      "  --needs-reset        with --rfc2217: the board runs its application and answers no\n"
      "                       \"U\" until DTR has gone low and high again\n"
      "  --delay MS           add MS ms each way, as a network between the programmer and the\n"
      "                       line does (answers that end at a pause feel it)\n"
      "  --pace               send at the line rate (rate / 10 bytes per second): the rate\n"
      "                       the programmer set on the port when its \"U\" arrived (115200\n"
      "                       before that, and over --tcp)\n"
      "  --rate N             pace at N bit/s whatever rate the programmer set\n"
      "  --latency MS         hold the output as a USB adapter does: pass it on MS ms after\n"
      "                       the first held byte, or at once when 62 bytes are held\n"
      "  --latency-jitter MS  add a random 0..MS ms to each hold\n"
      "  --seed N             seed of the jitter (default 1): the same seed repeats a run\n"
      "  --manufacturer HEX   identification bytes (default 58, D7, FF)\n"
      "  --family HEX\n"
      "  --product HEX        FF or EF for the known devices, anything else is unknown\n"
      "  --32k                a 32 KiB part (memory code F7)\n"
      "  --security HEX       software security byte (default FF); the chip honours it: bit 0\n"
      "                       clear (FE) refuses data records, bit 4 clear (EF) read requests\n"
      "                       and blank checks too, until a full chip erase\n"
      "  --bsb HEX            boot status byte (default FF)\n"
      "  --sbv HEX            boot vector (default FC)\n"
      "  --hsb HEX            hardware security byte (default FB)\n"
      "  --boot-version HEX   bootloader version (default 12)\n"
      "  --flash-in FILE      binary preset of the flash (a regular file)\n"
      "  --flash-out FILE     write the flash as binary when the program ends, also when it\n"
      "                       is stopped by SIGTERM, SIGINT or SIGHUP (not by SIGKILL); a\n"
      "                       new file or a regular one, replaced whole, never anything else\n"
      "  --flash-out-live     ... and after every erase or data record\n"
      "  --refuse-record N    answer X to the N-th data record, once\n"
      "  --silent-after N     fall silent after N complete records\n"
      "  --drop-echo N        send no echo for the N-th record\n"
      "  --garble-read N      corrupt a data digit of the N-th read answer\n"
      "  --garble-with C      the character that --garble-read puts in (default G; a hex\n"
      "                       digit makes a wrong byte instead of an unreadable one)\n"
      "  --short-read N       answer the N-th read request one character short\n"
      "  --garble-blank-check N  make the N-th blank-check answer neither \".\" nor an\n"
      "                       address (\"G.\", or a G among the address digits)\n"
      "  --late-blank-check N send the N-th blank-check answer late (after its echo)\n"
      "  --late-by MS         ... by MS ms (default 6000: past the programmer's wait)\n"
      "  --drop-blank-check N send no answer to the N-th blank check (only its echo)\n"
      "  --lie-blank-check N  answer the N-th blank check \".\" whatever the range holds\n"
      "  --erase-delay MS     answer the erase this much later\n"
      "  --refuse-erase       answer X to the erase\n"
      "  --refuse-lock0       answer X to the \"Lock Erase, Prog.\" record and stay unlocked\n"
      "  --refuse-lock1       answer X to the \"... Read, Blank Check\" record, the same\n"
      "  --refuse-bljb        answer X to the BLJB records and keep the bit\n"
      "  --forget-locks       answer . to both lock records but stay unlocked\n"
      "  --stuck-cell ADDR    the flash byte at ADDR (hexadecimal) keeps --stuck-value\n"
      "                       whatever is programmed or erased; the records are accepted\n"
      "  --stuck-value HEX    ... FF (default: will not program) or e.g. 00 (will not erase)\n"
      "  --drop-input N       lose the N-th byte from the programmer\n"
      "  --garble-input N     flip the lowest bit of the N-th byte from the programmer\n"
      "  --drop-output N      lose the N-th byte to the programmer\n"
      "  --garble-output N    flip the lowest bit of the N-th byte to the programmer\n"
      "  --app-line TEXT      the chip's application: while it runs it prints TEXT and CR LF\n"
      "                       every --app-every ms, the first \"@\" in TEXT replaced by the\n"
      "                       line's number (000 to 999), and answers each line it is sent\n"
      "                       with \"got LINE\"; it starts at a reset by DTR over --rfc2217\n"
      "                       when the boot loader jump bit is cleared and RTS is low\n"
      "  --app-every MS       the application's period (default 100)\n"
      "  --app-baud N         the application's rate: on a line set to another rate its\n"
      "                       bytes arrive garbled (default: any rate)\n"
      "  --app-running        the application runs from the start (on a pseudo-terminal it\n"
      "                       then runs until the target ends)\n"
      "  --absent             start with no board in the socket: nothing answers, and the\n"
      "                       --link COMn exists only while a board is there; SIGUSR1 puts a\n"
      "                       new board in (erased, or --flash-in), SIGUSR2 takes it out and\n"
      "                       writes its flash to the --flash-out FILE.N of board N\n"
      "                       (without --absent, board 1 is in at the start)\n"
      "  --bad-board N        the N-th board put in answers X to its first data record\n"
      "  --log                print each record and its answer on stderr, and the port's rate\n"
      "                       when it changes (as the programmer or a server set it)\n"
      "  --version            the version\n"
      "  -h, --help           this text\n";
}

namespace {

// The options whose value is neither a hexadecimal byte nor a count.
constexpr const char* kValueOptions[] = {"--rate", "--erase-delay", "--late-by", "--tcp", "--latency",
                                         "--latency-jitter", "--delay", "--seed", "--garble-with",
                                         "--link", "--flash-in", "--flash-out", "--stuck-cell", "--app-line",
                                         "--app-every", "--app-baud"};

bool takesValue(const std::string& name) {
  return std::any_of(std::begin(kValueOptions), std::end(kValueOptions),
                     [&](const char* option) { return name == option; });
}

// Applies one of kValueOptions; false with `error` set when the value does not fit.
bool applyValue(const std::string& name, const std::string& v, TargetOptions& o, std::string& error) {
  if (name == "--rate") {
    if (!parseDecimal(v, 10, 100000000, o.rateBitsPerSecond)) {
      error = "option --rate: '" + v + "' is not a line rate in bit/s";
      return false;
    }
  } else if (name == "--erase-delay" || name == "--late-by") {
    int& field = name == "--erase-delay" ? o.faults.eraseDelayMs : o.faults.lateByMs;
    if (!parseDecimal(v, 0, kMaxEraseDelayMs, field)) {
      error = "option " + name + ": '" + v + "' is not a time in milliseconds (0 to 600000)";
      return false;
    }
  } else if (name == "--tcp") {
    if (!parseDecimal(v, 0, kMaxTcpPort, o.tcpPort)) {
      error = "option --tcp: '" + v + "' is not a TCP port (0 to 65535)";
      return false;
    }
  } else if (name == "--latency" || name == "--latency-jitter" || name == "--delay") {
    int& field = name == "--latency" ? o.latencyMs : name == "--delay" ? o.delayMs : o.latencyJitterMs;
    if (!parseDecimal(v, 0, kMaxLatencyMs, field)) {
      error = "option " + name + ": '" + v + "' is not a time in milliseconds (0 to 10000)";
      return false;
    }
  } else if (name == "--seed") {
    int seed = 0;
    if (!parseDecimal(v, 0, 999999999, seed)) {
      error = "option --seed: '" + v + "' is not a number of 0 or more";
      return false;
    }
    o.seed = static_cast<std::uint32_t>(seed);
  } else if (name == "--garble-with") {
    if (v.size() != 1 || v[0] < 0x21 || v[0] > 0x7E) {
      error = "option --garble-with: '" + v + "' is not one printable character";
      return false;
    }
    o.faults.garbleReadWith = v[0];
  } else if (name == "--stuck-cell") {
    if (!parseHexWord(v, o.faults.stuckCell)) {
      error = "option --stuck-cell: '" + v + "' is not a hexadecimal address (0 to FFFF)";
      return false;
    }
  } else if (name == "--link") {
    if (!isPortName(v)) {
      error = "option --link: '" + v + "' is not a port name such as COM3";
      return false;
    }
    o.link = v;
  } else if (name == "--app-line") {
    if (v.empty() || v.find_first_of("\r\n") != std::string::npos) {
      error = "option --app-line needs a text of one line";
      return false;
    }
    o.appLine = v;
  } else if (name == "--app-every") {
    if (!parseDecimal(v, 1, kMaxLatencyMs, o.appEveryMs)) {
      error = "option --app-every: '" + v + "' is not a time in milliseconds (1 to 10000)";
      return false;
    }
  } else if (name == "--app-baud") {
    if (!parseDecimal(v, 10, 100000000, o.appRate)) {
      error = "option --app-baud: '" + v + "' is not a line rate in bit/s";
      return false;
    }
  } else if (name == "--flash-in" || name == "--flash-out") {
    if (v.empty()) {
      error = "option " + name + " needs a file name";
      return false;
    }
    (name == "--flash-in" ? o.flashIn : o.flashOut) = v;
  }
  return true;
}

// Options that only make sense together; false with `error` naming the one missing.
bool checkCombinations(const TargetOptions& o, std::string& error) {
  if (o.tcpPort >= 0 && !o.link.empty()) {
    error = "options --tcp and --link exclude each other (--link names a pseudo-terminal)";
    return false;
  }
  if (o.replaceLink && o.link.empty()) {
    error = "option --replace needs --link COMn";
    return false;
  }
  if (o.rfc2217 && o.tcpPort < 0) {
    error = "option --rfc2217 needs --tcp PORT";
    return false;
  }
  // Only RFC 2217 carries the modem lines here: a pseudo-terminal has none.
  if (o.needsReset && !o.rfc2217) {
    error = "option --needs-reset needs --rfc2217 (only it carries DTR here)";
    return false;
  }
  if (o.hangUpAfter > 0 && o.tcpPort < 0) {
    error = "option --hang-up-after needs --tcp PORT";
    return false;
  }
  if (o.appRunning && o.appLine.empty()) {
    error = "option --app-running needs --app-line TEXT";
    return false;
  }
  if (o.flashOutLive && o.flashOut.empty()) {
    error = "option --flash-out-live needs --flash-out FILE";
    return false;
  }
  return true;
}

}  // namespace

std::optional<TargetOptions> parseTargetOptions(const std::vector<std::string>& args, std::string& error) {
  TargetOptions o;
  struct HexOption { const char* name; std::uint8_t* field; };
  struct CountOption { const char* name; int* field; };
  const HexOption hexOptions[] = {
      {"--manufacturer", &o.profile.manufacturer}, {"--family", &o.profile.family},
      {"--product", &o.profile.product},           {"--security", &o.profile.securityByte},
      {"--bsb", &o.profile.bootStatus},            {"--sbv", &o.profile.bootVector},
      {"--hsb", &o.profile.hardwareSecurity},      {"--boot-version", &o.profile.bootloaderVersion},
      {"--stuck-value", &o.faults.stuckValue},
  };
  const CountOption countOptions[] = {
      {"--refuse-record", &o.faults.refuseDataRecord}, {"--silent-after", &o.faults.silentAfterRecords},
      {"--drop-echo", &o.faults.dropEchoOfRecord},     {"--garble-read", &o.faults.garbleReadBlock},
      {"--short-read", &o.faults.shortReadBlock},      {"--drop-input", &o.faults.dropInputByte},
      {"--garble-input", &o.faults.garbleInputByte},   {"--drop-output", &o.faults.dropOutputByte},
      {"--garble-output", &o.faults.garbleOutputByte}, {"--hang-up-after", &o.hangUpAfter},
      {"--garble-blank-check", &o.faults.garbleBlankCheck}, {"--late-blank-check", &o.faults.lateBlankCheck},
      {"--drop-blank-check", &o.faults.dropBlankCheck}, {"--lie-blank-check", &o.faults.lieBlankCheck},
      {"--bad-board", &o.badBoard},
  };

  bool small = false;  // --32k
  const struct {
    const char* name;
    bool* field;
  } flags[] = {
      {"--help", &o.help},           {"-h", &o.help},
      {"--version", &o.version},     {"--32k", &small},
      {"--pace", &o.pace},           {"--log", &o.log},
      {"--refuse-erase", &o.faults.refuseErase}, {"--flash-out-live", &o.flashOutLive},
      {"--replace", &o.replaceLink}, {"--rfc2217", &o.rfc2217},
      {"--needs-reset", &o.needsReset}, {"--app-running", &o.appRunning},
      {"--refuse-lock0", &o.faults.refuseLock0}, {"--refuse-lock1", &o.faults.refuseLock1},
      {"--refuse-bljb", &o.faults.refuseBljb},   {"--forget-locks", &o.faults.forgetLocks},
      {"--needs-reset", &o.needsReset}, {"--absent", &o.absent},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    // The value of an option that takes one: after "=" or as the next argument.
    auto value = [&](std::string& out) {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    auto flag = [&](bool& field) {
      if (inlineValue) {
        error = "option " + name + " takes no value";
        return false;
      }
      field = true;
      return true;
    };

    bool handled = false;
    for (const auto& h : hexOptions) {
      if (name != h.name) continue;
      std::string v;
      if (!value(v)) return std::nullopt;
      if (!parseHexByte(v, *h.field)) {
        error = "option " + name + ": '" + v + "' is not a hexadecimal byte";
        return std::nullopt;
      }
      handled = true;
    }
    for (const auto& c : countOptions) {
      if (name != c.name) continue;
      std::string v;
      if (!value(v)) return std::nullopt;
      if (!parseDecimal(v, 1, 999999999, *c.field)) {
        error = "option " + name + ": '" + v + "' is not a count of 1 or more";
        return std::nullopt;
      }
      handled = true;
    }
    for (const auto& f : flags) {
      if (name != f.name) continue;
      if (!flag(*f.field)) return std::nullopt;
      handled = true;
    }
    if (handled) continue;
    if (!takesValue(name)) {
      error = "unknown option '" + args[i] + "'";
      return std::nullopt;
    }
    std::string v;
    if (!value(v) || !applyValue(name, v, o, error)) return std::nullopt;
  }
  if (small) o.profile.memoryCode = 0xF7;
  if (!checkCombinations(o, error)) return std::nullopt;
  return o;
}

// Points `path` at `target` in one step, whatever was there: a link made beside it and
// renamed over it, so the name never goes missing for a program that looks it up meanwhile.
bool swapLink(const std::string& path, const std::string& target, std::string& error) {
  const std::string temporary = path + ".velkorn-target-" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) {
    error = errnoText("cannot create the link " + temporary);
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errnoText("cannot replace the link " + path);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::optional<PortLink> createPortLink(const std::string& name, const std::string& target, bool replace,
                                       std::string& error) {
  const std::string dir = file::configDirectory();
  if (!makeDirectories(dir, error)) return std::nullopt;
  PortLink made{dir + "/" + name, target, {}};
  // symlink() refuses an existing name by itself: nothing of the user's is touched between
  // a look and a change.
  if (::symlink(target.c_str(), made.path.c_str()) == 0) return made;
  if (errno != EEXIST) {
    error = errnoText("cannot create the link " + made.path);
    return std::nullopt;
  }
  struct stat st {};
  if (::lstat(made.path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    error = made.path + " exists and is not a symbolic link: velkorn-target leaves it alone";
    return std::nullopt;
  }
  const std::string old = linkTarget(made.path);
  if (!replace) {
    error = name + " is taken: " + made.path + " points to " + old +
            ". velkorn-target leaves it alone; --link another COMn, or add --replace to point " + name +
            " at the simulated chip while it runs";
    return std::nullopt;
  }
  if (!swapLink(made.path, target, error)) return std::nullopt;
  made.replaced = old;
  return made;
}

void removePortLink(const PortLink& link) {
  if (link.path.empty() || linkTarget(link.path) != link.target) return;
  std::string error;
  if (link.replaced.empty() || !swapLink(link.path, link.replaced, error)) ::unlink(link.path.c_str());
}

namespace {

// What kind of thing `mode` is, for a refusal.
std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

}  // namespace

std::optional<std::string> flashOutProblem(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return errnoText(path);
  }
  if (S_ISREG(st.st_mode)) return std::nullopt;
  return path + " is " + kindOf(st.st_mode) + ": --flash-out writes a regular file or a new one only";
}

bool writeFlashFile(const std::string& path, const Bootloader& model, std::string& error) {
  const auto size = static_cast<std::size_t>(model.profile().flashSize());
  const std::string bytes(reinterpret_cast<const char*>(model.flash().data()), size);
  // Through a temporary file of its own beside it and a rename that replaces a regular file
  // only: a device, a folder or a link at the name, or at any name beside it, stays as it is.
  if (const Status written = velkorn::file::replaceFile(path, bytes); !written) {
    error = "cannot write " + path + ": " + written.message();
    return false;
  }
  return true;
}

bool readFlashFile(const std::string& path, Bootloader& model, std::string& error) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer, deaf to SIGTERM.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errnoText("cannot open " + path);
    return false;
  }
  struct stat st {};
  const auto size = static_cast<std::size_t>(model.profile().flashSize());
  if (::fstat(fd, &st) != 0) {
    error = errnoText("cannot open " + path);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + " is " + kindOf(st.st_mode) + ": --flash-in reads a regular file only";
    ::close(fd);
    return false;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > size) {
    error = path + " holds " + std::to_string(st.st_size) + " bytes, more than the flash (" + std::to_string(size) +
            ")";
    ::close(fd);
    return false;
  }
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errnoText("cannot read " + path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    // A file that grows while it is read is still held to the flash's size.
    if (bytes.size() > size) break;
  }
  ::close(fd);
  if (bytes.size() > size) {
    error = path + " holds more than the flash (" + std::to_string(size) + " bytes)";
    return false;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) model.flash()[i] = static_cast<std::uint8_t>(bytes[i]);
  return true;
}

PtyTarget::~PtyTarget() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

bool PtyTarget::open(std::string& error) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    error = errnoText("posix_openpt");
    return false;
  }
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    error = errnoText("cannot unlock the pseudo-terminal");
    return false;
  }
  const char* name = ::ptsname(master_);
  if (!name) {
    error = errnoText("ptsname");
    return false;
  }
  slavePath_ = name;
  slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    error = errnoText("cannot open " + slavePath_);
    return false;
  }
  // Raw: the line discipline must neither echo nor translate what passes through.
  termios tio {};
  if (::tcgetattr(slave_, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    ::tcsetattr(slave_, TCSANOW, &tio);
  }
  const int flags = ::fcntl(master_, F_GETFL);
  if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errnoText("cannot make the pseudo-terminal non-blocking");
    return false;
  }
  return true;
}

// The programmer takes the port with flock and TIOCEXCL and clears TIOCEXCL when it closes.
// A programmer that dies leaves the flag set, and since our own slave descriptor keeps the
// terminal alive, nobody but root could open the port again. Clear the flag once no client
// holds the lock any more; while the flag is set no new client can slip in between.
void PtyTarget::releaseStaleExclusive() {
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (::ioctl(slave_, TIOCGEXCL, &exclusive) != 0 || !exclusive) return;
  if (::flock(slave_, LOCK_EX | LOCK_NB) != 0) return;  // a client still holds the port
  ::ioctl(slave_, TIOCNXCL);
  ::flock(slave_, LOCK_UN);
#endif
}

void PtyTarget::onInput(std::string_view bytes) {
  if (bytes.find(static_cast<char>(kAutobaudChar)) == std::string_view::npos) return;
  const int rate = link::lineRate(slave_);
  if (rate == lineRate_) return;
  lineRate_ = rate;
  if (paceAtLineRate_ && rate > 0) setPacing(rate);
  if (onLineRate) onLineRate(rate);
}

LineTarget::Clock::time_point PtyTarget::housekeeping(Clock::time_point now) {
  releaseStaleExclusive();
  return now + kExclusiveCheckInterval;
}

}  // namespace velkorn::sim

namespace velkorn::sim {

int PtyTarget::lineRateNow() const { return link::lineRate(slave_); }

// Our programs hold the port with flock while they have it open. Another client (one that
// takes no lock, Wine's serial driver for one) shows itself by reading: the queue the last
// line went into is empty again. Where neither is seen, what waits in the queue is stale and
// goes, so a client that opens the port later starts with at most one old line.
bool PtyTarget::programmerPresent() const {
  if (::flock(slave_, LOCK_EX | LOCK_NB) != 0) return true;
  ::flock(slave_, LOCK_UN);
  int waiting = 0;
  if (::ioctl(slave_, FIONREAD, &waiting) == 0 && waiting == 0) return true;
  ::tcflush(slave_, TCIFLUSH);
  return false;
}

}  // namespace velkorn::sim
