// Fault soak: a few hundred velkorn-cli commands against velkorn-target, each with a fault
// chosen at random from a fixed seed (refused records, silence, garbled digits that are still
// hex, dropped echoes and bytes, late answers, blank-check answers garbled, late or missing,
// the target killed). Counts hangs, crashes and
// false successes (exit 0 or a result line while the simulated flash, or the file read, says
// otherwise). All three must be 0; the counts are printed either way.
//
// VELKORN_SOAK_RUNS sets the number of commands (default 240), VELKORN_SOAK_SEED the seed,
// VELKORN_SOAK_SHARDS how many run side by side (default 12; shard k draws from seed + k).
// VELKORN_SOAK_SLICE=1 (set by the build for every build but the sanitizer one) runs a fixed
// slice of the draw instead: the first commands of each shard, a smaller full image and
// fewer faulty lines.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cli/process.h"
#include "support/pty.h"
#include "image/hex_file.h"
#include "image/hex_writer.h"

namespace velkorn::testing {
namespace {
namespace fs = std::filesystem;
using Flash = std::vector<std::uint8_t>;

constexpr int kFlashSize = 0x10000;
constexpr int kCompareBelow = 0xFC00;  // verify leaves the bootloader's area out
constexpr std::chrono::seconds kHangLimit{150};

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

// The bytes an Intel HEX text puts into an erased image; nullopt when a line is bad.
std::optional<Flash> loadHex(const std::string& text) {
  Image image;
  image.fill(0xFF);
  HexLineLoader loader(image);
  for (const std::string& line : splitHexLines(text)) {
    if (!loader.load(line).empty()) return std::nullopt;
  }
  return Flash(image.begin(), image.end());
}

int envInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// The whole draw runs once per test run, in the sanitizer build, where a fault it provokes
// also shows as a bad access; the other builds run the same draw's first commands only.
bool slice() { return envInt("VELKORN_SOAK_SLICE", 0) != 0; }

struct Child {
  int status = 0;
  bool exited = false, signaled = false, hung = false;
  std::string out, err;
};

// Runs a program to its end; a program still running after `limit` is killed and counted hung.
Child runChild(const std::vector<std::string>& argv, std::chrono::seconds limit) {
  Child c;
  pid_t pid = 0;
  int outFd = -1, errFd = -1;
  const auto start = std::chrono::steady_clock::now();
  if (!spawnWithPipes(argv, &pid, &outFd, &errFd)) {
    c.signaled = true;
    return c;
  }
  drain(outFd, errFd, c.out, c.err, start + limit);
  ::close(outFd);
  ::close(errFd);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > start + limit) {
      c.hung = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return c;
    }
    ::usleep(2000);
  }
  c.exited = WIFEXITED(status);
  c.signaled = WIFSIGNALED(status);
  c.status = c.exited ? WEXITSTATUS(status) : -1;
  return c;
}

struct Tally {
  int runs = 0, hangs = 0, crashes = 0, falseSuccesses = 0, resultsOnFailure = 0;
  std::map<int, int> exits;
  std::map<std::string, int> shapes;  // commands per shape of file drawn
  std::vector<std::string> findings;
};

