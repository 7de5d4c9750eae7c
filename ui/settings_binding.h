#pragma once
// The settings file bound to the window: what a loaded file sets in the widgets, in the
// loading's order, and what the window's widgets hold when the file is written.
#include "ui/settings.h"

namespace velkorn::ui {

class Dialogs;
class TForm1;

class SettingsBinding {
 public:
  SettingsBinding(TForm1& form, Dialogs& dialogs) : form_(form), dialogs_(dialogs) {}

  // Reads the file and applies it; a missing file or a bad number gets its box.
  void load();
  // Writes the window's values; a failure gets its box and keeps the earlier file.
  void save();
  void apply(const LoadedSettings& loaded);
  // The values save() writes, taken from the window as it stands.
  Settings current() const;

 private:
  TForm1& form_;
  Dialogs& dialogs_;
};

}  // namespace velkorn::ui
