#pragma once
// Failures that end the running command the way the run-time's top-level handler would:
// the text is shown in an error box and the program goes on.
#include <stdexcept>
#include <string>

namespace velkorn {

class UnhandledFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that does not convert to a number (a hex value from the bootloader, a decimal
// value from the settings file or the cycle box).
inline std::string invalidIntegerText(const std::string& text) {
  return "'" + text + "' ist kein g\xC3\xBCltiger Integerwert";
}
// A file that cannot be opened.
inline std::string fileOpenText(const std::string& name) {
  return "Datei " + name + " kann nicht ge\xC3\xB6" "ffnet werden";
}

class InvalidInteger : public UnhandledFailure {
 public:
  explicit InvalidInteger(const std::string& text) : UnhandledFailure(invalidIntegerText(text)) {}
};

class FileOpenFailure : public UnhandledFailure {
 public:
  explicit FileOpenFailure(const std::string& name) : UnhandledFailure(fileOpenText(name)) {}
};

}  // namespace velkorn
