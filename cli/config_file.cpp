#include "cli/config_file.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "cli/options.h"
#include "file/directories.h"

namespace velkorn::cli {
namespace {

constexpr const char* kDefaultSection = "default";
constexpr std::size_t kConfigFileLimit = 65536;

// The long options a configuration file may set: those that describe a station rather
// than one run.
constexpr const char* kKeys[] = {"port",   "baud",    "reset",     "run",           "retries",    "sync-timeout",
                                 "record", "station", "serial-at", "serial-format", "serial-file"};

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// "usb:A1, usb:B2" -> "usb:A1,usb:B2": the list of the command line, blanks after commas
// being natural in a file.
std::string portList(const std::string& value) {
  std::string out;
  std::istringstream in(value);
  for (std::string part; std::getline(in, part, ',');) out += (out.empty() ? "" : ",") + trimmed(part);
  return out;
}

std::string where(const ConfigFile& config, int line) { return config.path + ":" + std::to_string(line) + ": "; }

// The option parser's verdict on one value: with --help no command is needed.
std::optional<std::string> valueProblem(const std::string& option) {
  const ParseResult parsed = parseArguments({}, {option, "--help"});
  if (parsed.ok) return std::nullopt;
  return parsed.error;
}

}  // namespace

std::optional<ConfigFile> parseConfigText(const std::string& path, const std::string& text, std::string* why) {
  ConfigFile config;
  config.path = path;
  std::istringstream in(text);
  std::string section;
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    const std::string line = trimmed(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      const std::string name = line.back() == ']' ? trimmed(line.substr(1, line.size() - 2)) : std::string();
      if (name.empty()) {
        *why = where(config, number) + "a section is [NAME]";
        return std::nullopt;
      }
      section = name;
      config.sections[section];  // an empty profile is still a profile
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      *why = where(config, number) + "expected key = value, [default] or [PROFILE]";
      return std::nullopt;
    }
    ConfigEntry entry{trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)), number};
    if (std::find_if(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return entry.key == k; }) ==
        std::end(kKeys)) {
      *why = where(config, number) + "unknown key " + entry.key + " (keys: port, baud, reset, run, retries, " +
             "sync-timeout, record, station, serial-at, serial-format, serial-file)";
      return std::nullopt;
    }
    if (section.empty()) {
      *why = where(config, number) + entry.key + " stands before any section ([default] or [PROFILE])";
      return std::nullopt;
    }
    std::vector<ConfigEntry>& entries = config.sections[section];
    for (const ConfigEntry& e : entries) {
      if (e.key == entry.key) {
        *why = where(config, number) + entry.key + " is set twice in [" + section + "] (first on line " +
               std::to_string(e.line) + ")";
        return std::nullopt;
      }
    }
    if (entry.key == "port") entry.value = portList(entry.value);
    // Checked here, for every section: a mistake in a profile shows up before the day it is used.
    if (const auto problem = valueProblem("--" + entry.key + "=" + entry.value)) {
      *why = where(config, number) + *problem;
      return std::nullopt;
    }
    entries.push_back(std::move(entry));
  }
  return config;
}

std::optional<std::vector<std::string>> configuredOptions(const ConfigFile& config, const std::string& profile,
                                                          bool commandLineHasPort, std::string* why) {
  std::vector<const std::vector<ConfigEntry>*> layers;
  if (const auto d = config.sections.find(kDefaultSection); d != config.sections.end()) layers.push_back(&d->second);
  if (!profile.empty()) {
    const auto p = config.sections.find(profile);
    if (p == config.sections.end()) {
      *why = config.path + ": no profile [" + profile + "]";
      return std::nullopt;
    }
    layers.push_back(&p->second);
  }
  // Only the last layer's port counts: a profile's ports replace the default's.
  bool portTaken = commandLineHasPort;
  std::vector<std::string> options;
  for (auto layer = layers.rbegin(); layer != layers.rend(); ++layer) {
    std::vector<std::string> these;
    for (const ConfigEntry& e : **layer) {
      if (e.key == "port" && std::exchange(portTaken, true)) continue;
      these.push_back("--" + e.key + "=" + e.value);
    }
    options.insert(options.begin(), these.begin(), these.end());
  }
  return options;
}

namespace {

// --config FILE / --profile NAME among the arguments (value in the next word or after '=').
std::optional<std::string> valueOf(const std::vector<std::string>& args, const std::string& option) {
  std::optional<std::string> value;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == option && i + 1 < args.size()) value = args[++i];
    else if (args[i].rfind(option + "=", 0) == 0) value = args[i].substr(option.size() + 1);
  }
  return value;
}

// $VELKORN_PORT is this shell's choice: it goes before the station's file.
bool portFromEnvironment() {
  const char* env = std::getenv("VELKORN_PORT");
  return env && *env;
}

bool hasAny(const std::vector<std::string>& args, std::initializer_list<const char*> names) {
  return std::any_of(args.begin(), args.end(), [&](const std::string& a) {
    return std::any_of(names.begin(), names.end(),
                       [&](const char* n) { return a == n || a.rfind(std::string(n) + "=", 0) == 0; });
  });
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args) {
  // Help works whatever state the configuration file is in.
  if (hasAny(args, {"--help", "-h", "--version", "-V"})) return parseArguments({}, args);
  ParseResult failed;
  const std::optional<std::string> given = valueOf(args, "--config");
  const std::string profile = valueOf(args, "--profile").value_or("");
  std::string path = given.value_or("");
  if (!given) {
    const std::filesystem::path standard = std::filesystem::path(file::configDirectory()) / kConfigFileName;
    std::error_code ec;
    if (std::filesystem::exists(standard, ec)) path = standard.string();
  }
  if (path.empty()) {
    if (!profile.empty()) {
      failed.error = "--profile " + profile + " needs a configuration file (--config FILE, or " +
                     (std::filesystem::path(file::configDirectory()) / kConfigFileName).string() + ")";
      return failed;
    }
    return parseArguments({}, args);
  }
  // A station's file is a few lines: a device or a huge file named by mistake is refused, not read.
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    failed.error = "cannot read the configuration file " + path + " (no regular file there)";
    return failed;
  }
  if (std::filesystem::file_size(file, ec) > kConfigFileLimit) {
    failed.error =
        path + ": longer than " + std::to_string(kConfigFileLimit) + " bytes, too long for a configuration file";
    return failed;
  }
  std::ifstream in(file, std::ios::binary);
  std::string text(kConfigFileLimit + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad() || text.size() > kConfigFileLimit) {
    failed.error = "cannot read the configuration file " + path;
    return failed;
  }
  std::string why;
  const std::optional<ConfigFile> config = parseConfigText(path, text, &why);
  if (!config) {
    failed.error = why;
    return failed;
  }
  const std::optional<std::vector<std::string>> configured =
      configuredOptions(*config, profile, hasAny(args, {"--port", "-p"}) || portFromEnvironment(), &why);
  if (!configured) {
    failed.error = why;
    return failed;
  }
  return parseArguments(*configured, args);
}

}  // namespace velkorn::cli
