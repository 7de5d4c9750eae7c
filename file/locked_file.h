#pragma once
// Files that several processes share on a production station: a record file that each
// board's line is appended to, and a counter that each board takes a number from. Each
// change happens under an exclusive lock of the whole file and reaches the disk before the
// call returns, so a crash loses at most the change in flight. One implementation of the
// system calls per system (locked_file_posix.cpp, locked_file_win32.cpp).
#include <functional>
#include <optional>
#include <string>

namespace velkorn::file {

// Appends `text` to `path` (created when missing) with one write under an exclusive lock,
// then syncs it. A write that stops short (a full disk, a file size limit) is cut off again,
// so no half line stays behind. Nothing, or why the text is not in the file.
std::optional<std::string> appendLocked(const std::string& path, const std::string& text);

// Reads the whole of `path` (which must exist) under an exclusive lock and hands it to
// `change`, which returns the new content, or nothing with `why` set to leave the file as it
// is. The new content reaches the disk before the lock is released, and a failed write
// leaves the old content whole (POSIX: a side file "PATH.velkorn-next" renamed over it).
// Nothing, or why the file was not changed (the system's text, or `change`'s reason).
using Change = std::function<std::optional<std::string>(const std::string& old, std::string* why)>;
std::optional<std::string> changeLocked(const std::string& path, const Change& change);

}  // namespace velkorn::file
