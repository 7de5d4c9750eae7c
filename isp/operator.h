#pragma once
// Everything a chip operation asks of the person at the bench: boxes, the progress and
// synchronisation windows, the debug log, letting pending messages run, and the few view
// updates an operation makes. The window implements it with Qt, the command line on the
// terminal, tests with a scripted fake. The engine never prints and never opens a window.
#include <optional>
#include <string>

namespace velkorn::isp {

enum class Button { Ok, Cancel };

// Tabs of the main window that an operation brings to the front.
enum class Tab { FileData, ChipData, Terminal, Device };

// The two hex dump views.
enum class View { File, Chip };

// Value labels of the Device tab.
enum class DeviceField { Manu, DevFam, Mem, Product, BSB, SBV, HSB, BVersion };

class Operator {
 public:
  virtual ~Operator() = default;

  // ---- boxes
  // The error box: caption "Error", error icon, OK or OK and Cancel. The engine itself
  // raises the download abort flag when it returns Cancel.
  virtual Button showError(const std::string& text, bool cancellable) = 0;
  // A plain information box titled with the program's title ("SetCommState failed",
  // the unknown-device notice).
  virtual void showNotice(const std::string& text) = 0;
  // A message box with its own caption and an OK button: "Erase" / "completed successfully",
  // "Programm BSB" / "completed successfully", "Verifying..." / "Matched OK!!!".
  virtual void showMessage(const std::string& caption, const std::string& text) = 0;
  // The Yes/No box "Confirmation"; true for Yes.
  virtual bool askYesNo(const std::string& caption, const std::string& text) = 0;
  // The open dialog for a HEX file, starting on the remembered name; nullopt when cancelled.
  virtual std::optional<std::string> askHexFileName(const std::string& remembered) = 0;

  // ---- log and message loop
  virtual void debugLog(const std::string& line) = 0;
  // Let pending window messages run (Abort and Cancel buttons, timers, repaints).
  virtual void processEvents() = 0;
  virtual void setBusyCursor(bool busy) = 0;  // hourglass while erasing

  // ---- progress window ("Downloading...")
  // Set the caption, the bar to 0 with this maximum, and show the window (not modal).
  virtual void progressShow(const std::string& caption, int maximum) = 0;
  virtual void progressCaption(const std::string& caption) = 0;
  virtual void progressPosition(int position) = 0;
  // The time-left and bytes-per-second labels (both empty to clear them).
  virtual void progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) = 0;
  virtual void progressHide() = 0;

  // ---- synchronisation window ("Synchronize...")
  // Lower the sync cancel flag, set the bar to 0, show the window; its own 1 s timer
  // advances the bar and raises the flag at 60.
  virtual void syncShow() = 0;
  virtual bool syncCancelled() = 0;
  virtual void syncHide() = 0;

  // ---- views of the main window
  virtual void deviceField(DeviceField field, const std::string& text) = 0;
  virtual void lockBoxes(bool lock0, bool lock1) = 0;  // the two lock check boxes
  virtual void statusPanel2(const std::string& text) = 0;
  virtual void repaintView(View view) = 0;
  virtual void setCurrentLine(View view, int line) = 0;
  // Make the tab the active page and run the page-change handling (terminal poll on the
  // Terminal tab, off elsewhere; the terminal rate applied on the Terminal tab).
  virtual void showTab(Tab tab) = 0;
  virtual void setTerminalPoll(bool on) = 0;  // Timer2
  virtual int terminalBaudRate() = 0;
  virtual void reloadAvailable() = 0;  // the first complete load enables "Reload"
};

}  // namespace velkorn::isp
