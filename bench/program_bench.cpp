// Measures the programmer against the simulated target paced at the line rate, through the
// real serial layer: wall time, the time the records and answers of the run need on the
// line, their ratio, and the programmer's CPU time. The command line's way first (program
// and verify reading only the blocks with data, read skipping the blank runs, every block
// read twice) at 115200 and 460800 bit/s, beside the whole-chip read-back; then behind a
// modelled USB adapter that holds the target's answers for its latency time (16 ms, the
// default of common adapter chips), and through the real ser2net in raw mode (Debian
// package) bridging the target's pseudo-terminal to a TCP port on 127.0.0.1, with ser2net's
// own CPU time beside it. Prints its figures; never fails on timing.
//
//   bench_program_bench [--target PATH] [--only TEXT]
// --only runs the rows whose name contains TEXT (e.g. "ser2net", "460800").
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "isp/clock.h"
#include "isp/engine.h"
#include "isp/link.h"
#include "isp/person.h"
#include "link/network_link.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "support/ser2net.h"
#include "target_process.h"

namespace {

using velkorn::isp::Button;

// A link (the serial port's or a network server's), counting what crosses the line and
// every silent read.
class CountingLink final : public velkorn::isp::Link {
 public:
  explicit CountingLink(velkorn::isp::Link& inner) : inner_(inner) {}
  bool isOpen() const override { return inner_.isOpen(); }
  velkorn::Status writeBytes(std::string_view bytes) override {
    written += bytes.size();
    return inner_.writeBytes(bytes);
  }
  velkorn::Result<velkorn::isp::LinkRead> readByte() override {
    auto r = inner_.readByte();
    if (r && r->count == 1) ++received;
    if (r && r->count == 0) ++silentReads;
    return r;
  }
  velkorn::Status setBaudRate(int rate) override { return inner_.setBaudRate(rate); }
  velkorn::isp::LinkCapabilities capabilities() const override { return inner_.capabilities(); }
  void expectBytes(std::size_t count) override { inner_.expectBytes(count); }
  std::chrono::milliseconds answerStartLimit() const override { return inner_.answerStartLimit(); }

  std::size_t written = 0, received = 0, silentReads = 0;

 private:
  velkorn::isp::Link& inner_;
};

// Answers every box with OK and Yes and counts the error boxes. A run whose line never
// recovers would retry for ever: after kMaxErrors boxes it answers Cancel and the run ends
// as failed.
class BenchPerson final : public velkorn::isp::Headless {
 public:
  static constexpr int kMaxErrors = 50;
  int errors = 0;
  std::string firstError;
  Button showError(const std::string& text, bool cancellable) override {
    if (++errors == 1) firstError = text;
    return cancellable && errors >= kMaxErrors ? Button::Cancel : Button::Ok;
  }
  bool askYesNo(const std::string&, const std::string&) override { return true; }
  std::optional<std::string> askHexFileName(const std::string&) override { return std::nullopt; }
  void syncShow() override { syncStart_ = std::chrono::steady_clock::now(); }
  bool syncCancelled() override { return std::chrono::steady_clock::now() - syncStart_ > std::chrono::seconds(10); }
  velkorn::isp::BootChoice bootChoice() override { return {}; }

 private:
  std::chrono::steady_clock::time_point syncStart_{};
};

using Target = velkorn::bench::TargetProcess;

Target startTarget(const std::string& program, int rate, int latencyMs, const std::string& flashIn) {
  std::vector<std::string> args = {"--pace", "--rate", std::to_string(rate), "--latency", std::to_string(latencyMs)};
  if (!flashIn.empty()) args.insert(args.end(), {"--flash-in", flashIn});
  return velkorn::bench::startTargetProcess(program, args);
}

// User and system time of another process so far, from /proc; 0 when unknown.
double cpuSecondsOf(pid_t pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char buffer[1024] = {};
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  // Fields 14 and 15 (utime, stime) in clock ticks, counted after the command's ")".
  const char* p = std::strrchr(buffer, ')');
  if (!p || n == 0) return 0;
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  // As velkorn-cli: short sleeps wake on time.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::string targetProgram =
#ifdef VELKORN_TARGET_PATH
      VELKORN_TARGET_PATH;
#else
      "velkorn-target";
#endif
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--target") == 0) targetProgram = argv[i + 1];
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
  }
  using velkorn::isp::Verification;
  constexpr auto kSilentReadMs = 20.0;  // what one silent read costs the protocol
  const double bitsPerChar = 10.0;      // 8N1: start, 8 data, stop

