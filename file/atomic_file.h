#pragma once
// The one way the programs write a file (a chip's contents read back, the settings file, the
// window's memory, the simulated chip's flash): the text goes to a temporary file beside the
// destination, reaches the disk, and the temporary file is renamed into place, after which
// the folder reaches the disk too. A failed write or a crash leaves the old file or the new
// one under the name, never half a file; a replaced file keeps its mode. One implementation
// of the system calls per system (atomic_file_posix.cpp, atomic_file_win32.cpp).
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace velkorn::file {

// Whether `path` can take an output file, asked before a long read: its folder exists and
// takes a new file, and its name is one the system can create (length, and on Windows the
// reserved device names). Done, or why not.
Status checkOutputPath(const std::string& path);

// Asked right before the rename, when the destination may have changed since the caller
// last looked; an error refuses the write with that error.
using PlaceCheck = std::function<Status()>;

// Writes `text` under `path`: into a new file in the folder of `path` (".velkorn-" and six
// random characters: short, so any name that fits the folder fits it), created for us
// alone with the mode a new file gets (0666 less the umask), synced to the disk, then given
// the name `path`. Without `replace` only while nothing has that name (Exists otherwise).
// With it, a regular file there is replaced and its mode kept; anything else found there,
// even one swapped in at the last moment, stays as it was (NotRegular, "not a regular file,
// which is left as it is"). The text not all written is NotWritten; the system's other
// refusals come with its own words. No temporary file is left behind on any failure.
Status writeFileAtomically(const std::string& path, std::string_view text, bool replace,
                           const PlaceCheck& mayPlace = {});

// Writes `text` under `path`, replacing a regular file there (writeFileAtomically with
// replace); a link, a folder or a device at the name stays as it is.
Status replaceFile(const std::string& path, std::string_view text);

// Where a write meant for `path` goes so that a symbolic link the user keeps there (into a
// folder of shared settings, say) stays a link and its target gets the text: `path`
// followed through its links, or `path` itself when it is none. Invalid on a link loop.
Result<std::string> resolvedTarget(const std::string& path);

// A name taken as raw binary rather than Intel HEX: it ends in ".bin" (any letter case).
bool isBinaryName(const std::string& name);

// The temporary files of the write above carry this prefix, then six letters or digits.
inline constexpr std::string_view kTemporaryPrefix = ".velkorn-";
inline constexpr std::size_t kTemporaryRandomChars = 6;

}  // namespace velkorn::file
