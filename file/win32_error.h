#pragma once
// The system's text for a Win32 error code, as FormatMessage gives it (Windows builds only).
#include <string>

namespace velkorn::file {

// "The system cannot find the file specified", without the trailing period and line end;
// "error N" when the system has no text for the code.
std::string win32ErrorText(unsigned long code);

}  // namespace velkorn::file
