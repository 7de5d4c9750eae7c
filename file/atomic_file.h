#pragma once
// Files the programs write (a chip's contents read back): written beside their destination
// and moved into place, so that a failed write never leaves half a file under the name and
// a replaced file keeps its mode. One implementation of the system calls per system
// (atomic_file_posix.cpp, atomic_file_win32.cpp).
#include <functional>
#include <optional>
#include <string>

namespace velkorn::file {

// Whether `path` can take an output file, asked before a long read: its folder exists and
// takes a new file, and its name is one the system can create (length, and on Windows the
// reserved device names). Nothing, or why not.
std::optional<std::string> outputProblem(const std::string& path);

// Writes `text` into a new file in the folder of `path` (".velkorn-" and six random
// characters: short, so any name that fits the folder fits it), created for us alone, with
// the mode a new file gets (0666 less the umask). Returns that file's name, or nothing with
// `why` set (the system's text) and no file left behind.
std::optional<std::string> writeTemporaryFile(const std::string& path, const std::string& text, std::string* why);

enum class Placed { Done, Exists, NotRegular, Failed };

// Gives the temporary file the name `path`. Without `replace`, only while nothing has that
// name (Exists otherwise). With it, a regular file there is replaced and its mode kept; if
// anything else turns up there, even one swapped in at the last moment, it stays as it was
// (NotRegular). On Failed, `why` holds the system's text. The temporary file is gone after
// Done; after anything else the caller removes it.
Placed moveIntoPlace(const std::string& temporary, const std::string& path, bool replace, std::string* why);

// Writes `text` under `path` through a temporary file beside it (writeTemporaryFile, then
// moveIntoPlace), removing the temporary file on every failure. `mayPlace`, when given, is
// asked right before the rename and may refuse with its reason (Failed). On Failed, `why`
// holds the reason.
Placed writeFileAtomically(const std::string& path, const std::string& text, bool replace, std::string* why,
                           const std::function<bool(std::string*)>& mayPlace = {});

// Writes `text` under `path` for the operator who named it, replacing a regular file there
// (writeFileAtomically with replace); a link, a folder or a device at the name stays as it
// is. Nothing, or why the file was not written.
std::optional<std::string> replaceFile(const std::string& path, const std::string& text);

// A name taken as raw binary rather than Intel HEX: it ends in ".bin" (any letter case).
bool isBinaryName(const std::string& name);

}  // namespace velkorn::file
