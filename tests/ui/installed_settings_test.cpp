// The default settings file that the package installs: the window's loader reads it to the
// end without a failure, it is byte for byte what the window writes, and it holds the
// values the window starts with when there is no file. The window built in the build tree
// finds it too.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "file/settings_file.h"

namespace velkorn::file {
namespace {

TEST(InstalledSettings, DefaultFileReadsCleanlyWithTheWindowsDefaults) {
  std::ifstream in(VELKORN_SOURCE_DIR "/packaging/Hotkey.TXT", std::ios::binary);
  ASSERT_TRUE(in);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  const LoadedSettings loaded = parseSettings(content);
  EXPECT_FALSE(loaded.failure.has_value());
  EXPECT_EQ(loaded.lineCount, kSettingsLineCount);
  ASSERT_FALSE(loaded.steps.empty());
  EXPECT_EQ(loaded.steps.back(), SettingsStep::FontStyle);
  EXPECT_EQ(formatSettings(loaded.values), content);

  const Settings defaults;
  const Settings& v = loaded.values;
  EXPECT_EQ(v.captions, defaults.captions);
  EXPECT_EQ(v.cycleStr, defaults.cycleStr);
  EXPECT_EQ(v.cycle, defaults.cycle);
  EXPECT_EQ(v.host, defaults.host);
  EXPECT_EQ(v.baudIndex, defaults.baudIndex);
  EXPECT_EQ(v.fileName, defaults.fileName);
  EXPECT_EQ(v.fontName, defaults.fontName);
  EXPECT_EQ(v.fontSize, defaults.fontSize);
  EXPECT_EQ(v.bold, defaults.bold);
  EXPECT_GT(v.width, 0);
  EXPECT_GT(v.height, 0);
}

TEST(InstalledSettings, TheBuildTreesWindowFindsTheDefaultWithoutAUserFile) {
  namespace fs = std::filesystem;
  const fs::path config = fs::temp_directory_path() / ("velkorn_build_defaults_" + std::to_string(::getpid()));
  fs::create_directories(config);
  const std::string programDirectory = fs::path(VELKORN_APP_PATH).parent_path().string() + "/";

  const LoadedSettings loaded = loadSettingsFor(config.string(), programDirectory);
  fs::remove_all(config);

  EXPECT_TRUE(loaded.fileFound) << "the window would start with \"Unable to load\"";
  EXPECT_FALSE(loaded.failure.has_value());
  EXPECT_EQ(loaded.lineCount, kSettingsLineCount);
  EXPECT_EQ(loaded.path, programDirectory + kSettingsFileName);
}

}  // namespace
}  // namespace velkorn::file
