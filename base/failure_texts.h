#pragma once
// The texts of two failures a person knows from their boxes, word for word: a text that does
// not convert to a number and a file that cannot be opened. The HEX reader, the engine, the
// settings file and the window all show them, so they live below every layer.
#include <string>

namespace velkorn {

// A text that does not convert to a number (a hex value from the bootloader, a decimal
// value from the settings file or the cycle box).
inline std::string invalidIntegerText(const std::string& text) {
  return "'" + text + "' ist kein g\xC3\xBCltiger Integerwert";
}
// A file that cannot be opened.
inline std::string fileOpenText(const std::string& name) {
  return "Datei " + name + " kann nicht ge\xC3\xB6" "ffnet werden";
}

}  // namespace velkorn
