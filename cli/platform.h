#pragma once
// The few system calls of velkorn-cli besides the port's, one implementation per system
// (platform_posix.cpp, platform_win32.cpp), so the rest of the command line is portable.
#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace velkorn::cli::platform {

// Ctrl+C (POSIX: also SIGTERM; Windows: also Ctrl+Break) raises `interrupted` instead of
// ending the process, so a running command stops after its current block with the port
// released. On POSIX a file size limit then fails a write (reported like a full disk)
// instead of killing the program with its temporary file left behind.
void setUpProcess(std::atomic<bool>& interrupted);

// The command line's arguments after the program's name, as UTF-8: on Windows from the
// wide command line, so names outside the system's code page arrive unchanged.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Whether stderr is a terminal that can show the progress bar (on Windows: a console that
// takes the bar's escape sequences, switched on here).
bool stderrShowsProgressBar();

// stdout takes bytes as they are (Windows would turn LF into CR LF): `read -` writes the
// file there.
void binaryStdout();

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

}  // namespace velkorn::cli::platform
