// The settings file: how many lines give which values, where a bad number stops the
// loading, the baud index rules, the bold marker, the exact written format, and a save
// that fails without harming the file already there.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/failure_texts.h"
#include "file/settings_file.h"
#include "support/file_size_limit.h"

namespace velkorn::file {
namespace {

namespace fs = std::filesystem;
using S = SettingsStep;

std::string crlf(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

// A complete file as the program writes it.
std::vector<std::string> fullLines() {
  return {"H1", "H2", "H3", "H4", "H5", "H6", "CYC@", "250 ms", "10,20,640,480, (Left,Top,Width,Height)",
          "module.local", "3", "/home/op/fw.hex", "Consolas", "12", "BOLD"};
}

std::string firstLines(std::size_t n, std::vector<std::string> lines = fullLines()) {
  std::string out;
  for (std::size_t i = 0; i < n && i < lines.size(); ++i) out += lines[i] + "\r\n";
  return out;
}

const std::vector<S> kCaptionSteps = {S::Caption1, S::Caption2, S::Caption3,
                                      S::Caption4, S::Caption5, S::Caption6};

std::vector<S> concat(std::initializer_list<std::vector<S>> parts) {
  std::vector<S> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "velkorn-settings-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  void write(const std::string& name, const std::string& content) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << content;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

 private:
  std::string path_;
};

TEST(SettingsLoad, LineCountDecidesWhatIsApplied) {
  const std::vector<S> placement = {S::Left, S::Top, S::Width, S::Height};
  struct Case {
    std::size_t lines;
    std::vector<S> steps;
  };
  const Case cases[] = {
      {0, {S::IpBox}},
      {5, {S::IpBox}},
      {6, concat({kCaptionSteps, {S::IpBox}})},
      {7, concat({kCaptionSteps, {S::CycleStr, S::IpBox}})},
      {8, concat({kCaptionSteps, {S::CycleStr, S::Cycle, S::IpBox}})},
      {9, concat({kCaptionSteps, {S::CycleStr, S::Cycle}, placement, {S::IpBox}})},
      {10, concat({kCaptionSteps, {S::CycleStr, S::Cycle}, placement, {S::Host, S::IpBox}})},
      {12, concat({kCaptionSteps, {S::CycleStr, S::Cycle}, placement,
                   {S::Host, S::IpBox, S::BaudNone, S::BaudIndex, S::FileName}})},
      // Lines 13 and 14 alone do nothing: the font needs all fifteen.
      {14, concat({kCaptionSteps, {S::CycleStr, S::Cycle}, placement,
                   {S::Host, S::IpBox, S::BaudNone, S::BaudIndex, S::FileName}})},
      {15, concat({kCaptionSteps, {S::CycleStr, S::Cycle}, placement,
                   {S::Host, S::IpBox, S::BaudNone, S::BaudIndex, S::FileName, S::FontName,
                    S::FontSize, S::FontStyle}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    const LoadedSettings loaded = parseSettings(firstLines(c.lines));
    EXPECT_TRUE(loaded.fileFound);
    EXPECT_FALSE(loaded.failure.has_value());
    EXPECT_EQ(loaded.steps, c.steps);
  }

  const LoadedSettings nine = parseSettings(firstLines(9));
  EXPECT_EQ(nine.values.left, 10);
  EXPECT_EQ(nine.values.height, 480);
  EXPECT_EQ(nine.values.host, "");  // the IP box is emptied
  const LoadedSettings all = parseSettings(firstLines(15) + "extra line 16\r\n");
  EXPECT_EQ(all.values.captions[5], "H6");
  EXPECT_EQ(all.values.cycle, "250 ms");
  EXPECT_EQ(all.values.host, "module.local");
  EXPECT_EQ(all.values.baudIndex, 3);
  EXPECT_EQ(all.values.fileName, "/home/op/fw.hex");
  EXPECT_EQ(all.values.fontName, "Consolas");
  EXPECT_EQ(all.values.fontSize, 12);
  EXPECT_TRUE(all.values.bold);
  EXPECT_EQ(all.steps.size(), 20u);
}

TEST(SettingsLoad, LinesEndAtCrLfCrOrLfAndANulEndsTheText) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"crlf", "a\r\nb\r\n", {"a", "b"}},
      {"cr", "a\rb\r", {"a", "b"}},
      {"lf", "a\nb", {"a", "b"}},
      {"lf cr is two ends", "a\n\rb", {"a", "", "b"}},
      {"empty lines", "\r\n\r\nx\r\n", {"", "", "x"}},
      {"nul", std::string("a\r\nb\0c\r\nd\r\n", 11), {"a", "b"}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(splitSettingsLines(c.text), c.lines) << c.name;
  }
  EXPECT_EQ(splitSettingsLines("a\n\n\nb\n", 2), (std::vector<std::string>{"a", ""}));
}

TEST(SettingsFile, OnlyTheFirst64KiBAndFifteenLinesAreRead) {
  // A file that grew by accident (100 MB of line feeds) took 35 s and 4 GB to start.
  const std::string fifteen = firstLines(15);
  // Lines 1 to 13 padded so that the limit falls inside line 14 ("12"), after its "1".
  std::string cut = firstLines(13);
  cut.insert(0, kSettingsReadLimit - cut.size() - 1, 'x');
  cut += "12\r\n-\r\n";
  struct Case {
    const char* name;
    std::string content;
    int lines;
    int fontSize;  // the default when the font lines are not all read
  };
  const Case cases[] = {
      {"fifteen lines, then 8 MiB of line feeds", fifteen + std::string(8 << 20, '\n'), 15, 12},
      {"fifteen lines, then 8 MiB without a line end", fifteen + std::string(8 << 20, 'z'), 15, 12},
      {"a line the limit cuts is not read", cut, 13, kDefaultFontPoints},
      {"a file of exactly the limit is read whole", cut.substr(0, kSettingsReadLimit - 1) + "\n", 14,
       kDefaultFontPoints},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write(kSettingsFileName, c.content);
    const LoadedSettings loaded = loadSettingsFrom(dir.path());
    EXPECT_FALSE(loaded.failure.has_value());
    EXPECT_EQ(loaded.lineCount, c.lines);
    EXPECT_EQ(loaded.values.fontSize, c.fontSize);
    EXPECT_EQ(loaded.values.captions[5], "H6");
  }
}

TEST(SettingsLoad, BaudIndex) {
  struct Case {
    std::string line;
    int selected;
    bool handler;
  };
  const Case cases[] = {
      {"12", 9, true}, {"9", 9, true}, {"0", 0, true}, {"-1", -1, false}, {"-2", -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto lines = fullLines();
    lines[10] = c.line;
    const LoadedSettings loaded = parseSettings(firstLines(11, lines));
    ASSERT_FALSE(loaded.failure.has_value());
    ASSERT_EQ(loaded.steps.back(), S::BaudIndex);
    const BaudSelection sel = baudSelection(loaded.values.baudIndex);
    EXPECT_EQ(sel.index, c.selected);
    EXPECT_EQ(sel.runsClickHandler, c.handler);
  }
}

TEST(SettingsLoad, BoldMarker) {
  struct Case {
    std::string line;
    bool bold;
  };
  const Case cases[] = {{"BOLD", true}, {"xxBOLDyy", true}, {"bold", false}, {"Bold", false}, {"-", false}, {"", false}};
  for (const Case& c : cases) {
    auto lines = fullLines();
    lines[14] = c.line;
    EXPECT_EQ(parseSettings(firstLines(15, lines)).values.bold, c.bold) << c.line;
  }
}

TEST(SettingsLoad, BadNumberStopsTheLoadingAtThatValue) {
  const std::vector<S> before9 = concat({kCaptionSteps, {S::CycleStr, S::Cycle}});
  const std::vector<S> before11 = concat({before9, {S::Left, S::Top, S::Width, S::Height, S::Host, S::IpBox}});
  struct Case {
    const char* name;
    std::size_t line;  // 0-based
    std::string text;
    std::string offending;
    std::vector<S> applied;
  };
  const Case cases[] = {
      {"left", 8, "x,20,640,480, (Left,Top,Width,Height)", "x", before9},
      {"width", 8, "10,20,6 40,480,", "6 40", concat({before9, {S::Left, S::Top}})},
      {"height without comma", 8, "10,20,640,480", "", concat({before9, {S::Left, S::Top, S::Width}})},
      {"empty placement", 8, "", "", before9},
      {"baud index", 10, "nine", "nine", concat({before11, {S::BaudNone}})},
      {"baud index empty", 10, "", "", concat({before11, {S::BaudNone}})},
      {"font size", 13, "12pt", "12pt",
       concat({before11, {S::BaudNone, S::BaudIndex, S::FileName, S::FontName}})},
      {"font size too large", 13, "99999999999", "99999999999",
       concat({before11, {S::BaudNone, S::BaudIndex, S::FileName, S::FontName}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto lines = fullLines();
    lines[c.line] = c.text;
    const LoadedSettings loaded = parseSettings(firstLines(15, lines));
    ASSERT_TRUE(loaded.failure.has_value());
    EXPECT_EQ(loaded.failure->code, ErrorCode::Invalid);
    EXPECT_EQ(loaded.failure->message, invalidIntegerText(c.offending));
    EXPECT_EQ(loaded.steps, c.applied);
  }
  // The message as the operator reads it.
  EXPECT_EQ(invalidIntegerText(""), "'' ist kein g\xC3\xBCltiger Integerwert");
}

TEST(SettingsLoad, IntegerRules) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  };
  const Case cases[] = {
      {"0", true, 0},          {"-12", true, -12},     {"+7", true, 7},
      {"  42", true, 42},      {"42 ", false, 0},      {"", false, 0},
      {"-", false, 0},         {"0x10", false, 0},     {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},          {"2147483648", false, 0},
  };
  for (const Case& c : cases) {
    const auto v = parseSettingsInteger(c.text);
    ASSERT_EQ(v.has_value(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(*v, c.value) << c.text;
    }
  }
}

TEST(SettingsFormat, FifteenCrLfLinesAndThePlacementText) {
  Settings s;
  s.left = -8;
  s.top = 30;
  s.width = 800;
  s.height = 600;
  s.baudIndex = -1;
  const std::string text = formatSettings(s);
  EXPECT_EQ(text, crlf({"KP01001", "KP02001", "AM0105", "QS0105", "DOWNLOAD", "", "KP01@", "500 ms",
                        "-8,30,800,600, (Left,Top,Width,Height)", "", "-1", "", "Courier New", "8",
                        "-"}));
  EXPECT_EQ(formatPlacement(1, 2, 3, 4), "1,2,3,4, (Left,Top,Width,Height)");
}

TEST(SettingsFormat, RoundTrip) {
  Settings s;
  s.captions = {"A1", "B 2", "", "x,y", "DOWNLOAD", "\xE4\xF6\xFC"};
  s.cycleStr = "KP@@";
  s.cycle = "1000";
  s.left = 5;
  s.top = -3;
  s.width = 1024;
  s.height = 700;
  s.host = "10.0.0.9:4001";
  s.baudIndex = 4;
  s.fileName = "/tmp/a b/fw.hex";
  s.fontName = "DejaVu Sans Mono";
  s.fontSize = 10;
  s.bold = true;
  const LoadedSettings loaded = parseSettings(formatSettings(s));
  ASSERT_FALSE(loaded.failure.has_value());
  EXPECT_EQ(loaded.lineCount, 15);
  EXPECT_EQ(formatSettings(loaded.values), formatSettings(s));
}

TEST(SettingsFile, MissingBinaryAndOtherCase) {
  {
    TempDir dir;
    const LoadedSettings loaded = loadSettingsFrom(dir.path());
    EXPECT_FALSE(loaded.fileFound);
    EXPECT_TRUE(loaded.steps.empty());
    EXPECT_EQ(std::string(kSettingsMissingText), "Unable to load \"Hotkey.txt\". Using default hotkeys");
  }
  {
    // Random bytes with line ends and a NUL: loads what it can, never crashes.
    TempDir dir;
    std::string junk;
    unsigned x = 12345;
    for (int i = 0; i < 4000; ++i) {
      x = x * 1103515245u + 12345u;
      junk.push_back(static_cast<char>((x >> 16) & 0xFF));
    }
    for (int cut : {0, 1, 7, 100, 999, 4000}) {
      dir.write(kSettingsFileName, junk.substr(0, static_cast<std::size_t>(cut)));
      const LoadedSettings loaded = loadSettingsFrom(dir.path());
      EXPECT_TRUE(loaded.fileFound);
      EXPECT_FALSE(loaded.steps.empty());
    }
  }
  {
    // A file copied from a system that ignores letter case.
    TempDir dir;
    dir.write("HOTKEY.TXT", firstLines(6));
    const LoadedSettings loaded = loadSettingsFrom(dir.path());
    EXPECT_TRUE(loaded.fileFound);
    EXPECT_EQ(loaded.values.captions[0], "H1");
  }
}

TEST(SettingsFile, TheUsersFileElseTheInstalledDefaultElseTheMessage) {
  struct Case {
    const char* name;
    const char* own;        // the user's first caption; nullptr: no file
    const char* installed;  // the installed default's; nullptr: no file, "": unreadable
    bool found;
    const char* caption;
  };
  const Case cases[] = {
      {"the user's file wins", "MINE", "PKG", true, "MINE"},
      {"a fresh profile reads the installed default silently", nullptr, "PKG", true, "PKG"},
      {"neither", nullptr, nullptr, false, "KP01001"},
      {"an installed default that cannot be read", nullptr, "", false, "KP01001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir own, installed;
    if (c.own) own.write(kSettingsFileName, std::string(c.own) + "\r\n" + firstLines(6).substr(4));
    if (c.installed && *c.installed) installed.write(kSettingsFileName, std::string(c.installed) + "\r\n" + firstLines(6).substr(4));
    if (c.installed && !*c.installed) fs::create_directory(installed.path() + "/" + kSettingsFileName);
    const LoadedSettings loaded = loadSettingsFrom(own.path(), installed.path());
    EXPECT_EQ(loaded.fileFound, c.found);
    EXPECT_FALSE(loaded.failure.has_value());
    EXPECT_EQ(loaded.values.captions[0], c.caption);
  }
}

TEST(SettingsFile, SaveReplacesAtomicallyAndAFailedSaveKeepsTheOldFile) {
  TempDir dir;
  Settings first;
  first.host = "first";
  ASSERT_TRUE(saveSettingsTo(first, dir.path()).ok());
  EXPECT_EQ(dir.read(kSettingsFileName), formatSettings(first));
  Settings second;
  second.host = "second";
  ASSERT_TRUE(saveSettingsTo(second, dir.path()).ok());
  EXPECT_EQ(loadSettingsFrom(dir.path()).values.host, "second");

  // Nothing but the settings file is left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);

  // A write that fails half-way (the disk is full, here a file size limit).
  {
    Settings third;
    third.host = "third";
    Status error;
    {
      const testing::FileSizeLimit fullDisk;
      error = saveSettingsTo(third, dir.path());
    }
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.message(), "Stream-Schreibfehler");
    EXPECT_EQ(dir.read(kSettingsFileName), formatSettings(second));
    entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);  // the temporary file is gone
  }

}

TEST(SettingsFile, SaveWritesTheFileItReadsThroughItsLinks) {
  // A symbolic link was replaced by a regular file, and a lower-case hotkey.txt was read but
  // Hotkey.TXT written beside it.
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // name in the folder -> target
    std::string existing;  // a regular file there before the save ("" for none)
    std::string written;   // where the text must land; "" when the save must fail
  };
  const Case cases[] = {
      {"relative link", {{"Hotkey.TXT", "../shared/settings.txt"}}, "../shared/settings.txt", "../shared/settings.txt"},
      {"absolute link through a link", {{"Hotkey.TXT", "hop"}, {"hop", "@/../shared/settings.txt"}},
       "../shared/settings.txt", "../shared/settings.txt"},
      {"link to a file not there yet", {{"Hotkey.TXT", "../shared/new.txt"}}, "", "../shared/new.txt"},
      {"link loop", {{"Hotkey.TXT", "loop"}, {"loop", "Hotkey.TXT"}}, "", ""},
      {"lower-case name", {}, "hotkey.txt", "hotkey.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    const std::string dir = root.path() + "/velkorn";
    fs::create_directories(dir);
    fs::create_directories(root.path() + "/shared");
    if (!c.existing.empty()) std::ofstream(dir + "/" + c.existing) << "old\r\n";
    for (const auto& [name, target] : c.links) {
      std::string to = target;
      if (to.rfind("@", 0) == 0) to = dir + to.substr(1);
      fs::create_symlink(to, dir + "/" + name);
    }
    Settings s;
    s.host = "through";
    const auto error = saveSettingsTo(s, dir);
    for (const auto& link : c.links) EXPECT_TRUE(fs::is_symlink(dir + "/" + link.first)) << link.first;
    if (c.written.empty()) {
      EXPECT_FALSE(error.ok());
      continue;
    }
    ASSERT_TRUE(error.ok()) << error.message();
    std::ifstream in(dir + "/" + c.written, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), formatSettings(s));
    // Nothing was written beside it, and the next start reads what was saved.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(static_cast<std::size_t>(entries), c.links.size() + (c.links.empty() ? 1 : 0));
    EXPECT_EQ(loadSettingsFrom(dir).values.host, "through");
  }
}

TEST(SettingsFile, SaveRemovesTemporaryFilesThatAKilledSaveLeft) {
  struct Case {
    std::string name;
    bool old;       // written before this process started
    bool removed;
  };
  const Case cases[] = {
      {"Hotkey.TXT.a1B2c3", true, true},
      {"Hotkey.TXT.a1B2c3", false, false},  // another window's save that is still running
      {"Hotkey.TXT.bak", true, false},
      {"Hotkey.TXT.a1B2c3d", true, false},
      {"Hotkey.TXT.a1-2c3", true, false},
      {"Other.TXT.a1B2c3", true, false},
      {"settings.txt.Zz09aA", true, true},  // beside the file a link points at
      {".velkorn-a1b2c3", true, true},      // the atomic write's
      {".velkorn-a1b2c3", false, false},
      {".velkorn-a1b2c", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.old ? " (old)" : " (new)"));
    TempDir dir;
    const bool beside = c.name.rfind("settings.txt", 0) == 0;
    if (beside) fs::create_symlink("settings.txt", dir.path() + "/" + kSettingsFileName);
    const std::string temp = dir.path() + "/" + c.name;
    dir.write(c.name, "half a save");
    if (c.old) fs::last_write_time(temp, fs::last_write_time(temp) - std::chrono::hours(1));
    ASSERT_TRUE(saveSettingsTo(Settings{}, dir.path()).ok());
    EXPECT_EQ(fs::exists(temp), !c.removed);
  }
}

TEST(SettingsFile, ReadOnlyDirectoryKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  TempDir dir;
  Settings second;
  second.host = "second";
  ASSERT_TRUE(saveSettingsTo(second, dir.path()).ok());
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  Settings fourth;
  fourth.host = "fourth";
  const auto error = saveSettingsTo(fourth, dir.path());
  fs::permissions(dir.path(), fs::perms::owner_all);
  ASSERT_FALSE(error.ok());
  EXPECT_EQ(error.message(), "Datei " + dir.path() + "/" + kSettingsFileName + " kann nicht erstellt werden");
  EXPECT_EQ(dir.read(kSettingsFileName), formatSettings(second));
}

TEST(SettingsFile, OneDirectoryForReadingAndWriting) {
  TempDir dir;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  Settings s;
  s.host = "module";
  const auto error = saveSettings(s);
  const LoadedSettings loaded = loadSettings();
  if (old) {
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CONFIG_HOME");
  }
  ASSERT_TRUE(error.ok()) << error.message();
  EXPECT_TRUE(loaded.fileFound);
  EXPECT_EQ(loaded.values.host, "module");
  EXPECT_TRUE(fs::exists(dir.path() + "/velkorn/Hotkey.TXT"));
}

}  // namespace
}  // namespace velkorn::file
