// Measures the programmer against the simulated target paced at the line rate, through the
// real serial layer: wall time, the time the protocol itself needs on the line, their ratio,
// and the programmer's CPU time. Each run is made straight on the line and again behind a
// modelled USB adapter that holds the target's answers for its latency time (16 ms, the
// default of common adapter chips). Prints its figures; never fails on timing.
//
//   bench_program_bench [--target PATH] [--rate 115200]
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "isp/clock.h"
#include "isp/engine.h"
#include "isp/link.h"
#include "isp/person.h"
#include "link/serial_port.h"

namespace {

using velkorn::isp::Button;

// The Link on the real serial port, counting what crosses the line and every silent read.
class CountingLink final : public velkorn::isp::Link {
 public:
  explicit CountingLink(velkorn::link::SerialPort& port) : port_(port) {}
  bool isOpen() const override { return port_.isOpen(); }
  bool writeBytes(std::string_view bytes) override {
    written += bytes.size();
    return port_.write(bytes);
  }
  velkorn::isp::LinkRead readByte() override {
    const auto r = port_.readByte();
    if (r.ok && r.count == 1) ++received;
    if (r.ok && r.count == 0) ++silentReads;
    return {r.ok, r.count, r.byte};
  }
  void setBaudRate(int rate) override { port_.setBaudRate(rate); }
  void reset() { written = received = silentReads = 0; }

  std::size_t written = 0, received = 0, silentReads = 0;

 private:
  velkorn::link::SerialPort& port_;
};

// Answers every box with OK and Yes and counts the error boxes. A run whose line never
// recovers would retry for ever: after kMaxErrors boxes it answers Cancel and the run ends
// as failed.
class BenchPerson final : public velkorn::isp::Prompts,
                          public velkorn::isp::Progress,
                          public velkorn::isp::DeviceState {
 public:
  static constexpr int kMaxErrors = 50;
  int errors = 0;
  std::string firstError;
  Button showError(const std::string& text, bool cancellable) override {
    if (++errors == 1) firstError = text;
    return cancellable && errors >= kMaxErrors ? Button::Cancel : Button::Ok;
  }
  void showNotice(const std::string&) override {}
  bool askYesNo(const std::string&, const std::string&) override { return true; }
  std::optional<std::string> askHexFileName(const std::string&) override { return std::nullopt; }
  void debugLog(const std::string&) override {}
  void processEvents() override {}
  void setBusyCursor(bool) override {}
  void progressShow(const std::string&, int) override {}
  void progressCaption(const std::string&) override {}
  void progressPosition(int) override {}
  void progressFigures(const std::string&, const std::string&) override {}
  void progressHide() override {}
  void syncShow() override { syncStart_ = std::chrono::steady_clock::now(); }
  bool syncCancelled() override { return std::chrono::steady_clock::now() - syncStart_ > std::chrono::seconds(10); }
  void syncHide() override {}
  void repaintView(velkorn::isp::View) override {}
  void setCurrentLine(velkorn::isp::View, int) override {}
  void loadFinished(bool) override {}
  void deviceField(velkorn::isp::DeviceField, const std::string&) override {}
  void lockBoxes(bool, bool) override {}
  velkorn::isp::BootChoice bootChoice() override { return {}; }

 private:
  std::chrono::steady_clock::time_point syncStart_{};
};

struct Target {
  pid_t pid = -1;
  std::string path;
};

Target startTarget(const std::string& program, int rate, int latencyMs) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    const std::string r = std::to_string(rate);
    const std::string latency = std::to_string(latencyMs);
    execl(program.c_str(), program.c_str(), "--pace", "--rate", r.c_str(), "--latency", latency.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  return {pid, line};
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string targetProgram =
#ifdef VELKORN_TARGET_PATH
      VELKORN_TARGET_PATH;
#else
      "velkorn-target";
#endif
  int rate = 115200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--target") == 0) targetProgram = argv[i + 1];
    if (std::strcmp(argv[i], "--rate") == 0) rate = std::atoi(argv[i + 1]);
  }
  constexpr auto kSilentReadMs = 20.0;  // what one silent read costs the protocol
  const double bitsPerChar = 10.0;      // 8N1: start, 8 data, stop

  std::printf("%-28s %6s %9s %9s %7s %8s %6s %s\n", "run", "lat ms", "wall s", "line s", "ratio", "cpu s",
              "cpu%", "errors");
  struct Run {
    const char* name;
    int kind;  // 0 full random image, 1 sparse image, 2 read chip
    int latencyMs;  // the adapter's hold on the target's answers; 0: none
  };
  const Run runs[] = {
      {"program+verify 64 KiB random", 0, 0}, {"program+verify sparse 4 KiB", 1, 0}, {"read chip 64 KiB", 2, 0},
      {"program+verify 64 KiB random", 0, 16}, {"program+verify sparse 4 KiB", 1, 16}, {"read chip 64 KiB", 2, 16},
  };
  for (const Run& run : runs) {
    Target target = startTarget(targetProgram, rate, run.latencyMs);
    if (target.pid < 0 || target.path.empty()) {
      std::fprintf(stderr, "cannot start %s\n", targetProgram.c_str());
      return 1;
    }
    velkorn::link::SerialPort port;
    std::string error;
    if (!port.open(target.path, &error)) {
      std::fprintf(stderr, "cannot open %s: %s\n", target.path.c_str(), error.c_str());
      kill(target.pid, SIGTERM);
      return 1;
    }
    port.setBaudRate(rate);
    CountingLink link(port);
    BenchPerson op;
    velkorn::isp::SystemClock clock;
    velkorn::isp::Engine engine(link, op, op, op, clock);
    auto& images = engine.images();
    images.fileImage.fill(0xFF);
    std::mt19937 random(12345);
    if (run.kind == 0) {
      for (auto& b : images.fileImage) b = static_cast<std::uint8_t>(random());
    } else if (run.kind == 1) {
      for (int a = 0; a < 3072; ++a) images.fileImage[a] = static_cast<std::uint8_t>(random() & 0x7F);
      for (int a = 0x2000; a < 0x2400; ++a) images.fileImage[a] = static_cast<std::uint8_t>(random() & 0x7F);
    }
    images.fileLoaded = true;
    images.hexLineCount = 4097;

    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    // As Reload: no question.
    const velkorn::isp::Outcome outcome = run.kind == 2 ? engine.readChip() : engine.program(velkorn::isp::Asking::Never);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    const double line = static_cast<double>(link.received) * bitsPerChar / rate +
                        static_cast<double>(link.silentReads) * kSilentReadMs / 1000.0;
    std::printf("%-28s %6d %9.3f %9.3f %7.3f %8.3f %5.1f%% %d%s%s%s\n", run.name, run.latencyMs, wall, line,
                wall / line, cpu, 100.0 * cpu / wall, op.errors, op.errors ? " first: " : "", op.firstError.c_str(),
                outcome.done() ? "" : " (the command failed)");
    std::fflush(stdout);
    port.close();
    kill(target.pid, SIGTERM);
    waitpid(target.pid, nullptr, 0);
  }
  return 0;
}
