#pragma once
// A small INI file in the shape Qt's settings class writes it, for the window's memory: files
// written by earlier versions through that class still load, and a file written here reads
// back the same in them. "[section]" lines, then "key=value" lines; a value is one text or a
// list of texts separated by ", ". A text with ',', ';' or '=' in it, or with a blank at either
// end, is quoted; '"', '\' and control characters are escaped with '\'; a text that starts with
// '@' gets a second '@' ("@Invalid()" and the like name values that are no text). Anything
// else stays as it is (UTF-8).
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace velkorn::file {

// One value: a single text, or a list.
struct IniValue {
  std::vector<std::string> items;  // the text alone, or the list's texts
  bool list = false;

  static IniValue text(std::string value) { return {{std::move(value)}, false}; }
  static IniValue listOf(std::vector<std::string> values) { return {std::move(values), true}; }
  bool operator==(const IniValue&) const = default;
};

// "section/key" to its value, in the order the file holds them: sorted by that name.
using IniEntries = std::map<std::string, IniValue>;

// The entries of an INI text; Invalid when a section's name is not closed by ']'. A ';'
// outside quotes starts a comment; a line without '=' is passed over.
Result<IniEntries> parseIni(std::string_view text);
// The text of the entries: their sections in order, a blank line between two sections.
std::string formatIni(const IniEntries& entries);

// The entries of the file at `path` (up to a megabyte); NotFound when there is none.
Result<IniEntries> readIniFile(const std::string& path);
// Replaces the file at `path` with the entries, through the one atomic write; a symbolic
// link there stays a link and its target gets them.
Status writeIniFile(const std::string& path, const IniEntries& entries);

}  // namespace velkorn::file
