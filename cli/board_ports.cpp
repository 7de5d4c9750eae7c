#include "cli/board_ports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <unordered_map>

#include "link/com_name.h"
#include "link/port_list.h"
#include "link/port_names.h"

namespace velkorn::cli {
namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The first pair of entries with the same key, in one pass.
template <typename Key>
std::optional<std::pair<std::size_t, std::size_t>> firstRepeat(const std::vector<std::string>& items, Key key) {
  std::unordered_map<std::string, std::size_t> seen;
  seen.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto [at, fresh] = seen.emplace(key(items[i]), i);
    if (!fresh) return std::make_pair(at->second, i);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> splitPortList(const std::string& text, std::vector<std::string>* ports) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ',') {
      parts.back() += ',';
      ++i;
    } else if (text[i] == ',') {
      parts.emplace_back();
    } else {
      parts.back() += text[i];
    }
  }
  if (std::any_of(parts.begin(), parts.end(), [](const std::string& p) { return p.empty(); })) {
    return "an empty entry in the port list '" + text + "' (a comma in a port's name is written \\,)";
  }
  ports->insert(ports->end(), parts.begin(), parts.end());
  return std::nullopt;
}

BoardPorts boardPorts(const Options& options, const char* environment) {
  BoardPorts b;
  for (const std::string& given : options.ports) {
    if (const auto why = splitPortList(given, &b.ports)) {
      b.error = "--port: " + *why;
      return b;
    }
  }
  if (b.ports.empty() && environment && *environment) {
    if (const auto why = splitPortList(environment, &b.ports)) {
      b.error = "VELKORN_PORT: " + *why;
      return b;
    }
  }
  if (b.ports.empty()) b.ports.push_back("COM1");
  return b;
}

std::string portIdentity(const std::string& name) {
  if (name.rfind(link::kUsbPortScheme, 0) == 0) return name;
  const std::string lower = lowerCase(name);
  if (lower.rfind("tcp://", 0) == 0 || lower.rfind("rfc2217://", 0) == 0) return lower;
  const std::string path = link::resolvePortName(name);
  if (path.empty()) return lower;
  std::error_code ec;
  const auto canonical = std::filesystem::canonical(path, ec);
  return ec ? path : canonical.string();
}

std::optional<std::pair<std::size_t, std::size_t>> repeatedPort(const std::vector<std::string>& ports) {
  return firstRepeat(ports, portIdentity);
}

std::string boardFile(const std::string& pattern, const std::string& port) {
  std::string name = port;
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string placeholder = kPortPlaceholder;
  std::string file = pattern;
  for (std::size_t at = file.find(placeholder); at != std::string::npos;
       at = file.find(placeholder, at + name.size())) {
    file.replace(at, placeholder.size(), name);
  }
  return file;
}

std::optional<std::pair<std::size_t, std::size_t>> sharedBoardFile(const std::string& pattern,
                                                                   const std::vector<std::string>& ports) {
  return firstRepeat(ports, [&pattern](const std::string& port) { return boardFile(pattern, port); });
}

}  // namespace velkorn::cli
