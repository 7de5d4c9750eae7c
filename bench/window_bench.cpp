// Measures the window's chip commands beside the command line's, each against a fresh
// velkorn-target paced at 115200 bit/s on a pseudo-terminal published as COM1: Program &
// Verify of examples/blinky.hex, Verify File of it, and Read Chip of a chip that holds it.
// The window runs offscreen in this process, its boxes answered by a script (OK, Yes, the
// file); the command line is started as its own process, so its figure includes its start.
// Wall time of each command, the window's CPU time, and whether the command ended done.
// Prints its figures; never fails on timing.
//
//   bench_window_bench [--only TEXT]
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "target_process.h"
#include "ui/dialogs.h"
#include "ui/mainform.h"

namespace {

namespace fs = std::filesystem;

// Every box answered without a person: OK, Yes, the bench's file; the error boxes counted.
class BenchDialogs final : public velkorn::ui::Dialogs {
 public:
  QString file;
  int errors = 0;
  std::string firstError;
  velkorn::isp::Button error(QWidget*, const QString& text, bool) override {
    if (errors++ == 0) firstError = text.toStdString();
    return velkorn::isp::Button::Ok;
  }
  void information(QWidget*, const QString&, const QString&) override {}
  void message(const QString&, const QString&) override {}
  bool confirm(QWidget*, const QString&, const QString&) override { return true; }
  std::optional<QString> openHexFile(QWidget*, const QString&) override { return file; }
  std::optional<QFont> chooseFont(QWidget*, const QFont&) override { return std::nullopt; }
  std::optional<velkorn::ui::SaveTarget> saveChipFile(QWidget*, const QString&) override { return std::nullopt; }
  void connectFailed(const QString&) override {}
  std::optional<QString> askText(QWidget*, const QString&, const QString&, const QString&) override {
    return std::nullopt;
  }
};

// An entry of the window's menus by its text before the tab ("COM &1\t/dev/pts/3").
QAction* menuEntry(const QWidget& window, const QString& text) {
  for (const QMenu* menu : window.findChildren<QMenu*>())
    for (QAction* entry : menu->actions())
      if (entry->text().section(QLatin1Char('\t'), 0, 0) == text) return entry;
  std::fprintf(stderr, "no menu entry %s\n", text.toStdString().c_str());
  std::exit(1);
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// velkorn-cli with these arguments; its exit status.
int runCli(const std::vector<std::string>& args) {
  std::fflush(stdout);  // the child would print the table's pending lines again
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv = {const_cast<char*>(VELKORN_CLI_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Its result lines would mix with the table.
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    execv(VELKORN_CLI_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];

  char scratch[] = "/tmp/velkorn-window-bench-XXXXXX";
  if (!mkdtemp(scratch)) {
    std::perror("mkdtemp");
    return 1;
  }
  // The window and the target share a configuration folder of their own: COM1 is the
  // target's pseudo-terminal there, and the window's memory file starts empty.
  ::setenv("XDG_CONFIG_HOME", scratch, 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  fs::create_directories(fs::path(scratch) / "velkorn");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);

  const std::string blinky = VELKORN_EXAMPLES_DIR "/blinky.hex";
  const std::string programmed = std::string(scratch) + "/programmed.bin";
  const std::string readOut = std::string(scratch) + "/read.hex";

  enum class Command { Program, Verify, Read };
  struct Row {
    const char* name;
    Command command;
    bool wholeChip;  // the window's "Read back the whole chip"
  };
  const Row rows[] = {
      {"Program & Verify blinky", Command::Program, false},
      {"Verify File blinky", Command::Verify, false},
      {"Read Chip, chip holding blinky", Command::Read, false},
      {"Program & Verify blinky, whole chip", Command::Program, true},
  };
  std::printf("%-38s %10s %10s %8s %8s  %s\n", "operation (paced 115200 bit/s)", "window s", "cli s", "ratio",
              "win cpu", "result");
  // Verify and Read need a chip that holds blinky: the first row's flash, kept by the target.
  bool haveProgrammed = false;
  for (const Row& row : rows) {
    if (std::string(row.name).find(only) == std::string::npos) continue;
    auto start = [&](bool holdsBlinky) {
      std::vector<std::string> args = {"--pace", "--link", "COM1", "--replace"};
      if (holdsBlinky) args.insert(args.end(), {"--flash-in", programmed});
      if (row.command == Command::Program) args.insert(args.end(), {"--flash-out", programmed});
      return velkorn::bench::startTargetProcess(VELKORN_TARGET_PATH, args);
    };
    const bool holdsBlinky = row.command != Command::Program;
    if (holdsBlinky && !haveProgrammed) {
      std::fprintf(stderr, "%s: needs the first row's flash (run without --only)\n", row.name);
      continue;
    }

    // The window: made, its line opened, the file loaded before the clock starts.
    double windowSeconds = 0, windowCpu = 0;
    std::string windowResult;
    int windowErrors = 0;
    {
      velkorn::bench::TargetProcess target = start(holdsBlinky);
      if (target.port.empty()) {
        std::fprintf(stderr, "cannot start %s\n", VELKORN_TARGET_PATH);
        return 1;
      }
      BenchDialogs dialogs;
      dialogs.file = QString::fromStdString(blinky);
      {
        velkorn::ui::TForm1 form(&dialogs);
        // Driven as the operator drives it: the Device tab's check box, the menu's entries.
        QCheckBox* wholeChip = form.findChild<QCheckBox*>(QStringLiteral("cbWholeChip"));
        wholeChip->setChecked(row.wholeChip);
        menuEntry(form, QStringLiteral("COM &1"))->trigger();
        if (row.command != Command::Read) form.findChild<QAction*>(QStringLiteral("LoadFile1"))->trigger();
        dialogs.errors = 0;
        const double cpu0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        switch (row.command) {
          case Command::Program: form.MProgClick(); break;
          case Command::Verify: form.CompareFileClick(); break;
          case Command::Read: form.MReadClick(); break;
        }
        windowSeconds = secondsSince(t0);
        windowCpu = cpuSeconds() - cpu0;
        windowResult = form.findChild<QLabel*>(QStringLiteral("sb1Result"))->text().toStdString();
        windowErrors = dialogs.errors;
        wholeChip->setChecked(false);
      }
      velkorn::bench::stopTargetProcess(target);
      if (row.command == Command::Program && !row.wholeChip) haveProgrammed = true;
    }

    // The command line against a fresh target of the same kind.
    double cliSeconds = 0;
    int cliStatus = -1;
    if (!row.wholeChip) {
      velkorn::bench::TargetProcess target = start(holdsBlinky);
      std::vector<std::string> args = {"--port", "COM1"};
      switch (row.command) {
        case Command::Program: args.insert(args.end(), {"program", blinky}); break;
        case Command::Verify: args.insert(args.end(), {"verify", blinky}); break;
        case Command::Read: args.insert(args.end(), {"read", readOut, "--force"}); break;
      }
      const auto t0 = std::chrono::steady_clock::now();
      cliStatus = runCli(args);
      cliSeconds = secondsSince(t0);
      velkorn::bench::stopTargetProcess(target);
    }

    char cli[32] = "-", ratio[32] = "-";
    if (cliStatus >= 0) {
      std::snprintf(cli, sizeof cli, "%.3f%s", cliSeconds, cliStatus == 0 ? "" : "!");
      std::snprintf(ratio, sizeof ratio, "%.2f", windowSeconds / cliSeconds);
    }
    // The result panel ends with the time of day.
    const std::string result = windowResult.size() > 6 ? windowResult.substr(0, windowResult.size() - 6) : windowResult;
    std::printf("%-38s %10.3f %10s %8s %8.3f  %s%s\n", row.name, windowSeconds, cli, ratio, windowCpu, result.c_str(),
                windowErrors ? " (error boxes)" : "");
    std::fflush(stdout);
  }
  fs::remove_all(scratch);
  return 0;
}
