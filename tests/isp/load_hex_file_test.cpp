// "&Load File" on the engine: boxes, flags, the file image and the window updates of a load.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "image/hex_codec.h"
#include "image/hex_writer.h"
#include "isp/engine.h"
#include "sim/bootloader.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/sim_link.h"
#include "support/hex_records.h"

namespace velkorn::isp {
namespace {

namespace fs = std::filesystem;
using testing::FakeClock;
using testing::ScriptedOperator;
using testing::SimLink;

using testing::counting;
using testing::rec;

std::map<unsigned, int> bytesAt(unsigned address, const std::vector<int>& values,
                                std::map<unsigned, int> m = {}) {
  for (std::size_t k = 0; k < values.size(); ++k) m[address + static_cast<unsigned>(k)] = values[k];
  return m;
}

const std::string kEnd = ":00000001FF";
const std::string kData = ":10010000000102030405060708090A0B0C0D0E0F77";  // 00..0F at 0x100

class LoadHexFileTest : public ::testing::Test {
 protected:
  LoadHexFileTest() {
    static int serial = 0;
    dir_ = fs::temp_directory_path() /
           ("velkorn-load-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
    fs::create_directories(dir_);
  }
  ~LoadHexFileTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string writeFile(const std::string& text, const std::string& name = "fw.hex") {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

  // Loads `text` through the open dialog; true when the load is complete.
  bool load(const std::string& text) {
    op.fileAnswers.push_back(writeFile(text));
    outcome = engine.loadHexFile();
    return engine.images().fileLoaded;
  }

  // Every byte of the file image: the listed values, 0xFF elsewhere.
  void expectImage(const std::map<unsigned, int>& stored) {
    const Image& image = engine.images().fileImage;
    for (unsigned a = 0; a < static_cast<unsigned>(kImageSize); ++a) {
      const auto it = stored.find(a);
      const int want = it == stored.end() ? kErasedByte : it->second;
      if (image[a] != want) {
        ADD_FAILURE() << "address 0x" << std::hex << a << ": 0x" << int{image[a]} << " instead of 0x" << want;
        return;
      }
    }
  }

  fs::path dir_;
  FakeClock clock;
  sim::Bootloader target;
  SimLink link{target, clock};
  ScriptedOperator op{clock};
  Engine engine{link, op, op, op, clock};
  isp::Outcome outcome;  // of the last load()
};

struct LoadCase {
  const char* name;
  std::string text;
  std::vector<std::string> errors;  // boxes shown, "text|ok" or "text|okcancel"
  bool loaded;
  int lines;
  std::map<unsigned, int> stored;
  std::deque<Button> answers = {};
};

TEST_F(LoadHexFileTest, TableOfFiles) {
  const std::vector<LoadCase> cases = {
      {"data and end record", kData + "\r\n" + kEnd + "\r\n", {}, true, 2, bytesAt(0x100, counting(16))},
      {"byte count 0", ":0000000000\r\n" + kEnd + "\r\n", {}, true, 2, {}},
      {"lower-case digits", ":10010000000102030405060708090a0b0c0d0e0f77\n:00000001ff\n", {}, true, 2,
       bytesAt(0x100, counting(16))},
      {"LF line ends", kData + "\n" + rec(0, 0x200, {1}) + "\n" + kEnd + "\n", {}, true, 3,
       bytesAt(0x100, counting(16), {{0x200, 1}})},
      {"lone CR line ends", kData + "\r" + rec(0, 0x200, {1}) + "\r" + kEnd, {}, true, 3,
       bytesAt(0x100, counting(16), {{0x200, 1}})},
      {"lines after the end record still load", kEnd + "\r\n" + kData + "\r\n", {}, true, 2,
       bytesAt(0x100, counting(16))},
      // NUL padding after the last record loses nothing; a NUL with more behind it would
      // hide records, so none of that file is loaded
      {"NUL padding at the end", kData + "\r\n" + kEnd + "\r\n" + std::string(4, '\0') + "\r\n", {}, true, 2,
       bytesAt(0x100, counting(16))},
      {"a NUL hides more records", kData + "\r\n" + std::string(1, '\0') + kData + "\r\n",
       {"Hex File format error in line 2|ok"}, false, 1, {}},
      {"a NUL inside a line", kData.substr(0, 9) + std::string(1, '\0') + kData.substr(9) + "\r\n",
       {"Hex File format error in line 1|ok"}, false, 1, {}},
      {"linear address 0", rec(4, 0, {0, 0}) + "\n" + kData + "\n" + kEnd + "\n", {}, true, 3,
       bytesAt(0x100, counting(16))},
      {"segment address 0x1000", rec(2, 0, {0x01, 0x00}) + "\n" + rec(0, 0x20, {7, 8}) + "\n" + kEnd + "\n", {},
       true, 3, {{0x1020, 7}, {0x1021, 8}}},
      {"linear address 1: data past the image",
       kData + "\n" + rec(4, 0, {0, 1}) + "\n" + rec(0, 0, {9}) + "\n" + rec(0, 0x300, {3}) + "\n",
       {"Address error in line 3|okcancel"}, false, 4, bytesAt(0x100, counting(16))},
      {"record running past 0xFFFF", rec(0, 0xFFF8, counting(16, 0x80)) + "\n" + kEnd + "\n",
       {"Address error in line 1|okcancel"}, false, 2, bytesAt(0xFFF8, counting(8, 0x80))},
      {"bad checksum stores nothing and stops",
       rec(0, 0x10, {1}) + "\n" + kData.substr(0, kData.size() - 1) + "8\n" + rec(0, 0x20, {2}) + "\n",
       {"Checksum error in line 2|okcancel"}, false, 3, {{0x10, 1}}},
      {"missing checksum", kData.substr(0, kData.size() - 2) + "\n" + kEnd + "\n",
       {"Checksum error in line 1|okcancel"}, false, 2, {}},
      // unlike the other errors, a corrupted last record never leaves a complete load
      {"bad checksum in the last line", rec(0, 0x10, {1}) + "\n" + kData.substr(0, kData.size() - 1) + "8\n",
       {"Checksum error in line 2|okcancel"}, false, 2, {{0x10, 1}}},
      {"blank line in the middle", kData + "\r\n\r\n" + rec(0, 0x20, {2}) + "\r\n",
       {"Hex File format error in line 2|ok"}, false, 3, bytesAt(0x100, counting(16))},
      {"blank lines at the end are not lines of the file", kData + "\r\n\r\n \r\n\n", {}, true, 1,
       bytesAt(0x100, counting(16))},
      {"format error in the last line still completes", kData + "\r\nx\r\n", {"Hex File format error in line 2|ok"},
       true, 2, bytesAt(0x100, counting(16))},
      {"end record with a wrong checksum", kData + "\n:00000001AA\n", {"Checksum error in line 2|okcancel"}, false, 2,
       bytesAt(0x100, counting(16))},
      // A file cut off inside its last record is not a complete load.
      {"last line cut short", kEnd + "\n:13010000000102030405060708090A0B0C0D0E0F77",
       {"Data error in line 2|okcancel", "Data error in line 2|okcancel"}, false, 2,
       bytesAt(0x100, counting(16), {{0x110, 0x77}})},
      {"bad hex in the address of line 5",
       rec(0, 0, {1}) + "\n" + rec(0, 1, {2}) + "\n" + rec(0, 2, {3}) + "\n" + rec(0, 3, {4}) + "\n" +
           ":01000X00057A\n" + kEnd + "\n",
       {"Address error in line 5|okcancel"}, false, 6, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
      {"bad byte count", ":0Z01000000\n" + kEnd + "\n", {"Len error in line 1|okcancel"}, false, 2, {}},
      // Two bytes lie wholly past the end of the line; the checksum pair is read as data.
      {"count promising more than the line holds", ":13010000000102030405060708090A0B0C0D0E0F77\n" + kEnd,
       {"Data error in line 1|okcancel", "Data error in line 1|okcancel"}, false, 2,
       bytesAt(0x100, counting(16), {{0x110, 0x77}})},
      {"Cancel in the box stops the same way", ":01000X00057A\n" + kEnd + "\n", {"Address error in line 1|okcancel"},
       false, 2, {}, {Button::Cancel}},
      {"empty file", "", {"Hex File format error in line 1|ok"}, false, 0, {}},
      {"only a NUL", std::string(1, '\0'), {"Hex File format error in line 1|ok"}, false, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    op.events.clear();
    op.errorAnswers = c.answers;
    engine.images().fileImage.fill(0x12);
    const bool result = load(c.text);
    EXPECT_EQ(result, c.loaded);
    EXPECT_EQ(engine.images().fileLoaded, c.loaded);
    EXPECT_EQ(op.errors(), c.errors);
    EXPECT_EQ(engine.images().hexLineCount, c.lines);
    EXPECT_EQ(engine.downloadAbort.raised(), !c.errors.empty());
    // Any bad line is a file error, even where the load still counts as complete.
    EXPECT_EQ(outcome.kind, c.errors.empty() ? isp::OutcomeKind::Done : isp::OutcomeKind::FileError);
    expectImage(c.stored);
    // The command line says where a NUL byte ended the text.
    const auto nul = c.text.find('\0');
    EXPECT_EQ(outcome.nulAt, nul == std::string::npos ? -1 : static_cast<long long>(nul));
    // The window's part of every load that read a file, in this order.
    const std::vector<std::string> tail = {"progress|hide", c.loaded ? "load|complete" : "load|incomplete"};
    ASSERT_GE(op.events.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(op.events.end() - 2, op.events.end()), tail);
    EXPECT_EQ(op.events[1], "progress|Loadig hex file...|" + std::to_string(std::max(c.lines - 1, 0)));
  }
}

TEST_F(LoadHexFileTest, AbortStopsAfterTheCurrentLine) {
  std::string text;
  for (int i = 0; i < 10; ++i) text += rec(0, static_cast<unsigned>(i), {0x40 + i}) + "\r\n";
  // Abort pressed while the n-th line's progress step lets messages run.
  const struct {
    int pressedAt;
    bool loaded;
    int linesStored;
  } cases[] = {{1, false, 1}, {3, false, 3}, {9, false, 9}, {10, true, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pressedAt);
    op.processEventsCalls = 0;
    op.onProcessEvents = [&] {
      if (op.processEventsCalls == c.pressedAt) engine.downloadAbort.raise();
    };
    EXPECT_EQ(load(text), c.loaded);
    EXPECT_EQ(outcome.kind, c.loaded ? isp::OutcomeKind::Done : isp::OutcomeKind::Aborted);
    EXPECT_EQ(engine.images().hexLineCount, 10);
    EXPECT_TRUE(op.errors().empty());
    std::map<unsigned, int> stored;
    for (int i = 0; i < c.linesStored; ++i) stored[static_cast<unsigned>(i)] = 0x40 + i;
    expectImage(stored);
  }
}

TEST_F(LoadHexFileTest, ProgressStepsOncePerLineAndTheEngineIsBusyMeanwhile) {
  std::string text;
  for (int i = 0; i < 5; ++i) text += rec(0, static_cast<unsigned>(16 * i), counting(16)) + "\n";
  std::vector<bool> busy;
  op.onProcessEvents = [&] { busy.push_back(engine.busy()); };
  EXPECT_TRUE(load(text));
  EXPECT_EQ(busy, std::vector<bool>(5, true));
  EXPECT_FALSE(engine.busy());
  EXPECT_EQ(op.lastProgressPosition, 4);
  EXPECT_EQ(op.progressPositionCalls, 5);
}

TEST_F(LoadHexFileTest, LoadFilePickedDuringALoadDoesNothing) {
  std::string text;
  for (int i = 0; i < 3; ++i) text += rec(0, static_cast<unsigned>(i), {i}) + "\n";
  std::vector<bool> nested;
  op.onProcessEvents = [&] { nested.push_back(engine.loadHexFile().done()); };
  EXPECT_TRUE(load(text));
  EXPECT_EQ(nested, std::vector<bool>(3, false));
  EXPECT_EQ(op.of("dialog").size(), 1u);
  EXPECT_EQ(op.of("progress").size(), 2u);  // one show, one hide
  expectImage({{0, 0}, {1, 1}, {2, 2}});
}

TEST_F(LoadHexFileTest, CancelledDialogKeepsTheImageButClearsTheFlag) {
  ASSERT_TRUE(load(kData + "\n"));
  engine.images().fileImage.fill(0x34);
  engine.hexFileName = "remembered.hex";
  op.events.clear();
  // No answer scripted: the dialog is cancelled.
  EXPECT_EQ(engine.loadHexFile().kind, isp::OutcomeKind::Aborted);
  EXPECT_FALSE(engine.images().fileLoaded);
  EXPECT_EQ(engine.hexFileName, "remembered.hex");
  EXPECT_EQ(engine.images().hexLineCount, 1);
  EXPECT_EQ(engine.images().fileImage[0x100], 0x34);
  EXPECT_EQ(engine.images().fileImage[0xFFFF], 0x34);
  EXPECT_EQ(op.events, (std::vector<std::string>{"dialog|remembered.hex", "load|incomplete"}));
}

TEST_F(LoadHexFileTest, DialogStartsOnTheRememberedNameAndRemembersTheChoice) {
  engine.hexFileName = "old.hex";
  const std::string path = writeFile(kData + "\n");
  op.fileAnswers.push_back(path);
  EXPECT_TRUE(engine.loadHexFile().done());
  EXPECT_EQ(op.events.front(), "dialog|old.hex");
  EXPECT_EQ(engine.hexFileName, path);
}

TEST_F(LoadHexFileTest, ReloadLoadsTheRememberedFileWithoutADialog) {
  engine.hexFileName = writeFile(kData + "\n" + kEnd + "\n");
  EXPECT_TRUE(engine.loadHexFile(isp::Asking::Never).done());
  EXPECT_TRUE(op.of("dialog").empty());
  expectImage(bytesAt(0x100, counting(16)));
}

TEST_F(LoadHexFileTest, FileThatCannotBeOpenedEndsTheCommandWithTheImageErased) {
  const std::string missing = (dir_ / "gone.hex").string();
  std::vector<std::pair<std::string, std::string>> cases = {{missing, "No such file or directory"},
                                                             {dir_.string(), "Is a directory"}};
#ifndef _WIN32
  const std::string fifo = (dir_ / "fifo.hex").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opening it would wait for a writer for ever
  cases.emplace_back(fifo, "not a regular file");
#endif
  for (const auto& [name, reason] : cases) {
    SCOPED_TRACE(name);
    engine.images().fileImage.fill(0x12);
    engine.images().fileLoaded = true;
    op.events.clear();
    op.fileAnswers.push_back(name);
    const isp::Outcome o = engine.loadHexFile();
    EXPECT_EQ(o.kind, isp::OutcomeKind::FileError);
    EXPECT_EQ(o.line, 0);
    EXPECT_EQ(o.file, name);
    EXPECT_EQ(o.detail, reason);
    EXPECT_FALSE(engine.images().fileLoaded);
    EXPECT_FALSE(engine.busy());
    expectImage({});
    EXPECT_TRUE(op.of("progress").empty());  // it ends before the progress window
    EXPECT_TRUE(op.of("load").empty());
  }
}

TEST_F(LoadHexFileTest, FileOverTheLimitIsRefusedBeforeReading) {
  const std::string big = writeFile(kData + "\n", "big.hex");
  fs::resize_file(big, 16 * 1024 * 1024 + 1);  // sparse: costs no disk
  op.fileAnswers.push_back(big);
  const isp::Outcome o = engine.loadHexFile();
  EXPECT_EQ(o.kind, isp::OutcomeKind::FileError);
  EXPECT_EQ(o.fileFault, isp::FileFault::TooLarge);
  EXPECT_EQ(op.errors(), std::vector<std::string>{"Hex file too large: " + big + "|ok"});
  EXPECT_TRUE(op.of("progress").empty());
  EXPECT_FALSE(engine.images().fileLoaded);
}

TEST_F(LoadHexFileTest, WrittenImageLoadsBackUnchanged) {
  std::vector<std::uint8_t> source(kImageSize);
  std::mt19937 random(77);
  for (auto& b : source) b = static_cast<std::uint8_t>(random());
  EXPECT_TRUE(load(writeIntelHex(source.data(), kImageSize)));
  EXPECT_TRUE(op.errors().empty());
  EXPECT_EQ(engine.images().hexLineCount, kImageSize / 16 + 1);
  EXPECT_TRUE(std::equal(source.begin(), source.end(), engine.images().fileImage.begin()));
}

}  // namespace
}  // namespace velkorn::isp
