#pragma once
// A temporary folder per test, velkorn-target started in it, and velkorn-cli runs against it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace velkorn::testing {

using Flash = std::vector<std::uint8_t>;  // the simulated chip's flash

class CliFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("velkorn_cli_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path path(const std::string& name) const { return dir_ / name; }

  // A target whose flash starts as `preset` (erased when empty), logging its records.
  std::unique_ptr<Target> startTarget(const Flash& preset = {},
                                      std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--log", "--flash-out", path("flash.bin").string()};
    if (!preset.empty()) {
      std::ofstream(path("flash_in.bin"), std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(preset.data()), static_cast<std::streamsize>(preset.size()));
      args.push_back("--flash-in");
      args.push_back(path("flash_in.bin").string());
    }
    args.insert(args.end(), extra.begin(), extra.end());
    auto t = std::make_unique<Target>(args, path("target.log").string());
    EXPECT_FALSE(t->port().empty()) << "velkorn-target did not start";
    return t;
  }

  RunResult cli(const std::string& port, std::vector<std::string> args,
                std::chrono::seconds limit = std::chrono::seconds(120)) {
    args.insert(args.begin(), {VELKORN_CLI_PATH, "--port", port});
    return run(args, limit);
  }

  // The flash as the target last wrote it.
  Flash flash() const {
    std::ifstream in(path("flash.bin"), std::ios::binary);
    return Flash(std::istreambuf_iterator<char>(in), {});
  }
  // Ends the target (it writes the flash then) and keeps its record log.
  Flash flashAfter(Target& t) {
    log_ = t.stop();
    return flash();
  }

  std::filesystem::path dir_;
  std::string log_;  // the target's record log after stop
};

}  // namespace velkorn::testing
