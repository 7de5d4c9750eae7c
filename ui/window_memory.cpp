#include "ui/window_memory.h"

#include <QDir>
#include <QFileInfo>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "file/directories.h"
#include "file/ini_file.h"
#include "link/modem_lines.h"
#include "ui/main_menu.h"

namespace velkorn::ui {

namespace {

constexpr const char* kRecentKey = "recent/files";
constexpr const char* kPortKey = "line/com";
constexpr const char* kWholeChipKey = "read/whole-chip";
constexpr const char* kRateKey = "bootloader/rate";
constexpr const char* kResetKey = "bootloader/reset";

QString absolute(const QString& path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

// A value read as one text: a list of one counts, a longer list or none is empty.
std::string textOf(const file::IniEntries& entries, const char* key) {
  const auto found = entries.find(key);
  if (found == entries.end() || found->second.items.size() != 1) return {};
  return found->second.items.front();
}

// A whole decimal number, as the file's earlier writer read one.
std::optional<int> integerOf(const file::IniEntries& entries, const char* key) {
  const std::string text = textOf(entries, key);
  const char* first = text.data();
  if (!text.empty() && text.front() == '+') ++first;
  int value = 0;
  const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || first == end) return std::nullopt;
  return value;
}

// False for nothing, "0" and "false" in any letter case; true for any other text.
bool booleanOf(const file::IniEntries& entries, const char* key) {
  const QString text = QString::fromStdString(textOf(entries, key));
  return !text.isEmpty() && text != QLatin1String("0") && text.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

}  // namespace

QString WindowMemory::filePath() {
  return QString::fromStdString(file::configDirectory()) + QLatin1Char('/') + QLatin1String(kWindowMemoryFile);
}

void WindowMemory::load() {
  recent_.clear();
  port_ = 0;
  Result<file::IniEntries> read = file::readIniFile(filePath().toStdString());
  // No file yet remembers nothing; an unreadable or broken one leaves the rest as it was.
  if (!read && read.code() != ErrorCode::NotFound) return;
  const file::IniEntries entries = read ? std::move(*read) : file::IniEntries{};
  // Whatever a hand edit left there: relative names, repeats, more than the menu shows.
  if (const auto recent = entries.find(kRecentKey); recent != entries.end()) {
    for (const std::string& item : recent->second.items) {
      const QString name = QString::fromStdString(item);
      if (name.isEmpty() || !QDir::isAbsolutePath(name)) continue;
      const QString path = absolute(name);
      if (!recent_.contains(path) && recent_.size() < kRecentFiles) recent_.append(path);
    }
  }
  const std::optional<int> port = integerOf(entries, kPortKey);
  port_ = port && *port >= 1 && *port <= kPortEntries ? *port : 0;
  wholeChip_ = booleanOf(entries, kWholeChipKey);
  const std::optional<int> rate = integerOf(entries, kRateKey);
  rate_ = rate && *rate >= 1 && *rate <= kMaxBootloaderRate ? *rate : kDefaultBootloaderRate;
  // A sequence that a hand edit broke reads as none: a wrong step could hold a board in reset.
  const QString reset = QString::fromStdString(textOf(entries, kResetKey)).trimmed();
  reset_ = link::parseModemSteps(reset.toStdString()).ok() ? reset : QString();
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
  if (text == reset_ || !link::parseModemSteps(text.toStdString()).ok()) return;
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
  // Only what differs from a fresh start, as the file always held it. A memory that cannot
  // be written is not worth a box: the window goes on with what it has.
  file::IniEntries entries;
  if (!recent_.isEmpty()) {
    std::vector<std::string> names;
    for (const QString& name : recent_) names.push_back(name.toStdString());
    entries[kRecentKey] = file::IniValue::listOf(std::move(names));
  }
  if (port_ != 0) entries[kPortKey] = file::IniValue::text(std::to_string(port_));
  if (wholeChip_) entries[kWholeChipKey] = file::IniValue::text("true");
  if (rate_ != kDefaultBootloaderRate) entries[kRateKey] = file::IniValue::text(std::to_string(rate_));
  if (!reset_.isEmpty()) entries[kResetKey] = file::IniValue::text(reset_.toStdString());
  if (!file::ensureConfigDirectory()) return;
  (void)file::writeIniFile(filePath().toStdString(), entries);
}

}  // namespace velkorn::ui
