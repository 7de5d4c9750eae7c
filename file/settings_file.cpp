#include "file/settings_file.h"

#include "base/failure_texts.h"
#include "file/atomic_file.h"
#include "file/directories.h"
#include "file/small_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

// The build says where the data folder lies relative to the program's folder; a build that
// does not takes the usual layout.
#ifndef VELKORN_DATA_DIR_FROM_BIN
#define VELKORN_DATA_DIR_FROM_BIN "../share/velkorn"
#endif

namespace velkorn::file {

namespace {

namespace fs = std::filesystem;

// The box texts for a file that cannot be created or written.
std::string fileCreateText(const std::string& name) {
  return "Datei " + name + " kann nicht erstellt werden";
}
const char* const kStreamWriteText = "Stream-Schreibfehler";

// The exact name, else one that differs only in letter case; empty when none.
std::string findSettingsFile(const std::string& directory) {
  return findFileAnyCase(directory, kSettingsFileName);
}

// The first kSettingsReadLimit bytes. When the file goes on past them, the text ends at
// the last line end inside them: a value cut in the middle (a font size of "1" from "12")
// would be read as a different value.
Result<std::string> readSettingsText(const std::string& path) {
  Result<std::string> read = readFileStart(path, kSettingsReadLimit + 1);
  if (!read) return read;
  std::string& content = *read;
  if (content.size() > kSettingsReadLimit) {
    content.resize(kSettingsReadLimit);
    const std::size_t lastEnd = content.find_last_of("\r\n");
    content.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
  }
  return read;
}

// The file a save replaces: the one the loading reads (in its letter case) or else the
// exact name, followed through symbolic links.
Result<std::string> saveTarget(const std::string& directory) {
  const std::string found = findSettingsFile(directory);
  return resolvedTarget(found.empty() ? settingsPath(directory) : found);
}

// Anything older than this was not written by a save still running.
const fs::file_time_type kProcessStart = fs::file_time_type::clock::now();

// `prefix` and then six letters or digits.
bool isTemporaryName(const std::string& name, std::string_view prefix) {
  if (name.size() != prefix.size() + kTemporaryRandomChars || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

// A kill during a save leaves its temporary file behind: the atomic write's, or one of an
// earlier version's save, named after the settings file ("Hotkey.TXT.", six letters or
// digits). One written before this process started belongs to no save still running; a
// newer one may be another window's save in progress and is left alone.
void removeStaleTemporaries(const fs::path& target) {
  const std::string earlier = target.filename().string() + ".";
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (!isTemporaryName(entry, kTemporaryPrefix) && !isTemporaryName(entry, earlier)) continue;
    std::error_code ignored;
    if (it->symlink_status(ignored).type() != fs::file_type::regular) continue;
    const fs::file_time_type written = fs::last_write_time(it->path(), ignored);
    if (!ignored && written < kProcessStart) fs::remove(it->path(), ignored);
  }
}

}  // namespace

BaudSelection baudSelection(int storedIndex) {
  // The group was set to none just before: none again is no change and runs nothing.
  if (storedIndex < 0) return {-1, false};
  return {storedIndex > kLastBaudIndex ? kLastBaudIndex : storedIndex, true};
}

std::vector<std::string> splitSettingsLines(std::string_view text, std::size_t maxLines) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size() && lines.size() < maxLines) {
    std::size_t end = pos;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    lines.emplace_back(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
  return lines;
}

std::optional<std::int32_t> parseSettingsInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) {
      return std::nullopt;
    }
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

LoadedSettings parseSettings(std::string_view content) {
  LoadedSettings out;
  out.fileFound = true;
  const std::vector<std::string> lines = splitSettingsLines(content, kSettingsLineCount);
  const std::size_t n = lines.size();
  out.lineCount = static_cast<int>(n);
  Settings& v = out.values;
  auto& steps = out.steps;

  // Ends the loading at a value that is no integer: what came before stays applied.
  auto integer = [&out](const std::string& text, int& target) {
    const std::optional<std::int32_t> value = parseSettingsInteger(text);
    if (!value) {
      out.failure = makeError(ErrorCode::Invalid, invalidIntegerText(text));
      return false;
    }
    target = *value;
    return true;
  };

  constexpr auto kCaptions = static_cast<std::size_t>(kHotKeyCount);
  if (n >= kCaptions) {
    static constexpr SettingsStep kCaptionSteps[kCaptions] = {
        SettingsStep::Caption1, SettingsStep::Caption2, SettingsStep::Caption3,
        SettingsStep::Caption4, SettingsStep::Caption5, SettingsStep::Caption6};
    for (std::size_t i = 0; i < kCaptions; ++i) {
      v.captions[i] = lines[i];
      steps.push_back(kCaptionSteps[i]);
    }
    if (n >= 7) {
      v.cycleStr = lines[6];
      steps.push_back(SettingsStep::CycleStr);
    }
    if (n >= 8) {
      v.cycle = lines[7];
      steps.push_back(SettingsStep::Cycle);
    }
  }

  if (n >= 9) {
    // Each value is the text before the next comma; the text through that comma goes.
    std::string rest = lines[8];
    const std::pair<int*, SettingsStep> placement[4] = {{&v.left, SettingsStep::Left},
                                                        {&v.top, SettingsStep::Top},
                                                        {&v.width, SettingsStep::Width},
                                                        {&v.height, SettingsStep::Height}};
    for (const auto& [target, step] : placement) {
      const std::size_t comma = rest.find(',');
      const std::string value = comma == std::string::npos ? std::string() : rest.substr(0, comma);
      if (!integer(value, *target)) return out;
      steps.push_back(step);
      rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
    }
  }

  if (n >= 10) {
    v.host = lines[9];
    steps.push_back(SettingsStep::Host);
  }
  steps.push_back(SettingsStep::IpBox);

  if (n >= 11) {
    steps.push_back(SettingsStep::BaudNone);
    if (!integer(lines[10], v.baudIndex)) return out;
    steps.push_back(SettingsStep::BaudIndex);
  }

  if (n >= 12) {
    v.fileName = lines[11];
    steps.push_back(SettingsStep::FileName);
  }

  if (n >= 15) {
    v.fontName = lines[12];
    steps.push_back(SettingsStep::FontName);
    if (!integer(lines[13], v.fontSize)) return out;
    steps.push_back(SettingsStep::FontSize);
    v.bold = lines[14].find("BOLD") != std::string::npos;
    steps.push_back(SettingsStep::FontStyle);
  }
  return out;
}

std::string formatPlacement(int left, int top, int width, int height) {
  return std::to_string(left) + "," + std::to_string(top) + "," + std::to_string(width) + "," +
         std::to_string(height) + "," + kPlacementSuffix;
}

std::string formatSettings(const Settings& s) {
  const std::string lines[kSettingsLineCount] = {
      s.captions[0], s.captions[1], s.captions[2], s.captions[3], s.captions[4], s.captions[5],
      s.cycleStr,    s.cycle,       formatPlacement(s.left, s.top, s.width, s.height),
      s.host,        std::to_string(s.baudIndex),  s.fileName,
      s.fontName,    std::to_string(s.fontSize),   s.bold ? "BOLD" : "-"};
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

std::string settingsPath(const std::string& directory) {
  if (directory.empty()) return kSettingsFileName;
  if (directory.back() == '/') return directory + kSettingsFileName;
  return directory + "/" + kSettingsFileName;
}

std::string settingsDirectory() { return configDirectory(); }

LoadedSettings loadSettingsFrom(const std::string& directory) {
  const std::string path = findSettingsFile(directory);
  if (path.empty()) {
    LoadedSettings missing;
    missing.path = settingsPath(directory);
    return missing;
  }
  const Result<std::string> content = readSettingsText(path);
  if (!content) {
    LoadedSettings unreadable;
    unreadable.fileFound = true;
    unreadable.path = path;
    unreadable.failure = makeError(content.code(), fileOpenText(path));
    return unreadable;
  }
  LoadedSettings loaded = parseSettings(*content);
  loaded.path = path;
  return loaded;
}

std::string installedSettingsDirectory() {
  const std::string dir = programDirectory();
  return dir.empty() ? dir : dir + VELKORN_DATA_DIR_FROM_BIN;
}

LoadedSettings loadSettingsFrom(const std::string& directory, const std::string& installedDirectory) {
  LoadedSettings own = loadSettingsFrom(directory);
  if (own.fileFound || installedDirectory.empty()) return own;
  LoadedSettings installed = loadSettingsFrom(installedDirectory);
  // An installed file that cannot be read counts as none: the user is told once, below.
  if (!installed.fileFound || (installed.steps.empty() && installed.failure)) return own;
  return installed;
}

std::vector<std::string> defaultSettingsDirectories(const std::string& programDirectory) {
  if (programDirectory.empty()) return {};
  return {programDirectory + VELKORN_DATA_DIR_FROM_BIN, programDirectory};
}

LoadedSettings loadSettingsFor(const std::string& directory, const std::string& programDirectory) {
  LoadedSettings loaded = loadSettingsFrom(directory);
  for (const std::string& defaults : defaultSettingsDirectories(programDirectory)) {
    if (loaded.fileFound) break;
    loaded = loadSettingsFrom(directory, defaults);
  }
  return loaded;
}

LoadedSettings loadSettings() { return loadSettingsFor(settingsDirectory(), programDirectory()); }

Status saveSettingsTo(const Settings& settings, const std::string& directory) {
  const Result<std::string> target = saveTarget(directory);
  if (!target) return makeError(target.code(), fileCreateText(settingsPath(directory)));
  const std::string& path = *target;
  removeStaleTemporaries(fs::path(path));
  const Status written = replaceFile(path, formatSettings(settings));
  if (written) return written;
  if (written.code() == ErrorCode::NotWritten) return makeError(ErrorCode::NotWritten, kStreamWriteText);
  return makeError(written.code(), fileCreateText(path));
}

Status saveSettings(const Settings& settings) {
  if (const Status made = ensureConfigDirectory(); !made)
    return makeError(made.code(), fileCreateText(settingsPath(settingsDirectory())));
  return saveSettingsTo(settings, settingsDirectory());
}

}  // namespace velkorn::file
