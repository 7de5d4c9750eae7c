#pragma once
// The atomic write's steps that call the system, one implementation per system
// (atomic_file_posix.cpp, atomic_file_win32.cpp); atomic_file.cpp puts them together.
#include <string>
#include <string_view>

#include "base/result.h"

namespace velkorn::file {

// Writes `text` into a new temporary file in the folder of `path` and syncs it to the disk.
// That file's name; on failure no file is left behind.
Result<std::string> writeTemporaryFile(const std::string& path, std::string_view text);

// Gives the temporary file the name `path` (see writeFileAtomically), then syncs the folder.
// The temporary file is gone after success; after a failure the caller removes it.
Status moveIntoPlace(const std::string& temporary, const std::string& path, bool replace);

void removeTemporary(const std::string& temporary);

}  // namespace velkorn::file
