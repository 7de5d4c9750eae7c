#pragma once
// What the window tests share: a private configuration directory (so COM n can be pinned to
// a pseudo-terminal with a COMn link before the window probes its ports), pseudo-terminals
// to pin, and a window answered by scripted dialogs.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QAction>
#include <QElapsedTimer>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_dialogs.h"
#include "support/pty.h"
#include "ui/debug_window.h"
#include "ui/download_window.h"
#include "ui/hexdump.h"
#include "ui/mainform.h"
#include "ui/sync_window.h"

namespace velkorn::testing {

// A pseudo-terminal whose slave is the device a COMn link points at.
using Pty = PseudoTerminal;

// A fresh $XDG_CONFIG_HOME for one test, restored afterwards.
class ConfigHome {
 public:
  ConfigHome() {
    namespace fs = std::filesystem;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    root_ = fs::temp_directory_path() / ("velkorn_ui_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(root_);
    fs::create_directories(root_ / "velkorn");
    if (const char* old = ::getenv("XDG_CONFIG_HOME")) old_ = old, hadOld_ = true;
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
  }
  ~ConfigHome() {
    if (hadOld_)
      ::setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else
      ::unsetenv("XDG_CONFIG_HOME");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  ConfigHome(const ConfigHome&) = delete;
  ConfigHome& operator=(const ConfigHome&) = delete;

  // Pins COM n to `target` (replacing an earlier pin); the target need not exist.
  void pin(int n, const std::string& target) const {
    const auto link = dir() / ("COM" + std::to_string(n));
    std::error_code ec;
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(target, link);
  }
  std::filesystem::path dir() const { return root_ / "velkorn"; }
  std::filesystem::path root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::string old_;
  bool hadOld_ = false;
};

// Lets the event loop run until `done` holds or the limit passes; returns `done()`.
inline bool waitFor(const std::function<bool()>& done, int limitMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ::usleep(1000);
  }
  return true;
}

// Measures how long the event loop goes without turning: a 10 ms timer notes the longest
// gap between two of its ticks while it lives.
class LoopWatch {
 public:
  LoopWatch() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { worstMs_ = std::max(worstMs_, since_.restart()); });
    since_.start();
    timer_.start();
  }
  qint64 worstGapMs() const { return std::max(worstMs_, since_.elapsed()); }

 private:
  QTimer timer_;
  QElapsedTimer since_;
  qint64 worstMs_ = 0;
};

// Reads what has arrived on `fd` until `want` bytes came or the limit passed, letting the
// event loop run meanwhile (the window's timers and socket notifications).
inline std::string readArrived(int fd, std::size_t want, int limitMs) {
  std::string got;
  waitFor(
      [&] {
        pollfd p{fd, POLLIN, 0};
        while (got.size() < want && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
          char buffer[256];
          const ssize_t n = ::read(fd, buffer, sizeof buffer);
          if (n <= 0) break;
          got.append(buffer, static_cast<std::size_t>(n));
        }
        return got.size() >= want;
      },
      limitMs);
  return got;
}

// The window's components as the operator reaches them: by their object names, and the COM
// entries by their captions.
template <class T>
T* component(const QObject& window, const char* name) {
  T* found = window.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << name;
  return found;
}
inline QAction* action(const QObject& window, const char* name) { return component<QAction>(window, name); }
// A widget of the Device tab (the synchronisation window has a "BitBtn1" of its own).
template <class T>
T* deviceWidget(const QObject& window, const char* name) {
  return component<T>(*component<QWidget>(window, "TabSheet4"), name);
}
// "COM &n" of the "&Comport" menu.
inline QAction* comEntry(const QObject& window, int n) {
  for (QAction* entry : component<QMenu>(window, "Com1")->actions())
    if (entry->text().section(QLatin1Char('\t'), 0, 0) == QStringLiteral("COM &%1").arg(n)) return entry;
  ADD_FAILURE() << "no entry COM " << n;
  return nullptr;
}
// The chip commands' group of the menu (Debug and Reload included), in menu order.
inline std::vector<QAction*> chipCommandEntries(const QObject& window) {
  std::vector<QAction*> out;
  for (QAction* a : window.findChildren<QAction*>(Qt::FindDirectChildrenOnly))
    if (a->property("GroupIndex").toInt() == 1) out.push_back(a);
  return out;
}

// The tab control, its sheets 1 to 4 ("&File Data", "Chip Data", "&Terminal", "Device"), the
// terminal's receive poll (Timer2) and the two hex views.
inline QTabWidget* tabs(const QObject& window) { return component<QTabWidget>(window, "PageControl1"); }
inline QWidget* tabSheet(const QObject& window, int n) {
  return component<QWidget>(window, QStringLiteral("TabSheet%1").arg(n).toLatin1().constData());
}
inline QTimer* terminalPoll(const QObject& window) { return component<QTimer>(window, "Timer2"); }
inline ui::THexDump* fileView(const QObject& window) { return component<ui::THexDump>(window, "FileDump"); }
inline ui::THexDump* chipView(const QObject& window) { return component<ui::THexDump>(window, "ChipDump"); }

// Status panel 0 to 2 (the line, its rate, what the device values say), and the last
// command's result with its time, as the status bar shows them.
inline QString panelText(const QObject& window, int panel) {
  return component<QLabel>(window, QStringLiteral("sb1Panel%1").arg(panel).toLatin1().constData())->text();
}
inline QString resultText(const QObject& window) { return component<QLabel>(window, "sb1Result")->text(); }
// How often the function keys sounded the system beep.
inline int beeps(const ScriptedDialogs& dialogs) { return static_cast<int>(dialogs.of("beep").size()); }

// The helper windows, each found by its object name among the main window's children.
inline ui::TDbgFrm* debugWindow(const QObject& window) { return component<ui::TDbgFrm>(window, "DbgFrm"); }
inline ui::TDownLoadDlg* downloadWindow(const QObject& window) {
  return component<ui::TDownLoadDlg>(window, "DownLoadDlg");
}
inline ui::TSyncMessage* syncWindow(const QObject& window) { return component<ui::TSyncMessage>(window, "SyncMessage"); }

// A window on a private configuration directory, answered by scripted dialogs. Tests pin
// their ports before makeForm: the window probes them when it is made.
class FormTest : public ::testing::Test {
 protected:
  ui::TForm1& makeForm() {
    form_ = std::make_unique<ui::TForm1>(&dialogs_);
    return *form_;
  }

  ConfigHome home_;
  ScriptedDialogs dialogs_;
  std::unique_ptr<ui::TForm1> form_;
};

}  // namespace velkorn::testing
