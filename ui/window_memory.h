#pragma once
// What the window remembers between runs beside its settings file: the HEX files last
// loaded and the COM entry last opened. Kept in an INI file of its own in the configuration
// folder, so that Hotkey.TXT keeps its fifteen lines. A file that is missing, broken or
// unreadable reads as nothing remembered; every change is written at once.
#include <QString>
#include <QStringList>

namespace velkorn::ui {

inline constexpr const char* kWindowMemoryFile = "velkorn-window.ini";
inline constexpr int kRecentFiles = 8;

class WindowMemory {
 public:
  // Reads the file in link::configDirectory() (as it is now: tests move it).
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

  // Where the file lies.
  static QString filePath();

 private:
  void save() const;

  QStringList recent_;
  int port_ = 0;
};

}  // namespace velkorn::ui
