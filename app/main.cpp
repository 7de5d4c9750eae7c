// velkorn: the flash programmer's window.
#include <QApplication>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <optional>

#include "ui/mainform.h"
#include "velkorn_version.h"

namespace {

constexpr const char* kUsage =
    "usage: velkorn [Qt options] [FILE.hex]\n"
    "       velkorn --help | --version\n"
    "\n"
    "The flash programmer window for 8051 RD2 / ED2 chips and their serial bootloader.\n"
    "FILE.hex is loaded at start, as \"Load File\" would load it.\n"
    "\n"
    "  --help      print this text and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Qt's own options are understood too (for example -platform NAME, -style NAME).\n"
    "Settings: $XDG_CONFIG_HOME/velkorn/Hotkey.TXT (default ~/.config/velkorn/), else the\n"
    "installed default in share/velkorn/. A symbolic link COMn in that folder pins COM n to a\n"
    "device. Command line without a window: velkorn-cli.\n";

// --help and --version are answered before Qt starts, so they work without a display.
std::optional<int> answerWithoutWindow(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("velkorn %s\n", velkorn::kVersion);
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto status = answerWithoutWindow(argc, argv)) return *status;

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkorn"));
  QApplication::setApplicationVersion(QString::fromLatin1(velkorn::kVersion));

  // What Qt left of the command line: at most one HEX file.
  QStringList rest = QApplication::arguments();
  rest.removeFirst();
  std::optional<QString> hexFile;
  bool optionsEnd = false;
  for (const QString& argument : rest) {
    if (!optionsEnd && argument == QStringLiteral("--")) {
      optionsEnd = true;
    } else if (!optionsEnd && argument.startsWith(QLatin1Char('-'))) {
      std::fprintf(stderr, "velkorn: unknown option %s\n%s", argument.toLocal8Bit().constData(), kUsage);
      return 2;
    } else if (hexFile) {
      std::fprintf(stderr, "velkorn: one HEX file at most\n%s", kUsage);
      return 2;
    } else {
      hexFile = QFileInfo(argument).absoluteFilePath();
    }
  }

  // The main window creates the debug window after itself; both live until exit.
  velkorn::ui::TForm1 form;
  form.show();
  // Once the window is up, so that the load's progress and boxes have their owner.
  if (hexFile) QTimer::singleShot(0, &form, [&form, file = *hexFile] { form.loadHexFileNamed(file); });
  return QApplication::exec();
}
