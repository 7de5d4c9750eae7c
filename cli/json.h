#pragma once
// JSON Lines for --json: one object per board and command, built field by field. Texts from
// outside (file names, the chip's answers) may hold any bytes: control characters are
// escaped, and each byte that is not part of a UTF-8 character is written as the escape
// \uDC80..\uDCFF (0xDC00 plus the byte), so every line stays JSON and the name's bytes
// can be had back exactly (Python: text.encode("utf-8", "surrogateescape")).
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkorn::cli {

std::string jsonString(std::string_view text);

class JsonObject {
 public:
  JsonObject& add(std::string_view name, std::string_view text);
  JsonObject& add(std::string_view name, const char* text) { return add(name, std::string_view(text)); }
  JsonObject& add(std::string_view name, const std::string& text) { return add(name, std::string_view(text)); }
  JsonObject& add(std::string_view name, int value);
  JsonObject& add(std::string_view name, bool value);
  JsonObject& addNumber(std::string_view name, double value, int decimals);
  JsonObject& add(std::string_view name, const JsonObject& object) { return addRaw(name, object.str()); }
  JsonObject& addNull(std::string_view name) { return addRaw(name, "null"); }
  // [[first, last], ...]
  JsonObject& add(std::string_view name, const std::vector<std::pair<int, int>>& pairs);
  // A value already in JSON form.
  JsonObject& addRaw(std::string_view name, std::string_view json);
  // The fields of `other` after these.
  JsonObject& append(const JsonObject& other) {
    if (!other.body_.empty()) body_ += (body_.empty() ? "" : ",") + other.body_;
    return *this;
  }
  std::string str() const { return "{" + body_ + "}"; }
  bool empty() const { return body_.empty(); }

 private:
  std::string body_;
};

}  // namespace velkorn::cli
