#pragma once
// The few system calls of velkorn-cli besides the port's, one implementation per system
// (platform_posix.cpp, platform_win32.cpp), so the rest of the command line is portable.
#include <atomic>
#include <optional>
#include <string>

namespace velkorn::cli::platform {

// Ctrl+C (POSIX: also SIGTERM; Windows: also Ctrl+Break) raises `interrupted` instead of
// ending the process, so a running command stops after its current block with the port
// released. On POSIX a file size limit then fails a write (reported like a full disk)
// instead of killing the program with its temporary file left behind.
void setUpProcess(std::atomic<bool>& interrupted);

// Whether stderr is a terminal that can show the progress bar (on Windows: a console that
// takes the bar's escape sequences, switched on here).
bool stderrShowsProgressBar();

// Writes `text` into a new file beside `path` (its name plus ".velkorn-" and six random
// characters), created for us alone. Returns that file's name, or nothing with `why` set
// (the system's text) and no file left behind.
std::optional<std::string> writeTemporaryFile(const std::string& path, const std::string& text, std::string* why);

enum class Placed { Done, Exists, Failed };

// Gives the temporary file the name `path`: over an existing file when `replace` is set,
// else only while nothing has that name (Exists otherwise). On Failed, `why` holds the
// system's text. The temporary file is gone after Done; after anything else the caller
// removes it.
Placed moveIntoPlace(const std::string& temporary, const std::string& path, bool replace, std::string* why);

}  // namespace velkorn::cli::platform
