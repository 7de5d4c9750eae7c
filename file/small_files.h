#pragma once
// Small files the programs read (the settings file, the window's memory): found in any
// letter case, read up to a limit.
#include <cstddef>
#include <string>

#include "base/result.h"

namespace velkorn::file {

// A regular file stands at `path` (symbolic links followed).
bool isRegularFile(const std::string& path);
// `directory`/`name` when that is a regular file, else an entry of the directory whose name
// differs only in letter case (a file copied from a system that ignores case); empty when
// none. An empty directory is the current one.
std::string findFileAnyCase(const std::string& directory, const std::string& name);
// The first `limit` bytes of the file (all of it when shorter).
Result<std::string> readFileStart(const std::string& path, std::size_t limit);

}  // namespace velkorn::file
