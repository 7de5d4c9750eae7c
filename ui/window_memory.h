#pragma once
// What the window remembers between runs beside its settings file: the HEX files last
// loaded, the COM entry last opened, and how it talks to the bootloader (its rate, a reset
// sequence, whether the read-back reads the whole chip). Kept in an INI file of its own in the configuration
// folder, so that Hotkey.TXT keeps its fifteen lines. A file that is missing, broken or
// unreadable reads as nothing remembered; every change is written at once.
#include <QString>
#include <QStringList>

namespace velkorn::ui {

inline constexpr const char* kWindowMemoryFile = "velkorn-window.ini";
inline constexpr int kRecentFiles = 8;
inline constexpr int kDefaultBootloaderRate = 115200;
inline constexpr int kMaxBootloaderRate = 100000000;

class WindowMemory {
 public:
  // Reads the file in file::configDirectory() (as it is now: tests move it).
  void load();

  // Most recent first, absolute paths, no name twice, kRecentFiles at most.
  const QStringList& recentFiles() const { return recent_; }
  // Puts the file in front (its absolute path), dropping an older mention and the oldest
  // past the limit.
  void addRecentFile(const QString& path);
  void forgetRecentFile(const QString& path);

  // The COM entry (1..8) last opened by the operator; 0 for none.
  int lastPort() const { return port_; }
  void setLastPort(int n);

  // Read-back of every block instead of the blocks that hold data (blank checks for the rest).
  bool wholeChip() const { return wholeChip_; }
  void setWholeChip(bool on);
  // Bit rate of the synchronisation and of every record, apart from the terminal's.
  int bootloaderRate() const { return rate_; }
  void setBootloaderRate(int rate);
  // Modem-line steps run before each synchronisation ("dtr=0,wait=100,dtr=1"); empty for none.
  // Only a sequence that parses is kept.
  const QString& resetSequence() const { return reset_; }
  void setResetSequence(const QString& sequence);

  // Where the file lies.
  static QString filePath();

 private:
  void save() const;

  QStringList recent_;
  int port_ = 0;
  bool wholeChip_ = false;
  int rate_ = kDefaultBootloaderRate;
  QString reset_;
};

}  // namespace velkorn::ui
