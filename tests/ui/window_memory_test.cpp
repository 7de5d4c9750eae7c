// What the window remembers between runs (the recent files and the last COM entry, in a file
// of their own beside Hotkey.TXT) and "Save Chip As...", which writes what the last read got.
#include <sys/stat.h>

#include <QAction>
#include <QMenu>
#include <fstream>
#include <iterator>

#include "ui/window_memory.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

namespace fs = std::filesystem;
using ui::TForm1;
using ui::WindowMemory;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WindowMemoryFile, WhatLoadsFromTheFileAndWhatAChangeLeavesThere) {
  struct Case {
    const char* name;
    std::optional<std::string> content;  // none: no file; "/": a folder in its place; "->": a link
                                         // to a file of that text elsewhere
    QStringList recent;
    int port;
  };
  const Case cases[] = {
      {"no file", std::nullopt, {}, 0},
      {"bytes that are no INI file", std::string("\x01\xff[[\x00=\n=\xfe", 9), {}, 0},
      {"repeats and relative names dropped",
       "[recent]\nfiles=/w/a.hex, /w/./b.hex, /w/a.hex, rel.hex\n[line]\ncom=3\n", {"/w/a.hex", "/w/b.hex"}, 3},
      {"a port that is no entry", "[line]\ncom=9\n", {}, 0},
      {"a port that is no number", "[line]\ncom=two\n", {}, 0},
      {"more files than the menu shows", "[recent]\nfiles=/1, /2, /3, /4, /5, /6, /7, /8, /9, /10\n",
       {"/1", "/2", "/3", "/4", "/5", "/6", "/7", "/8"}, 0},
      {"a link the user keeps", "->", {"/w/linked.hex"}, 0},
      // Last: Qt keeps what it could not write for the next use of the same name.
      {"a folder in its place", "/", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigHome home;
    const fs::path file = home.dir() / ui::kWindowMemoryFile;
    if (c.content == "/") {
      fs::create_directory(file);
    } else if (c.content == "->") {
      std::ofstream(home.root() / "shared.ini", std::ios::binary) << "[recent]\nfiles=/w/linked.hex\n";
      fs::create_symlink(home.root() / "shared.ini", file);
    } else if (c.content) {
      std::ofstream(file, std::ios::binary) << *c.content;
    }
    WindowMemory memory;
    memory.load();
    EXPECT_EQ(memory.recentFiles(), c.recent);
    EXPECT_EQ(memory.lastPort(), c.port);

    // Nine loads, one file twice: most recent first, once each, eight at most, and the same
    // after a new start.
    for (const char* name : {"/f/1.hex", "/f/2.hex", "/f/3.hex", "/f/4.hex", "/f/5.hex", "/f/2.hex", "/f/6.hex",
                             "/f/7.hex", "/f/8.hex", "/f/9.hex"})
      memory.addRecentFile(QString::fromLatin1(name));
    memory.setLastPort(5);
    const QStringList want = {"/f/9.hex", "/f/8.hex", "/f/7.hex", "/f/6.hex", "/f/2.hex", "/f/5.hex", "/f/4.hex",
                              "/f/3.hex"};
    EXPECT_EQ(memory.recentFiles(), want);
    WindowMemory again;
    again.load();
    if (c.content == "/") {
      EXPECT_TRUE(again.recentFiles().isEmpty());  // nowhere to write: nothing kept, nothing broken
      continue;
    }
    EXPECT_EQ(again.recentFiles(), want);
    EXPECT_EQ(again.lastPort(), 5);
    if (c.content == "->") {
      EXPECT_TRUE(fs::is_symlink(file));
    }
    again.forgetRecentFile(QStringLiteral("/f/7.hex"));
    again.setLastPort(0);
    WindowMemory third;
    third.load();
    EXPECT_EQ(third.recentFiles().size(), 7);
    EXPECT_FALSE(third.recentFiles().contains(QStringLiteral("/f/7.hex")));
    EXPECT_EQ(third.lastPort(), 0);
  }
}

class WindowMemoryTest : public FormTest {
 protected:
  // A window as at a new start: the earlier one is gone first, and its boxes with it.
  TForm1& makeForm() {
    form_.reset();
    dialogs_ = ScriptedDialogs{};
    return FormTest::makeForm();
  }
  std::string writeHex(const std::string& name, const std::string& text) const {
    const fs::path path = home_.root() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }
  QStringList recentEntries() const {
    QStringList out;
    for (QAction* entry : component<QMenu>(*form_, "Recent")->actions())
      out << entry->text() + (entry->isEnabled() ? QString() : QStringLiteral(" (disabled)"));
    return out;
  }

};

TEST_F(WindowMemoryTest, RecentFilesComeBackInTheMenuAndOneThatIsGoneLeavesIt) {
  TForm1& first = makeForm();
  EXPECT_EQ(recentEntries(), QStringList{"(none) (disabled)"});
  const std::string a = writeHex("a.hex", ":0100000011EE\r\n:00000001FF\r\n");
  const std::string b = writeHex("b.hex", ":0100000022DD\r\n:00000001FF\r\n");
  const std::string broken = writeHex("broken.hex", ":01000000\r\n");
  for (const std::string& file : {a, broken, b}) ASSERT_TRUE(first.loadHexFileNamed(QString::fromStdString(file)));
  bool lockedDuringLoad = false;
  dialogs_.onOpenFile = [&] { lockedDuringLoad = !component<QMenu>(first, "Recent")->menuAction()->isEnabled(); };
  first.LoadFile1Click();  // cancelled
  EXPECT_TRUE(lockedDuringLoad);
  EXPECT_TRUE(component<QMenu>(first, "Recent")->menuAction()->isEnabled());

  TForm1& second = makeForm();
  EXPECT_EQ(recentEntries(), (QStringList{"&1 b.hex", "&2 a.hex"}));  // the broken file never loaded
  EXPECT_EQ(component<QMenu>(second, "Recent")->actions()[1]->toolTip(), QString::fromStdString(a));

  component<QMenu>(second, "Recent")->actions()[1]->trigger();
  EXPECT_EQ(second.engine().images().fileImage[0], 0x11);
  EXPECT_EQ(recentEntries(), (QStringList{"&1 a.hex", "&2 b.hex"}));

  fs::remove(b);
  component<QMenu>(second, "Recent")->actions()[1]->trigger();
  ASSERT_EQ(dialogs_.of("error").size(), 1u);
  EXPECT_NE(dialogs_.of("error")[0].find("b.hex"), std::string::npos);
  EXPECT_EQ(recentEntries(), QStringList{"&1 a.hex"});
}

TEST_F(WindowMemoryTest, TheLastPortOpenedIsOpenedAgainAtStartWhileItIsThere) {
  struct Case {
    const char* name;
    bool thenTcp;    // the operator chose the network line afterwards
    bool goneAtStart;
    bool reopened;
  };
  for (const Case c : {Case{"still there", false, false, true}, Case{"another line chosen", true, false, false},
                       Case{"gone at start", false, true, false}}) {
    SCOPED_TRACE(c.name);
    Pty pty;
    home_.pin(2, pty.slave());
    TForm1& first = makeForm();
    comEntry(first, 2)->trigger();
    ASSERT_TRUE(pty.slaveInUse());
    if (c.thenTcp) action(first, "MTCP")->trigger();
    form_.reset();
    if (c.goneAtStart) home_.pin(2, (home_.root() / "unplugged").string());

    TForm1& second = makeForm();
    EXPECT_EQ(pty.slaveInUse(), c.reopened);
    EXPECT_EQ(comEntry(second, 2)->isChecked(), c.reopened);
    EXPECT_EQ(panelText(second, 0), c.reopened ? QStringLiteral("COM2") : QStringLiteral("---"));
    EXPECT_EQ(action(second, "MRead")->isEnabled(), c.reopened);
    EXPECT_TRUE(dialogs_.of("error").empty());
    // A port gone at start is not forgotten: it opens again once it is back.
    home_.pin(2, pty.slave());
    TForm1& third = makeForm();
    EXPECT_EQ(comEntry(third, 2)->isChecked(), !c.thenTcp);
  }
}

TEST_F(WindowMemoryTest, SaveChipAsWritesWhatTheReadGotAndNeverHalfAFile) {
  TForm1& form = makeForm();
  EXPECT_FALSE(action(form, "SaveChip")->isEnabled());
  MemoryImages& images = form.engine().images();
  for (int at = 0; at < kImageSize; ++at)
    images.chipImage[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(at);
  // A read that got 0010..0013 and 0020 only: after the next command the entry is there.
  for (int at : {0x10, 0x11, 0x12, 0x13, 0x20}) images.chipRead.set(static_cast<std::size_t>(at));
  form.LoadFile1Click();  // cancelled
  ASSERT_TRUE(action(form, "SaveChip")->isEnabled());

  const fs::path dir = home_.root();
  std::ofstream(dir / "plain") << "a file, not a folder";
  std::ofstream(dir / "old.hex") << "OLD";
  ::chmod((dir / "old.hex").c_str(), 0640);
  fs::create_directory(dir / "folder.hex");
  fs::create_symlink(dir / "old.hex", dir / "link.hex");
  const std::string partialHex = ":0400100010111213A6\r\n:0100200020BF\r\n:00000001FF\r\n";
  struct Case {
    const char* name;
    const char* file;
    bool binaryFilter;
    std::string written;  // empty: nothing written there
    std::string result;   // the status bar's start
    std::string box;      // the one box, in part ("info|...", "error|..."); empty: none
  };
  const Case cases[] = {
      {"HEX holds only the bytes read", "part.hex", false, partialHex, "Saved part.hex", ""},
      {"replacing keeps the file's mode", "old.hex", false, partialHex, "Saved old.hex", ""},
      {"binary by its extension is refused", "part.bin", false, "", "Not saved: read incomplete",
       "info|" + std::string(ui::kProgramTitle) + "|part.bin was not saved: a binary file holds the whole chip, "
       "and the last read missed 65531 bytes, the first at 0000."},
      {"binary by the filter is refused", "part", true, "", "Not saved: read incomplete", "info|"},
      {"a parent that is a file", "plain/x.hex", false, "", "Not saved: Not a directory", "error|Can not save "},
      {"a folder at the name stays", "folder.hex", false, "", "Not saved: not a regular file", "error|"},
      {"a link at the name stays", "link.hex", false, "", "Not saved: not a regular file", "error|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs_.events.clear();
    dialogs_.saveAnswers = {ui::SaveTarget{QString::fromStdString((dir / c.file).string()), c.binaryFilter}};
    action(form, "SaveChip")->trigger();
    EXPECT_TRUE(resultText(form).startsWith(QString::fromStdString(c.result))) << resultText(form).toStdString();
    ASSERT_EQ(dialogs_.events.size(), c.box.empty() ? 1u : 2u);  // the save dialog, then the box
    if (!c.box.empty()) {
      EXPECT_EQ(dialogs_.events[1].rfind(c.box, 0), 0u) << dialogs_.events[1];
    }
    if (!c.written.empty()) {
      EXPECT_EQ(readFile(dir / c.file), c.written);
    }
  }
  EXPECT_FALSE(fs::exists(dir / "part.bin"));
  EXPECT_FALSE(fs::exists(dir / "part"));
  EXPECT_TRUE(fs::is_directory(dir / "folder.hex"));
  EXPECT_TRUE(fs::is_symlink(dir / "link.hex"));
  EXPECT_EQ(readFile(dir / "old.hex"), partialHex);  // written once through its own name, not the link
  EXPECT_EQ(fs::status(dir / "old.hex").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // No temporary file is left behind anywhere.
  for (const auto& entry : fs::directory_iterator(dir))
    EXPECT_EQ(entry.path().filename().string().rfind(".velkorn-", 0), std::string::npos) << entry.path();

  // The whole chip read: the binary file is the chip's bytes.
  images.chipRead.set();
  images.chipSize = kChipSize32K;
  dialogs_.saveAnswers = {ui::SaveTarget{QString::fromStdString((dir / "whole.bin").string()), false}};
  action(form, "SaveChip")->trigger();
  const std::string whole = readFile(dir / "whole.bin");
  ASSERT_EQ(whole.size(), static_cast<std::size_t>(kChipSize32K));
  EXPECT_EQ(static_cast<std::uint8_t>(whole[0x1234]), 0x34);
  EXPECT_TRUE(resultText(form).startsWith(QStringLiteral("Saved whole.bin")));
}

}  // namespace
}  // namespace velkorn::testing
