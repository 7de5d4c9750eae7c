#pragma once
// Raw binary files for program, verify, diff and read: the bytes themselves, placed at an
// address (from 0 for read), beside Intel HEX.
#include <optional>
#include <string>

#include "file/atomic_file.h"
#include "image/images.h"

namespace velkorn::cli {

using file::isBinaryName;  // a name the command line takes as raw binary

// Loads the file into `image` (erased first) from `address` on. Nothing, or why it cannot:
// not a regular file, unreadable, or longer than the 64 KiB code space from `address` on.
std::optional<std::string> loadBinaryImage(const std::string& name, int address, Image& image, int* bytes);

}  // namespace velkorn::cli
