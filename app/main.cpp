// velkorn: the flash programmer's window.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "ui/mainform.h"
#include "velkorn_version.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("velkorn %s\n", velkorn::kVersion);
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velkorn"));
  QApplication::setApplicationVersion(QString::fromLatin1(velkorn::kVersion));
  // The main window creates the debug window after itself; both live until exit.
  velkorn::ui::TForm1 form;
  form.show();
  return QApplication::exec();
}
