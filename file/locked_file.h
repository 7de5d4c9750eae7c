#pragma once
// Files that several processes share on a production station: a record file that each
// board's line is appended to, and a counter that each board takes a number from. Each
// change happens under an exclusive lock of the whole file and reaches the disk before the
// call returns, so a crash loses at most the change in flight. One implementation of the
// system calls per system (locked_file_posix.cpp, locked_file_win32.cpp).
#include <functional>
#include <string>

#include "base/result.h"

namespace velkorn::file {

// Appends `text` to `path` (created when missing) with one write under an exclusive lock,
// then syncs it. A write that stops short (a full disk, a file size limit) is cut off again,
// so no half line stays behind.
Status appendLocked(const std::string& path, const std::string& text);

// Reads the whole of `path` (which must exist) under an exclusive lock and hands it to
// `change`, which returns the new content, or an error that leaves the file as it is. The
// new content reaches the disk before the lock is released, and a failed write leaves the
// old content whole (POSIX: a side file "PATH.velkorn-next" renamed over it). On failure
// the error is the system's, or `change`'s own.
using Change = std::function<Result<std::string>(const std::string& old)>;
Status changeLocked(const std::string& path, const Change& change);

}  // namespace velkorn::file
