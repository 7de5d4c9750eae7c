// The configuration directory under a temporary $XDG_CONFIG_HOME.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "file/directories.h"

namespace velkorn::file {
namespace {
namespace fs = std::filesystem;

class ConfigDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("velkorn_config_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old, had_ = true;
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
  }
  void TearDown() override {
    if (had_) ::setenv("XDG_CONFIG_HOME", saved_.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }

  fs::path root_;
  std::string saved_;
  bool had_ = false;
};

TEST_F(ConfigDirectoryTest, FollowsXdgThenHome) {
  EXPECT_EQ(configDirectory(), (root_ / "velkorn").string());
  ::setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // relative values are ignored
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(configDirectory(), (fs::path(home) / ".config" / "velkorn").string());
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(configDirectory(), (fs::path(home) / ".config" / "velkorn").string());
}

TEST_F(ConfigDirectoryTest, EnsureCreatesItOnce) {
  EXPECT_FALSE(fs::exists(configDirectory()));
  EXPECT_TRUE(ensureConfigDirectory());
  EXPECT_TRUE(fs::is_directory(configDirectory()));
  EXPECT_TRUE(ensureConfigDirectory());
  // A file in the way cannot become the directory, and the error names it.
  fs::remove(configDirectory());
  std::ofstream(configDirectory()) << "x";
  const Status again = ensureConfigDirectory();
  ASSERT_FALSE(again);
  EXPECT_NE(again.message().find(configDirectory()), std::string::npos) << again.message();
}

}  // namespace
}  // namespace velkorn::file
