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
// instead of killing the program with its temporary file left behind, and so does a stdout
// whose reader went away (SIGPIPE): the boards finish and say what was lost.
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

// The machine's name, for the station's record; empty when the system does not say.
std::string hostName();

}  // namespace velkorn::cli::platform