class Soak {
 public:
  explicit Soak(unsigned seed) : random_(seed) {
    dir_ = fs::temp_directory_path() / ("velkorn_soak_" + std::to_string(::getpid()) + "_" + std::to_string(seed));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~Soak() { fs::remove_all(dir_); }

  void runOne(int index, Tally& tally) {
    static const char* const kCommands[] = {"info", "program", "verify", "read", "erase", "boot", "diff"};
    const std::string command = kCommands[pick(0, 6)];
    // A 32 KiB part or a 64 KiB one: every shape of file below must be judged on both.
    const bool small = pick(0, 2) == 0;
    const int partSize = small ? 0x8000 : kFlashSize;
    const Shape shape = drawShape(partSize);
    const fs::path filePath = dir_ / (shape.binary ? "fw.bin" : "fw.hex");
    fs::remove(dir_ / "fw.bin");
    fs::remove(dir_ / "fw.hex");
    writeFile(filePath, shape.text);

    // The chip's flash before the command: what the check afterwards is measured against.
    Flash before(static_cast<std::size_t>(partSize), 0xFF);
    if (command == "verify" || command == "diff") {
      std::copy(shape.image.begin(), shape.image.begin() + partSize, before.begin());
      if (pick(0, 2) == 0) before[static_cast<std::size_t>(pick(0, partSize - 1))] ^= 0x5A;
    } else if (command != "info" && command != "boot") {
      for (auto& b : before) b = static_cast<std::uint8_t>(random_());
    }
    writeFile(dir_ / "flash_in.bin", std::string(before.begin(), before.end()));
    fs::remove(dir_ / "flash.bin");
    fs::remove(dir_ / "out.hex");

    std::vector<std::string> targetArgs = {"--flash-in", (dir_ / "flash_in.bin").string(), "--flash-out",
                                           (dir_ / "flash.bin").string(), "--flash-out-live"};
    if (small) targetArgs.push_back("--32k");
    int killAfterMs = -1;
    Promise promise;
    const std::string fault = chooseFault(targetArgs, killAfterMs, command, promise);
    Target target(targetArgs, (dir_ / "target.log").string());
    if (target.port().empty()) {
      tally.findings.push_back("velkorn-target did not start with " + fault);
      ++tally.crashes;
      return;
    }
    std::vector<std::string> argv = {VELKORN_CLI_PATH, "--port", target.port(), "--retries", "2",
                                     "--sync-timeout", "2", command};
    if (command == "program" || command == "verify" || command == "diff") argv.push_back(filePath.string());
    if (command == "read") argv.push_back((dir_ / "out.hex").string());
    argv.insert(argv.end(), promise.options.begin(), promise.options.end());
    // Now and then stdout is closed or a pipe nobody reads: the result never arrives, so
    // no command may end in success.
    const int spoilt = pick(0, 11);
    std::string how = shape.name;
    if (spoilt == 0) {
      argv.insert(argv.begin(), {"/bin/bash", "-c", "exec \"$0\" \"$@\" >&-"});
      how += ", stdout closed";
    } else if (spoilt == 1) {
      argv.insert(argv.begin(), {"/bin/bash", "-c", "\"$0\" \"$@\" | true; exit ${PIPESTATUS[0]}"});
      how += ", stdout a pipe nobody reads";
    }

    std::thread killer;
    if (killAfterMs >= 0) {
      killer = std::thread([&target, killAfterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
        target.stop();
      });
    }
    const Child c = runChild(argv, kHangLimit);
    if (killer.joinable()) killer.join();
    target.stop();
    const std::string bin = readFile(dir_ / "flash.bin");
    const Flash after = bin.size() == static_cast<std::size_t>(partSize) ? Flash(bin.begin(), bin.end()) : before;

    ++tally.runs;
    ++tally.exits[c.status];
    ++tally.shapes[shape.name];
    const std::string what = "#" + std::to_string(index) + " " + command + (small ? " (32 KiB)" : "") + " of " +
                             how + " with " + fault;
    if (c.hung) {
      ++tally.hangs;
      tally.findings.push_back(what + ": hung");
      return;
    }
    if (c.signaled || c.status < 0 || c.status > 3) {
      ++tally.crashes;
      tally.findings.push_back(what + ": ended by a signal or with status " + std::to_string(c.status) + "\n" + c.err);
      return;
    }
    // diff lists the differing ranges on stdout with status 1: that is its result.
    const bool resultShown = !c.out.empty() && !(command == "diff" && c.status == 1);
    if (resultShown && c.status != 0) {
      ++tally.resultsOnFailure;
      tally.findings.push_back(what + ": a result on stdout with status " + std::to_string(c.status) + ": " + c.out);
    }
    const bool truth = spoilt > 1 && truthful(command, shape, partSize, after, promise, c);
    if ((c.status == 0 || resultShown) && !truth) {
      ++tally.falseSuccesses;
      tally.findings.push_back(what + ": status " + std::to_string(c.status) + " but the chip says otherwise\n" +
                               c.out + c.err);
    }
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  // A file to work with: its text, and the image it means (all of it, also where the chip
  // or a NUL would cut it short).
  struct Shape {
    const char* name;
    std::string text;
    Flash image;
    bool fits = true;     // every byte below the part's size
    bool loads = true;    // a file the loader takes whole
    bool binary = false;  // a .bin file
  };

  Shape drawShape(int partSize) {
    Shape s{"a sparse image", {}, randomFirmware(), true, true, false};
    switch (pick(0, 9)) {
      case 0: {
        s.name = "a dense image";
        for (int a = 0; a < partSize; ++a) s.image[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(random_());
        break;
      }
      case 1: {
        s.name = "data in the top KiB";
        const int at = partSize - 1024 + pick(0, 1023);
        s.image[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(pick(0, 0xFE));
        break;
      }
      case 2:
        if (partSize < kFlashSize) {
          s.name = "data past the chip";
          s.image[static_cast<std::size_t>(pick(partSize, kFlashSize - 1))] = static_cast<std::uint8_t>(pick(0, 0xFE));
        }
        break;
      case 3:
        s.name = "an empty file";
        std::fill(s.image.begin(), s.image.end(), 0xFF);
        break;
      case 4: {
        s.name = "an empty binary file";
        std::fill(s.image.begin(), s.image.end(), 0xFF);
        s.binary = true;
        s.text.clear();
        return s;
      }
      case 5: s.name = "records hidden behind a NUL"; break;
      case 6: s.name = "NUL padding at the end"; break;
      default: break;
    }
    for (int a = partSize; a < kFlashSize; ++a) {
      if (s.image[static_cast<std::size_t>(a)] != 0xFF) s.fits = false;
    }
    s.text = sparseHex(s.image);
    if (std::string(s.name) == "records hidden behind a NUL") {
      const std::size_t lineEnd = s.text.find('\n');
      s.text.insert(lineEnd + 1, std::string(1, '\0'));
      s.loads = s.text.find(':', lineEnd + 2) == s.text.rfind(":00000001FF");  // only the end record behind it
      if (s.loads) s.name = "a NUL before the end record";
    } else if (std::string(s.name) == "NUL padding at the end") {
      s.text += std::string(static_cast<std::size_t>(pick(1, 64)), '\0');
    }
    return s;
  }

  // Code in a few places of the chip, the rest erased.
  Flash randomFirmware() {
    Flash f(kFlashSize, 0xFF);
    const int pieces = pick(1, 3);
    for (int p = 0; p < pieces; ++p) {
      const int at = pick(0, 0xF000 / 16) * 16;
      const int length = pick(1, 512);
      for (int i = 0; i < length && at + i < kFlashSize; ++i) f[static_cast<std::size_t>(at + i)] = static_cast<std::uint8_t>(random_());
    }
    return f;
  }

  // Only the records that carry data, as a firmware file holds them.
  static std::string sparseHex(const Flash& f) {
    std::string out;
    for (int a = 0; a < kFlashSize; a += 16) {
      const auto first = f.begin() + a;
      if (std::all_of(first, first + 16, [](std::uint8_t b) { return b == 0xFF; })) continue;
      char line[64];
      unsigned sum = 0x10 + (static_cast<unsigned>(a) >> 8) + (static_cast<unsigned>(a) & 0xFF);
      int at = std::snprintf(line, sizeof line, ":10%04X00", a);
      for (int i = 0; i < 16; ++i) {
        sum += first[i];
        at += std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X", first[i]);
      }
      std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
      out += line;
    }
    return out + ":00000001FF\r\n";
  }

  // What a command was asked for beyond the file: locks and the boot-jump bit, and whether
  // the chip can keep those promises.
  struct Promise {
    std::vector<std::string> options;
    bool keepable = true;
  };

  std::string chooseFault(std::vector<std::string>& args, int& killAfterMs, const std::string& command,
                          Promise& promise) {
    if ((command == "program" || command == "boot") && pick(0, 2) == 0) {
      // Locks that the chip refuses, forgets or sets; the boot-jump bit likewise.
      static const char* const kAsks[] = {"--lock0", "--lock1", "--no-bljb"};
      const std::string ask = kAsks[pick(0, 2)];
      promise.options = {ask};
      switch (pick(0, 2)) {
        case 0:
          if (ask == "--no-bljb") args.push_back("--refuse-bljb");
          else args.push_back(ask == "--lock0" ? "--refuse-lock0" : "--refuse-lock1");
          promise.keepable = false;
          return ask + " refused";
        case 1:
          if (ask == "--no-bljb") return ask + " kept";
          args.push_back("--forget-locks");
          promise.keepable = false;
          return ask + " accepted but not set";
        default: return ask + " kept";
      }
    }
    // A blank check that says "." over data, or a cell that keeps its value whatever is
    // written: a verify that trusts one answer, or compares too little, passes them.
    if (command != "info" && command != "boot" && command != "erase" && pick(0, 5) == 0) {
      const std::string check = std::to_string(pick(1, 6));
      if (pick(0, 1) == 0) {
        args.insert(args.end(), {"--lie-blank-check", check});
        return "blank check " + check + " lying";
      }
      char cell[8];
      std::snprintf(cell, sizeof cell, "%04X", static_cast<unsigned>(pick(0, 0x7FFF)));
      const char* value = pick(0, 1) == 0 ? "FF" : "00";
      args.insert(args.end(), {"--stuck-cell", cell, "--stuck-value", value, "--lie-blank-check", check});
      return std::string("a cell at ") + cell + " stuck at " + value + ", blank check " + check + " lying";
    }
    return chooseLineFault(args, killAfterMs);
  }

  std::string chooseLineFault(std::vector<std::string>& args, int& killAfterMs) {
    const std::string n = std::to_string(pick(1, 40));
    auto add = [&args](std::vector<std::string> a) {
      args.insert(args.end(), a.begin(), a.end());
      return std::string();
    };
    // Commands ask a handful of blank checks at most.
    const std::string check = std::to_string(pick(1, 6));
    switch (pick(0, 17)) {
      case 0: return "no fault";
      case 1: add({"--refuse-record", std::to_string(pick(1, 3))}); return "a refused data record";
      case 2: add({"--silent-after", n}); return "silence after " + n + " records";
      case 3: add({"--drop-echo", n}); return "no echo for record " + n;
      case 4: {
        const std::string digit(1, "0123456789ABCDEF"[pick(0, 15)]);
        const std::string block = std::to_string(pick(1, 260));
        add({"--garble-read", block, "--garble-with", digit});
        return "read answer " + block + " with a wrong hex digit " + digit;
      }
      case 5: add({"--garble-read", std::to_string(pick(1, 260))}); return "a read answer with a non-hex digit";
      case 6: add({"--short-read", std::to_string(pick(1, 260))}); return "a short read answer";
      case 7: add({"--drop-input", std::to_string(pick(1, 3000))}); return "a byte lost on the way to the chip";
      case 8: add({"--garble-input", std::to_string(pick(1, 3000))}); return "a byte garbled on the way to the chip";
      case 9: add({"--drop-output", std::to_string(pick(1, 60000))}); return "a byte lost on the way back";
      case 10: add({"--garble-output", std::to_string(pick(1, 60000))}); return "a byte garbled on the way back";
      case 11: add({"--erase-delay", std::to_string(pick(0, 3000))}); return "a slow erase";
      case 12: add({"--refuse-erase"}); return "a refused erase";
      case 13:
        killAfterMs = pick(20, 1500);
        return "the target killed after " + std::to_string(killAfterMs) + " ms";
      case 14: add({"--garble-blank-check", check}); return "blank-check answer " + check + " garbled";
      case 15: add({"--drop-blank-check", check}); return "blank-check answer " + check + " dropped";
      case 16: {
        // Within the programmer's wait, or past it into the next exchange.
        const std::string late = std::to_string(pick(0, 1) == 0 ? pick(50, 1000) : pick(5100, 7000));
        add({"--late-blank-check", check, "--late-by", late});
        return "blank-check answer " + check + " late by " + late + " ms";
      }
      default: add({"--latency", "16", "--latency-jitter", "8", "--seed", n}); return "a USB adapter's latency";
    }
  }

  // Whether what the command claimed holds on the chip (or in the file it wrote): every file
  // byte below the comparison limit (0xFC00, or the part's end) on the chip, a file that fits
  // the part and loads whole, and every promised lock set.
  bool truthful(const std::string& command, const Shape& shape, int partSize, const Flash& after,
                const Promise& promise, const Child& c) const {
    const int limit = std::min(partSize, kCompareBelow);
    auto equalBelow = [&](int end) { return std::equal(shape.image.begin(), shape.image.begin() + end, after.begin()); };
    const bool usable = shape.fits && shape.loads;
    const bool hasData = std::any_of(shape.image.begin(), shape.image.end(), [](std::uint8_t b) { return b != 0xFF; });
    if (command == "program") return usable && hasData && promise.keepable && equalBelow(limit);
    if (command == "verify") return usable && equalBelow(limit);
    if (command == "diff") return usable && (c.status != 0 || equalBelow(partSize));
    if (command == "erase") return std::all_of(after.begin(), after.end(), [](std::uint8_t b) { return b == 0xFF; });
    if (command == "read") {
      const auto read = loadHex(readFile(dir_ / "out.hex"));
      return read && std::equal(after.begin(), after.end(), read->begin());
    }
    if (command == "boot") return promise.keepable;
    return true;  // info changes nothing that could be checked against a file
  }

  std::mt19937 random_;
  fs::path dir_;
};

// A command spends nearly all its time waiting for the target or for one of the
// programmer's time limits, so the draw runs in shards side by side, each with a seed,
// a target and a folder of its own: the same CPU, a fraction of the wall time. Each shard's
// line gives the seed and count that repeat it alone (with VELKORN_SOAK_SHARDS=1).
TEST(Soak, NoHangsCrashesOrFalseSuccesses) {
  const int runs = envInt("VELKORN_SOAK_RUNS", slice() ? 48 : 240);
  const int shards = std::clamp(envInt("VELKORN_SOAK_SHARDS", 12), 1, std::max(runs, 1));
  const auto seed = static_cast<unsigned>(envInt("VELKORN_SOAK_SEED", 20261207));
  std::vector<Tally> tallies(static_cast<std::size_t>(shards));
  std::vector<std::thread> threads;
  for (int s = 0; s < shards; ++s) {
    const int count = runs / shards + (s < runs % shards ? 1 : 0);
    threads.emplace_back([&tallies, s, count, seed] {
      Soak soak(seed + static_cast<unsigned>(s));
      for (int i = 0; i < count; ++i) soak.runOne(i, tallies[static_cast<std::size_t>(s)]);
    });
  }
  for (std::thread& t : threads) t.join();
  Tally total;
  for (int s = 0; s < shards; ++s) {
    const Tally& tally = tallies[static_cast<std::size_t>(s)];
    std::string exits;
    for (const auto& [status, count] : tally.exits) exits += " " + std::to_string(status) + ":" + std::to_string(count);
    std::printf("soak (seed %u): %d commands, %d hangs, %d crashes, %d false successes, %d results on failure;"
                " exit statuses%s\n",
                seed + static_cast<unsigned>(s), tally.runs, tally.hangs, tally.crashes, tally.falseSuccesses,
                tally.resultsOnFailure, exits.c_str());
    for (const std::string& f : tally.findings) std::printf("  %s\n", f.c_str());
    for (const auto& [shape, count] : tally.shapes) total.shapes[shape] += count;
    total.runs += tally.runs;
    total.hangs += tally.hangs;
    total.crashes += tally.crashes;
    total.falseSuccesses += tally.falseSuccesses;
    total.resultsOnFailure += tally.resultsOnFailure;
  }
  std::printf("soak (seeds %u..%u, %s): %d commands, %d hangs, %d crashes, %d false successes, %d results on failure\n",
              seed, seed + static_cast<unsigned>(shards - 1), slice() ? "a slice of the draw" : "the whole draw",
              total.runs, total.hangs, total.crashes, total.falseSuccesses, total.resultsOnFailure);
  std::string shapes;
  for (const auto& [shape, count] : total.shapes) shapes += (shapes.empty() ? "" : ", ") + shape + " " + std::to_string(count);
  std::printf("  shapes: %s\n", shapes.c_str());
  EXPECT_EQ(total.runs, runs);
  EXPECT_EQ(total.hangs, 0);
  EXPECT_EQ(total.crashes, 0);
  EXPECT_EQ(total.falseSuccesses, 0);
  EXPECT_EQ(total.resultsOnFailure, 0);
}

// A full 64 KiB image behind a USB adapter that holds every answer for 16 ms: every command
// still succeeds, and the flash and the file read back are right. Each command has a target
// of its own (verify and read one that holds the image already), so the four wait for the
// adapter side by side. The slice's image holds the top 8 KiB only, the top KiB among them:
// an eighth of the records, each still behind the adapter.
TEST(Soak, FullImageBehindAUsbAdapter) {
  const fs::path dir = fs::temp_directory_path() / ("velkorn_latency_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::mt19937 random(5);
  Flash image(kFlashSize);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  std::bitset<kImageSize> present;
  const int from = slice() ? kFlashSize - 0x2000 : 0;
  for (int a = 0; a < kFlashSize; ++a) {
    if (a >= from) present.set(static_cast<std::size_t>(a));
    else image[static_cast<std::size_t>(a)] = 0xFF;
  }
  writeFile(dir / "full.hex", writeIntelHex(image.data(), kFlashSize, present));
  writeFile(dir / "image.bin", std::string(image.begin(), image.end()));
  struct Run {
    std::vector<std::string> command;
    std::unique_ptr<Target> target;
    Child child;
  };
  std::vector<Run> runs;
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"info"}, {"program", (dir / "full.hex").string()}, {"verify", (dir / "full.hex").string()},
           {"read", (dir / "out.hex").string()}}) {
    std::vector<std::string> targetArgs = {"--latency", "16", "--flash-out", (dir / (command[0] + ".bin")).string()};
    if (command[0] != "program") targetArgs.insert(targetArgs.end(), {"--flash-in", (dir / "image.bin").string()});
    runs.push_back({command, std::make_unique<Target>(targetArgs, (dir / (command[0] + ".log")).string()), {}});
    ASSERT_FALSE(runs.back().target->port().empty());
  }
  std::vector<std::thread> threads;
  for (Run& run : runs) {
    threads.emplace_back([&run] {
      std::vector<std::string> argv = {VELKORN_CLI_PATH, "--port", run.target->port()};
      argv.insert(argv.end(), run.command.begin(), run.command.end());
      run.child = runChild(argv, kHangLimit);
    });
  }
  for (std::thread& t : threads) t.join();
  for (Run& run : runs) {
    EXPECT_EQ(run.child.status, 0) << run.command[0] << "\n" << run.child.err;
    run.target->stop();
  }
  const std::string flash = readFile(dir / "program.bin");
  EXPECT_TRUE(flash == std::string(image.begin(), image.end()));
  EXPECT_EQ(loadHex(readFile(dir / "out.hex")), std::optional<Flash>(image));
  fs::remove_all(dir);
}

// A line that drops, garbles and inserts bytes in both directions, each byte faulted with
// probability `rate`: the programmer opens a pseudo-terminal of its own, and a thread carries
// the bytes between it and the target's port.
class FaultyLine {
 public:
  FaultyLine(const std::string& targetPort, double rate, unsigned seed) : rate_(rate), random_(seed) {
    target_ = ::open(targetPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (target_ < 0 || !programmer_.isOpen()) return;
    for (const int fd : {target_, programmer_.master()}) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::cfsetspeed(&t, B115200);
      ::tcsetattr(fd, TCSANOW, &t);
    }
    thread_ = std::thread([this] { carry(); });
  }
  ~FaultyLine() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (target_ >= 0) ::close(target_);
  }
  FaultyLine(const FaultyLine&) = delete;
  FaultyLine& operator=(const FaultyLine&) = delete;
  std::string port() const { return thread_.joinable() ? programmer_.slave() : std::string(); }
  int faults() const { return faults_; }

 private:
  void carry() {
    char buffer[512];
    while (!stop_) {
      pollfd p[2] = {{programmer_.master(), POLLIN, 0}, {target_, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      for (int side = 0; side < 2; ++side) {
        if ((p[side].revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(p[side].fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        const std::string out = fault(std::string_view(buffer, static_cast<std::size_t>(n)));
        const int to = side == 0 ? target_ : programmer_.master();
        for (std::size_t done = 0; done < out.size() && !stop_;) {
          const ssize_t w = ::write(to, out.data() + done, out.size() - done);
          if (w > 0) done += static_cast<std::size_t>(w);
          else ::usleep(1000);
        }
      }
    }
  }
  std::string fault(std::string_view in) {
    std::string out;
    std::uniform_real_distribution<double> chance(0, 1);
    for (const char c : in) {
      if (chance(random_) >= rate_) {
        out += c;
        continue;
      }
      ++faults_;
      switch (random_() % 3) {
        case 0: break;                                                    // dropped
        case 1: out += static_cast<char>(c ^ (1 << (random_() % 8))); break;  // one bit flipped
        default: out += c; out += static_cast<char>(random_()); break;       // a byte of noise after it
      }
    }
    return out;
  }

  PseudoTerminal programmer_;
  int target_ = -1;
  double rate_;
  std::mt19937 random_;
  std::atomic<bool> stop_{false};
  std::atomic<int> faults_{0};
  std::thread thread_;
};

// The device information over a line with several faults a run: info either prints the
// simulated chip's own values or fails; it never hangs or crashes. Read and verify run on
// the same line, judged as in the soak above.
TEST(Soak, LineFaultsNeverMakeAFalseSuccess) {
  const int runs = envInt("VELKORN_SOAK_LINE_RUNS", slice() ? 10 : 40);
  std::mt19937 random(static_cast<unsigned>(envInt("VELKORN_SOAK_SEED", 20261207)));
  const fs::path dir = fs::temp_directory_path() / ("velkorn_line_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  int hangs = 0, crashes = 0, falseSuccesses = 0, done = 0, faults = 0;
  std::vector<std::string> findings;
  for (int i = 0; i < runs; ++i) {
    char hex[3][3];
    for (auto& h : hex) std::snprintf(h, sizeof h, "%02X", static_cast<unsigned>(random() % 256));
    Target target({"--manufacturer", hex[0], "--bsb", hex[1], "--sbv", hex[2]}, (dir / "target.log").string());
    const double rate = std::uniform_real_distribution<double>(0.002, 0.015)(random);
    FaultyLine line(target.port(), rate, static_cast<unsigned>(random()));
    ASSERT_FALSE(line.port().empty());
    const Child c = runChild({VELKORN_CLI_PATH, "--port", line.port(), "--retries", "3", "--sync-timeout", "3", "info"},
                             kHangLimit);
    faults += line.faults();
    const std::string what = "#" + std::to_string(i) + " info at " + std::to_string(rate) + " faults a byte";
    if (c.hung) {
      ++hangs;
      findings.push_back(what + ": hung");
    } else if (c.signaled || c.status < 0 || c.status > 3) {
      ++crashes;
      findings.push_back(what + ": status " + std::to_string(c.status) + "\n" + c.err);
    } else if (c.status == 0) {
      ++done;
      const std::string expected = std::string("Manufactor Id: ") + hex[0] + "\n";
      const bool truthful = c.out.find(expected) != std::string::npos &&
                            c.out.find(std::string("Status(BSB): ") + hex[1] + "\n") != std::string::npos &&
                            c.out.find(std::string("Vector(SBV): ") + hex[2] + "\n") != std::string::npos;
      if (!truthful) {
        ++falseSuccesses;
        findings.push_back(what + ": status 0 with values the chip does not hold\n" + c.out);
      }
    } else if (!c.out.empty()) {
      ++falseSuccesses;
      findings.push_back(what + ": values on stdout with status " + std::to_string(c.status) + "\n" + c.out);
    }
  }
  fs::remove_all(dir);
  std::printf("line faults: %d info runs, %d faults, %d done, %d hangs, %d crashes, %d false successes\n", runs,
              faults, done, hangs, crashes, falseSuccesses);
  for (const std::string& f : findings) std::printf("  %s\n", f.c_str());
  EXPECT_EQ(hangs, 0);
  EXPECT_EQ(crashes, 0);
  EXPECT_EQ(falseSuccesses, 0);
}

}  // namespace
}  // namespace velkorn::testing
