#include "ui/window_memory.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <string>
#include <vector>

#include "link/modem_lines.h"
#include "link/port_names.h"
#include "ui/main_menu.h"

namespace velkorn::ui {

namespace {

constexpr const char* kRecentKey = "recent/files";
constexpr const char* kPortKey = "line/com";
constexpr const char* kWholeChipKey = "read/whole-chip";
constexpr const char* kRateKey = "bootloader/rate";
constexpr const char* kResetKey = "bootloader/reset";

QString absolute(const QString& path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

}  // namespace

QString WindowMemory::filePath() {
  return QString::fromStdString(link::configDirectory()) + QLatin1Char('/') + QLatin1String(kWindowMemoryFile);
}

void WindowMemory::load() {
  recent_.clear();
  port_ = 0;
  const QSettings file(filePath(), QSettings::IniFormat);
  if (file.status() != QSettings::NoError) return;  // unreadable or broken: nothing remembered
  // Whatever a hand edit left there: relative names, repeats, more than the menu shows.
  for (const QString& name : file.value(QLatin1String(kRecentKey)).toStringList()) {
    if (name.isEmpty() || !QDir::isAbsolutePath(name)) continue;
    const QString path = absolute(name);
    if (!recent_.contains(path) && recent_.size() < kRecentFiles) recent_.append(path);
  }
  bool number = false;
  const int port = file.value(QLatin1String(kPortKey)).toInt(&number);
  port_ = number && port >= 1 && port <= kPortEntries ? port : 0;
  wholeChip_ = file.value(QLatin1String(kWholeChipKey)).toBool();
  const int rate = file.value(QLatin1String(kRateKey)).toInt(&number);
  rate_ = number && rate >= 1 && rate <= kMaxBootloaderRate ? rate : kDefaultBootloaderRate;
  // A sequence that a hand edit broke reads as none: a wrong step could hold a board in reset.
  const QString reset = file.value(QLatin1String(kResetKey)).toString().trimmed();
  std::vector<link::ModemStep> steps;
  std::string why;
  reset_ = link::parseModemSteps(reset.toStdString(), &steps, &why) ? reset : QString();
}

void WindowMemory::setWholeChip(bool on) {
  if (on == wholeChip_) return;
  wholeChip_ = on;
  save();
}

void WindowMemory::setBootloaderRate(int rate) {
  if (rate < 1 || rate > kMaxBootloaderRate || rate == rate_) return;
  rate_ = rate;
  save();
}

void WindowMemory::setResetSequence(const QString& sequence) {
  QString text = sequence;
  text.remove(QLatin1Char(' '));
  std::vector<link::ModemStep> steps;
  std::string why;
  if (text == reset_ || !link::parseModemSteps(text.toStdString(), &steps, &why)) return;
  reset_ = text;
  save();
}

void WindowMemory::addRecentFile(const QString& path) {
  const QString name = absolute(path);
  recent_.removeAll(name);
  recent_.prepend(name);
  while (recent_.size() > kRecentFiles) recent_.removeLast();
  save();
}

void WindowMemory::forgetRecentFile(const QString& path) {
  if (recent_.removeAll(absolute(path)) > 0) save();
}

void WindowMemory::setLastPort(int n) {
  const int port = n >= 1 && n <= kPortEntries ? n : 0;
  if (port == port_) return;
  port_ = port;
  save();
}

void WindowMemory::save() const {
  // QSettings writes a new file beside the old one and renames it into place. A file it
  // cannot parse it will not merge into: that one held nothing usable and gives way.
  const QString path = filePath();
  for (int attempt = 0; attempt < 2; ++attempt) {
    QSettings file(path, QSettings::IniFormat);
    file.clear();
    if (!recent_.isEmpty()) file.setValue(QLatin1String(kRecentKey), recent_);
    if (port_ != 0) file.setValue(QLatin1String(kPortKey), port_);
    if (wholeChip_) file.setValue(QLatin1String(kWholeChipKey), true);
    if (rate_ != kDefaultBootloaderRate) file.setValue(QLatin1String(kRateKey), rate_);
    if (!reset_.isEmpty()) file.setValue(QLatin1String(kResetKey), reset_);
    file.sync();
    if (file.status() != QSettings::FormatError) return;
    if (!QFileInfo(path).isFile() || !QFile::remove(path)) return;
  }
}

}  // namespace velkorn::ui
