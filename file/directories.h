#pragma once
// Where the programs keep their files: the configuration directory (the settings file, the
// window's memory, the command line's station file and, on Linux, the COMn pins) and the
// folder of the running program (the default settings file of a build tree or an
// installation). One implementation per system (directories_posix.cpp, directories_win32.cpp).
#include <string>

#include "base/result.h"

namespace velkorn::file {

// Linux: $XDG_CONFIG_HOME/velkorn (a relative XDG_CONFIG_HOME is ignored), else
// ~/.config/velkorn. Windows: %APPDATA%\velkorn, else %USERPROFILE%\AppData\Roaming\velkorn,
// else empty. Not created here.
std::string configDirectory();
// Creates the configuration directory when missing.
Status ensureConfigDirectory();

// The folder of the running program, with a trailing separator; empty when unknown.
std::string programDirectory();

}  // namespace velkorn::file