  std::printf("%-34s %6s %6s %8s %8s %6s %7s %5s %s\n", "run", "bit/s", "lat ms", "wall s", "line s", "ratio",
              "cpu s", "cpu%", "errors");
  enum Kind { Blinky, Random, ReadSparse, ReadFull };
  struct Run {
    const char* name;
    Kind kind;
    int bytes;  // Random: this many random bytes from address 0
    int rate;
    Verification verification = Verification::DataOnly;
    int latencyMs = 0;  // the adapter's hold on the target's answers; 0: none
    int ser2net = 0;    // through ser2net (raw TCP on 127.0.0.1) instead of the port itself:
                        // 1 with its defaults, 2 without its character delay
  };
  constexpr int k64K = 0x10000;
  const Run runs[] = {
      {"program+verify blinky", Blinky, 0, 115200},
      {"program+verify 4 KiB random", Random, 0x1000, 115200},
      {"program+verify 16 KiB random", Random, 0x4000, 115200},
      {"program+verify 64 KiB random", Random, k64K, 115200},
      {"p+v 64 KiB random, whole-chip read", Random, k64K, 115200, Verification::WholeChip},
      {"program+verify blinky", Blinky, 0, 460800},
      {"program+verify 4 KiB random", Random, 0x1000, 460800},
      {"program+verify 16 KiB random", Random, 0x4000, 460800},
      {"program+verify 64 KiB random", Random, k64K, 460800},
      {"read sparse chip (blinky)", ReadSparse, 0, 115200},
      {"read full chip", ReadFull, 0, 115200},
      {"p+v 64 KiB random, adapter", Random, k64K, 115200, Verification::DataOnly, 16},
      {"read full chip, adapter", ReadFull, 0, 115200, Verification::DataOnly, 16},
      {"p+v 64 KiB via ser2net raw", Random, k64K, 115200, Verification::DataOnly, 0, 1},
      {"p+v 64 KiB ser2net no chardelay", Random, k64K, 115200, Verification::DataOnly, 0, 2},
  };
  char scratch[] = "/tmp/velkorn-bench-XXXXXX";
  if (!mkdtemp(scratch)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string fullFlash = std::string(scratch) + "/full.bin";
  const std::string sparseFlash = std::string(scratch) + "/sparse.bin";
  {
    std::mt19937 random(777);
    std::string full(k64K, '\0');
    for (auto& b : full) b = static_cast<char>(random());
    std::string sparse(k64K, '\xFF');
    const unsigned char blinky[] = {0x02, 0x01, 0x00};  // its reset vector; the rest at 0x0100
    std::copy(std::begin(blinky), std::end(blinky), sparse.begin());
    for (int a = 0x0100; a < 0x0116; ++a) sparse[static_cast<std::size_t>(a)] = static_cast<char>(a * 7);
    std::FILE* f = std::fopen(fullFlash.c_str(), "wb");
    if (f) std::fwrite(full.data(), 1, full.size(), f), std::fclose(f);
    f = std::fopen(sparseFlash.c_str(), "wb");
    if (f) std::fwrite(sparse.data(), 1, sparse.size(), f), std::fclose(f);
  }
  for (const Run& run : runs) {
    const std::string rowName = std::string(run.name) + " " + std::to_string(run.rate);
    if (rowName.find(only) == std::string::npos) continue;
    const int rate = run.rate;
    const std::string flashIn = run.kind == ReadFull ? fullFlash : run.kind == ReadSparse ? sparseFlash : "";
    Target target = startTarget(targetProgram, rate, run.latencyMs, flashIn);
    if (target.pid < 0 || target.port.empty()) {
      std::fprintf(stderr, "cannot start %s\n", targetProgram.c_str());
      return 1;
    }
    velkorn::link::SerialPort port;
    velkorn::link::SerialLink serial(port);
    std::unique_ptr<velkorn::testing::Ser2Net> server;
    std::unique_ptr<velkorn::link::NetworkLink> network;
    std::string error;
    if (run.ser2net > 0) {
      server = std::make_unique<velkorn::testing::Ser2Net>(velkorn::testing::Ser2Net::Mode::Raw, target.port,
                                                             scratch, rate, run.ser2net == 1);
      if (server->running()) {
        auto opened = velkorn::link::openNetworkLink(server->url());
        if (opened) network = std::move(*opened);
        else error = opened.message();
      }
      if (!network) {
        std::fprintf(stderr, "ser2net: %s\n", server->running() ? error.c_str() : server->error().c_str());
        kill(target.pid, SIGTERM);
        waitpid(target.pid, nullptr, 0);
        continue;
      }
    } else if (const velkorn::Status opened = port.open(target.port); !opened) {
      std::fprintf(stderr, "cannot open %s: %s\n", target.port.c_str(), opened.message().c_str());
      kill(target.pid, SIGTERM);
      return 1;
    }
    velkorn::isp::Link& inner = network ? static_cast<velkorn::isp::Link&>(*network) : serial;
    (void)inner.setBaudRate(rate);  // a raw server's port runs at the rate it was started with
    CountingLink link(inner);
    BenchPerson op;
    velkorn::isp::SystemClock clock;
    velkorn::isp::Engine engine(link, op, op, op, clock);
    engine.bootloaderRate = rate;
    auto& images = engine.images();
    images.fileImage.fill(0xFF);
    std::mt19937 random(12345);
    if (run.kind == Random) {
      for (int a = 0; a < run.bytes; ++a) images.fileImage[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(random());
      images.fileLoaded = true;
      images.hexLineCount = run.bytes / 16 + 1;
    } else if (run.kind == Blinky) {
      engine.hexFileName = VELKORN_EXAMPLES_DIR "/blinky.hex";
      if (!engine.loadHexFile(velkorn::isp::Asking::Never).done()) {
        std::fprintf(stderr, "cannot load %s\n", engine.hexFileName.c_str());
        return 1;
      }
    }
    const bool reading = run.kind == ReadSparse || run.kind == ReadFull;

    const double cpu0 = cpuSeconds();
    const double serverCpu0 = server ? cpuSecondsOf(server->pid()) : 0;
    const auto t0 = std::chrono::steady_clock::now();
    // As Reload: no question.
    // As the command line: no question; read checks every block twice and skips blank runs.
    const velkorn::isp::Outcome outcome = reading ? engine.readChip({true, 3, true})
                                                  : engine.program(velkorn::isp::Asking::Never, run.verification);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    const double line = static_cast<double>(link.received) * bitsPerChar / rate +
                        static_cast<double>(link.silentReads) * kSilentReadMs / 1000.0;
    std::printf("%-34s %6d %6d %8.3f %8.3f %6.3f %7.3f %4.1f%% %d%s%s%s\n", run.name, rate, run.latencyMs, wall,
                line, wall / line, cpu, 100.0 * cpu / wall, op.errors, op.errors ? " first: " : "",
                op.firstError.c_str(), outcome.done() ? "" : " (the command failed)");
    if (server) {
      const double serverCpu = cpuSecondsOf(server->pid()) - serverCpu0;
      std::printf("%-34s %6s %6s %8s %8s %6s %7.3f %4.1f%%   (ser2net's share)\n", "", "", "", "", "", "", serverCpu,
                  100.0 * serverCpu / wall);
    }
    std::fflush(stdout);
    if (network) network->close();
    if (server) server->stop();
    port.close();
    kill(target.pid, SIGTERM);
    waitpid(target.pid, nullptr, 0);
  }
  std::filesystem::remove_all(scratch);
  return 0;
}
