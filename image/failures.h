#pragma once
// Failures that end the running command with their text in an error box, after which the
// window goes on. The texts are kept word for word: operators know them from these boxes.
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

}  // namespace velkorn
