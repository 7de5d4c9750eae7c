// The window's memory file: texts that Qt's settings class wrote (its INI format, for the keys
// and value shapes the window keeps) read as it read them, and written back byte for byte.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file/ini_file.h"

namespace velkorn::file {
namespace {

using V = IniValue;

TEST(IniFile, TextsQtsSettingsWroteReadTheSameAndAreWrittenAlike) {
  struct Case {
    const char* name;
    std::string text;
    IniEntries entries;
  };
  const Case cases[] = {
      {"every key",
       "[bootloader]\nrate=57600\nreset=\"dtr=0,wait=100,dtr=1\"\n\n[line]\ncom=3\n\n[read]\nwhole-chip=true\n\n"
       "[recent]\nfiles=/home/a/b.hex, /tmp/c d.hex\n",
       {{"bootloader/rate", V::text("57600")},
        {"bootloader/reset", V::text("dtr=0,wait=100,dtr=1")},
        {"line/com", V::text("3")},
        {"read/whole-chip", V::text("true")},
        {"recent/files", V::listOf({"/home/a/b.hex", "/tmp/c d.hex"})}}},
      // A list of one is written as its text alone.
      {"one recent file", "[recent]\nfiles=/home/a/b.hex\n", {{"recent/files", V::text("/home/a/b.hex")}}},
      {"names that need quotes and escapes",
       "[recent]\nfiles=\"/x/a,b.hex\", /x/\\\"q\\\".hex, /x/\xC3\xA4\xE2\x82\xAC.hex, /x/back\\\\slash.hex, "
       "\"/x/semi;colon.hex\", \"/x/ lead.hex \", \"/x/eq=.hex\", @@/x.hex, /x/tab\\t.hex\n",
       {{"recent/files", V::listOf({"/x/a,b.hex", "/x/\"q\".hex", "/x/\xC3\xA4\xE2\x82\xAC.hex", "/x/back\\slash.hex",
                                    "/x/semi;colon.hex", "/x/ lead.hex ", "/x/eq=.hex", "@/x.hex", "/x/tab\t.hex"})}}},
      {"a text that starts with @", "[bootloader]\nreset=@@x\n", {{"bootloader/reset", V::text("@x")}}},
      {"nothing remembered", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<IniEntries> read = parseIni(c.text);
    ASSERT_TRUE(read.ok()) << read.message();
    EXPECT_EQ(*read, c.entries);
    EXPECT_EQ(formatIni(c.entries), c.text);
  }
}

TEST(IniFile, HandEditsReadAsQtReadThemAndAnOpenSectionFails) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> files;  // recent/files's texts; none when the text is broken
    bool ok = true;
  };
  const Case cases[] = {
      {"blanks, CR LF and comments", "; mine\r\n[recent]\r\n  files = /a.hex ,  /b.hex ; old\r\n# end\r\n",
       {"/a.hex", "/b.hex"}},
      {"a ';' in quotes", "[recent]\nfiles=\"/a;b\" ;c\n", {"/a;b"}},
      {"quoted blanks stay, unquoted go", "[recent]\nfiles=\" /a \",b \n", {" /a ", "b"}},
      {"hex and octal escapes", "[recent]\nfiles=/\\x41\\101\\xe4, /n\\\\\n", {"/AA\xC3\xA4", "/n\\"}},
      {"an empty list item", "[recent]\nfiles=/a,,/b\n", {"/a", "", "/b"}},
      {"a line without =", "[recent]\nfiles=/a\ngarbage\n", {"/a"}},
      {"a section not closed", "[recent\nfiles=/a\n", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<IniEntries> read = parseIni(c.text);
    ASSERT_EQ(read.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(read.code(), ErrorCode::Invalid);
      continue;
    }
    ASSERT_EQ(read->count("recent/files"), 1u);
    EXPECT_EQ(read->at("recent/files").items, c.files);
  }
}

}  // namespace
}  // namespace velkorn::file
