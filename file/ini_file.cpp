#include "file/ini_file.h"

#include "file/atomic_file.h"
#include "file/small_files.h"

namespace velkorn::file {
namespace {

// A window's memory is a few hundred bytes; a file this long is some other file.
constexpr std::size_t kIniReadLimit = 1 << 20;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | ((code >> 12) & 0x0F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Chops the blanks at the end of `text`, but none before `limit` (an escaped or quoted blank).
void chopBlanks(std::string& text, std::size_t limit) {
  while (text.size() > limit && isBlank(text.back())) text.pop_back();
}

// A value's text after the '=': quotes and escapes undone, split at the commas outside quotes.
IniValue unescapedValue(std::string_view raw) {
  static constexpr char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'},  {'t', '\t'},
                                         {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
  IniValue value;
  std::string current;
  bool inQuotes = false;
  bool quoted = false;  // the current text had quotes: its blanks are its own
  std::size_t i = 0;
  const auto skipBlanks = [&] {
    while (i < raw.size() && isBlank(raw[i])) ++i;
  };
  skipBlanks();
  std::size_t chopLimit = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '\\') {
      if (++i >= raw.size()) break;
      const char e = raw[i++];
      bool known = false;
      for (const auto& escape : kEscapes) {
        if (e == escape[0]) {
          current += escape[1];
          known = true;
        }
      }
      if (!known && (e == 'x' || (e >= '0' && e <= '7'))) {
        // \x and hex digits, or octal digits: one character of that code.
        const unsigned base = e == 'x' ? 16 : 8;
        unsigned code = e == 'x' ? 0 : static_cast<unsigned>(e - '0');
        while (i < raw.size()) {
          const int digit = hexDigit(raw[i]);
          if (digit < 0 || static_cast<unsigned>(digit) >= base) break;
          code = (code * base + static_cast<unsigned>(digit)) & 0xFFFF;
          ++i;
        }
        appendUtf8(current, code);
      }
      chopLimit = current.size();
    } else if (c == '"') {
      ++i;
      quoted = true;
      inQuotes = !inQuotes;
      if (!inQuotes) {
        skipBlanks();
        chopLimit = current.size();
      }
    } else if (c == ',' && !inQuotes) {
      if (!quoted) chopBlanks(current, chopLimit);
      value.list = true;
      value.items.push_back(std::move(current));
      current.clear();
      quoted = false;
      ++i;
      skipBlanks();
      chopLimit = 0;
    } else {
      current += c;
      ++i;
    }
  }
  if (!quoted) chopBlanks(current, chopLimit);
  value.items.push_back(std::move(current));
  // "@@" stands for a text that starts with '@'.
  for (std::string& item : value.items) {
    if (item.starts_with("@@")) item.erase(0, 1);
  }
  return value;
}

void appendEscaped(std::string& out, const std::string& text) {
  const std::size_t start = out.size();
  bool needsQuotes = false;
  bool escapeNextIfHex = false;
  if (text.starts_with('@')) out += '@';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ';' || c == ',' || c == '=') needsQuotes = true;
    if (escapeNextIfHex && hexDigit(c) >= 0) {
      out += "\\x";
      out += "0123456789abcdef"[u >> 4];
      out += "0123456789abcdef"[u & 0xF];
      continue;
    }
    escapeNextIfHex = false;
    switch (c) {
      case '\0': out += "\\0"; escapeNextIfHex = true; break;
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\v': out += "\\v"; break;
      case '"':
      case '\\': out += '\\'; out += c; break;
      default:
        if (u < 0x20) {
          out += "\\x";
          if (u >= 0x10) out += "0123456789abcdef"[u >> 4];
          out += "0123456789abcdef"[u & 0xF];
          escapeNextIfHex = true;
        } else {
          out += c;
        }
    }
  }
  if (needsQuotes || (out.size() > start && (out[start] == ' ' || out.back() == ' '))) {
    out.insert(start, 1, '"');
    out += '"';
  }
}

// The line up to a ';' outside quotes: the rest is a comment.
std::string_view withoutComment(std::string_view line) {
  bool inQuotes = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      inQuotes = !inQuotes;
    } else if (line[i] == ';' && !inQuotes) {
      return line.substr(0, i);
    }
  }
  return line;
}

}  // namespace

Result<IniEntries> parseIni(std::string_view text) {
  IniEntries entries;
  std::string section;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view line = trimmed(withoutComment(text.substr(0, end)));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (line.empty()) continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos)
        return makeError(ErrorCode::Invalid, "line " + std::to_string(lineNumber) + ": a section without its ']'");
      section = std::string(trimmed(line.substr(1, close - 1)));
      if (section == "General" || section == "general") section.clear();  // keys of no section
      if (section == "%General") section = "General";
      continue;
    }
    // A line without '=' says nothing, and the rest of the file still counts.
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key(trimmed(line.substr(0, equals)));
    for (char& c : key) {
      if (c == '\\') c = '/';
    }
    if (!section.empty()) key = section + "/" + key;
    entries[key] = unescapedValue(line.substr(equals + 1));
  }
  return entries;
}

std::string formatIni(const IniEntries& entries) {
  std::string out;
  std::string section;
  bool first = true;
  for (const auto& [name, value] : entries) {
    const std::size_t slash = name.find('/');
    const std::string keySection = slash == std::string::npos ? "General" : name.substr(0, slash);
    if (first || keySection != section) {
      if (!first) out += '\n';
      out += "[" + keySection + "]\n";
      section = keySection;
      first = false;
    }
    out += slash == std::string::npos ? name : name.substr(slash + 1);
    out += '=';
    if (value.list && value.items.empty()) out += "@Invalid()";
    for (std::size_t i = 0; i < value.items.size(); ++i) {
      if (i > 0) out += ", ";
      appendEscaped(out, value.items[i]);
    }
    out += '\n';
  }
  return out;
}

Result<IniEntries> readIniFile(const std::string& path) {
  const Result<std::string> text = readFileStart(path, kIniReadLimit);
  if (!text) return text.error();
  return parseIni(*text);
}

Status writeIniFile(const std::string& path, const IniEntries& entries) {
  const Result<std::string> target = resolvedTarget(path);
  if (!target) return target.error();
  return replaceFile(*target, formatIni(entries));
}

}  // namespace velkorn::file
