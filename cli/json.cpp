#include "cli/json.h"

#include <cstdio>

namespace velkorn::cli {
namespace {

// The length of the UTF-8 sequence at `at`, or 0 when the bytes there are not one.
std::size_t utf8Length(std::string_view s, std::size_t at) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(at);
  std::size_t n = 0;
  unsigned min = 0;
  if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
  else return 0;
  if (at + n > s.size()) return 0;
  unsigned value = c & (0x7F >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(at + i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (b(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if (value < min || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  return n;
}

void escaped(std::string& out, unsigned code) {
  char u[8];
  std::snprintf(u, sizeof u, "\\u%04X", code);
  out += u;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      escaped(out, c);
    } else if (c >= 0x80) {
      if (const std::size_t n = utf8Length(text, i); n > 0) {
        out.append(text.substr(i, n));
        i += n;
        continue;
      }
      // A byte that is no part of a UTF-8 character: U+DC80..U+DCFF, the lone surrogate that
      // stands for it, as Python's "surrogateescape" reads it back. No UTF-8 text holds a
      // lone surrogate, so the name can never be taken for another file's.
      escaped(out, 0xDC00 + c);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

JsonObject& JsonObject::addRaw(std::string_view name, std::string_view json) {
  if (!body_.empty()) body_ += ',';
  body_ += jsonString(name);
  body_ += ':';
  body_ += json;
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, std::string_view text) { return addRaw(name, jsonString(text)); }

JsonObject& JsonObject::add(std::string_view name, int value) { return addRaw(name, std::to_string(value)); }

JsonObject& JsonObject::add(std::string_view name, bool value) { return addRaw(name, value ? "true" : "false"); }

JsonObject& JsonObject::addNumber(std::string_view name, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return addRaw(name, text);
}

JsonObject& JsonObject::add(std::string_view name, const std::vector<std::pair<int, int>>& pairs) {
  std::string list = "[";
  for (const auto& [first, last] : pairs) {
    if (list.size() > 1) list += ',';
    list += "[" + std::to_string(first) + "," + std::to_string(last) + "]";
  }
  return addRaw(name, list + "]");
}

}  // namespace velkorn::cli
