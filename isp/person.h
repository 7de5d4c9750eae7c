#pragma once
// The person at the bench, as the engine reaches them: three small interfaces. The window
// implements them with Qt, the command line on the terminal, tests with scripted fakes.
// None of them decides anything about success: that is the Outcome's job.
#include <optional>
#include <string>

#include "base/result.h"

namespace velkorn::isp {

enum class Button { Ok, Cancel };

// The two hex dump views.
enum class View { File, Chip };

// Value labels of the Device tab.
enum class DeviceField { Manu, DevFam, Mem, Product, BSB, SBV, HSB, BVersion };

// Boxes and questions inside a running command; their answers steer it.
class Prompts {
 public:
  virtual ~Prompts() = default;
  // The error box: caption "Error", error icon, OK or OK and Cancel. The engine raises the
  // download abort flag itself when it returns Cancel.
  virtual Button showError(const std::string& text, bool cancellable) = 0;
  // A plain information box titled with the program's title (the unknown-device notice).
  virtual void showNotice(const std::string& text) = 0;
  // The Yes/No box "Confirmation"; true for Yes.
  virtual bool askYesNo(const std::string& caption, const std::string& text) = 0;
  // The open dialog for a HEX file, starting on the remembered name; nullopt when cancelled.
  virtual std::optional<std::string> askHexFileName(const std::string& remembered) = 0;
};

// What a long operation shows while it runs, and the message loop it lets run.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void debugLog(const std::string& line) = 0;
  // Let pending window messages run (Abort and Cancel buttons, timers, repaints).
  virtual void processEvents() = 0;
  virtual void setBusyCursor(bool busy) = 0;  // hourglass while erasing
  // A stop the person asked for outside any box (the command line's Ctrl+C or SIGTERM):
  // looked at on every turn of every wait on the line, so it must be cheap. Once it says
  // yes, each wait ends at once, nothing more is sent, and the command is aborted.
  virtual bool stopRequested() { return false; }
  // A write or read call on the line failed, in the line's own words (a pulled adapter, a
  // closed connection); said before any box the engine shows for it.
  virtual void lineFailed(const Error& /*error*/) {}

  // The progress window ("Downloading..."): caption, bar to 0 with this maximum, shown.
  virtual void progressShow(const std::string& caption, int maximum) = 0;
  virtual void progressCaption(const std::string& caption) = 0;
  virtual void progressPosition(int position) = 0;
  // The time-left and bytes-per-second labels (both empty to clear them).
  virtual void progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) = 0;
  virtual void progressHide() = 0;

  // The synchronisation window ("Synchronize..."): lowers its cancel flag, bar to 0, shown;
  // its own 1 s timer advances the bar and raises the flag at the limit.
  virtual void syncShow() = 0;
  virtual bool syncCancelled() = 0;
  virtual void syncHide() = 0;

  // The views follow the images: a repaint, or back to the first line.
  virtual void repaintView(View view) = 0;
  virtual void setCurrentLine(View view, int line) = 0;
  // A HEX load ran to its end (not when the file could not be opened); `complete` when
  // every line was visited without a checksum error.
  virtual void loadFinished(bool complete) = 0;
};

// The security and boot choice of the three check boxes of the "&Software security" group.
struct BootChoice {
  bool lock0 = false;  // "Lock Erase, Prog."
  bool lock1 = false;  // "Lock Erase, Prog., Read, Blank Check"
  bool bljb = true;    // "BLJB"
};

// What the Device tab shows, and the choice it holds.
class DeviceState {
 public:
  virtual ~DeviceState() = default;
  virtual void deviceField(DeviceField field, const std::string& text) = 0;
  // The chip's software security as the two lock boxes show it (ticked: locked).
  virtual void lockBoxes(bool lock0, bool lock1) = 0;
  // The choice to write, read when the boot configuration is sent.
  virtual BootChoice bootChoice() = 0;
};

// The person of a program without a window: the progress, sync and device calls show
// nothing unless overridden. The command line, the bench and the fuzzers start from it;
// what the box answers are and when the synchronisation gives up stay each one's own.
class Headless : public Prompts, public Progress, public DeviceState {
 public:
  void showNotice(const std::string&) override {}
  void debugLog(const std::string&) override {}
  void processEvents() override {}
  void setBusyCursor(bool) override {}
  void progressShow(const std::string&, int) override {}
  void progressCaption(const std::string&) override {}
  void progressPosition(int) override {}
  void progressFigures(const std::string&, const std::string&) override {}
  void progressHide() override {}
  void syncShow() override {}
  void syncHide() override {}
  void repaintView(View) override {}
  void setCurrentLine(View, int) override {}
  void loadFinished(bool) override {}
  void deviceField(DeviceField, const std::string&) override {}
  void lockBoxes(bool, bool) override {}
};

}  // namespace velkorn::isp
