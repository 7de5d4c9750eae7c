#pragma once
// Small files in the configuration directory (the settings file): found in any letter case,
// read up to a limit, and replaced so that a crash or a full disk leaves the old text or
// the new one, never a mixture.
#include <cstddef>
#include <string>
#include <string_view>

namespace velkorn::link {

// A regular file stands at `path` (symbolic links followed).
bool isRegularFile(const std::string& path);
// `directory`/`name` when that is a regular file, else an entry of the directory whose name
// differs only in letter case; empty when none. An empty directory is the current one.
std::string findFileAnyCase(const std::string& directory, const std::string& name);
// The first `limit` bytes of the file (all of it when shorter); false when it cannot be read.
bool readFileStart(const std::string& path, std::size_t limit, std::string& content);

enum class ReplaceResult {
  Replaced,
  CannotCreate,  // no temporary file beside it, or the rename failed: the old file stands
  CannotWrite,   // the text did not reach the disk: the old file stands
};
// Writes `data` to a temporary file beside `path`, flushes it to the disk and renames it
// over `path`, keeping the permissions of the file it replaces (a new one gets 0644).
ReplaceResult replaceFile(const std::string& path, std::string_view data);

// The folder of the running program, with a trailing '/'; empty when unknown.
std::string programDirectory();

}  // namespace velkorn::link
