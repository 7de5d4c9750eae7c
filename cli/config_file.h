#pragma once
// The station's configuration file: `[default]` and named sections (profiles) of
// `key = value` lines whose keys are the long options, so a station's options are not
// retyped on every run.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velkorn::cli {

// The name looked for in the configuration directory when no --config is given.
inline constexpr const char* kConfigFileName = "velkorn-cli.conf";

struct ConfigEntry {
  std::string key, value;
  int line = 0;
};

struct ConfigFile {
  std::string path;
  std::map<std::string, std::vector<ConfigEntry>> sections;
};

// Reads the text of a configuration file; nothing with `why` set to "PATH:LINE: what" when
// a line is neither a section, a `key = value` of a known key nor a comment, or a key
// repeats within its section. The values are checked by the option parser (configuredOptions).
std::optional<ConfigFile> parseConfigText(const std::string& path, const std::string& text, std::string* why);

// The options a configuration gives a command line, as "--key=value" words: `[default]`'s,
// then `profile`'s (empty: none) over them. A `port` is left out when the command line (or
// $VELKORN_PORT) gives one itself, since several ports add up where other options replace. Nothing with `why` set
// when a value is bad (naming the file and line) or the profile is missing.
std::optional<std::vector<std::string>> configuredOptions(const ConfigFile& config, const std::string& profile,
                                                          bool commandLineHasPort, std::string* why);

}  // namespace velkorn::cli
