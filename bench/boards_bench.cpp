// Several boards at once: velkorn-cli programs and verifies the same file on one simulated
// board and then on 8 and 32 at once (velkorn-target --pace, each on its own pseudo-terminal),
// with and without the station's record (--record, one synced line per board), and prints
// the wall time, the ratio to one board and the command line's CPU time per board against
// the aims (at most 1.10 times one board's time, at most 1.5 % of a core per board). Prints
// its figures; never fails on timing.
//
//   bench_boards_bench [--boards 8,32] [--kib 16]
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "image/hex_writer.h"
#include "target_process.h"

namespace {

using velkorn::bench::TargetProcess;

struct Run {
  int status = -1;
  double wall = 0, cpu = 0;
};

// velkorn-cli with `args`, its wall time and the CPU time it (and its threads) used.
Run runCli(const std::vector<std::string>& args) {
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VELKORN_CLI_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VELKORN_CLI_PATH, argv.data());
    _exit(127);
  }
  Run r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  r.cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts = {8, 32};
  int kib = 16;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--boards") == 0) {
      counts.clear();
      std::istringstream list(argv[i + 1]);
      for (std::string n; std::getline(list, n, ',');) counts.push_back(std::atoi(n.c_str()));
    }
    if (std::strcmp(argv[i], "--kib") == 0) kib = std::atoi(argv[i + 1]);
  }
  const int boards = *std::max_element(counts.begin(), counts.end());
  char scratch[] = "/tmp/velkorn-boards-XXXXXX";
  if (!mkdtemp(scratch)) {
    std::perror("mkdtemp");
    return 1;
  }
  std::vector<std::uint8_t> image(static_cast<std::size_t>(kib) * 1024);
  std::mt19937 random(4242);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  const std::string file = std::string(scratch) + "/fw.hex";
  if (std::FILE* f = std::fopen(file.c_str(), "w")) {
    const std::string text = velkorn::writeIntelHex(image.data(), static_cast<int>(image.size()));
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::vector<TargetProcess> targets;
  for (int i = 0; i < boards; ++i) {
    targets.push_back(velkorn::bench::startTargetProcess(VELKORN_TARGET_PATH, {"--pace"}));
    if (targets.back().port.empty()) {
      std::fprintf(stderr, "cannot start %s\n", VELKORN_TARGET_PATH);
      return 1;
    }
  }
  const std::string record = std::string(scratch) + "/record.jsonl";

  std::printf("program+verify of %d KiB at 115200 bit/s (velkorn-target --pace)\n", kib);
  std::printf("aims: wall at most 1.10 x one board's, at most 1.5%% of a core per board\n");
  std::printf("%-16s %8s %7s %8s %14s %s\n", "boards", "wall s", "ratio", "cpu s", "cpu%/board", "exit");
  const Run one = runCli({"-q", "--port", targets.front().port, "program", file});
  std::printf("%-16d %8.3f %7.3f %8.3f %13.2f%% %d\n", 1, one.wall, 1.0, one.cpu, 100.0 * one.cpu / one.wall,
              one.status);
  for (const int n : counts) {
    std::string ports;
    for (int i = 0; i < n; ++i) ports += (ports.empty() ? "" : ",") + targets[static_cast<std::size_t>(i)].port;
    for (const bool recorded : {false, true}) {
      std::vector<std::string> args = {"-q", "--port", ports};
      if (recorded) args.insert(args.end(), {"--record", record, "--station", "bench"});
      args.insert(args.end(), {"program", file});
      const Run many = runCli(args);
      const std::string label = std::to_string(n) + (recorded ? " + record" : "");
      std::printf("%-16s %8.3f %7.3f %8.3f %13.2f%% %d\n", label.c_str(), many.wall, many.wall / one.wall, many.cpu,
                  100.0 * many.cpu / many.wall / n, many.status);
    }
  }
  for (const TargetProcess& t : targets) velkorn::bench::stopTargetProcess(t);
  std::filesystem::remove_all(scratch);
  return 0;
}
