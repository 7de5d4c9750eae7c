#pragma once
// The settings file bound to the window: what a loaded file sets in the widgets, in the
// loading's order, and what the window's widgets hold when the file is written.
#include <QMargins>
#include <QRect>
#include <QSize>
#include <vector>

#include "file/settings_file.h"

class QWidget;

namespace velkorn::ui {

// The window's placement as the settings file holds it: its frame's left and top, its
// inner width and height.
struct Placement {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Placement&) const = default;
};

// Where a window asked for `wanted` goes: onto the screen it lands on (the one that holds
// most of it, else the nearest; `screens` are their free areas, the primary first), shrunk
// to that screen when larger (below `minimum` only where the screen is smaller), and moved
// so that it lies wholly on it. `frame` is what the window system draws around the inside (nothing is known of it
// before the window was first shown). A screen that was unplugged, a smaller screen or a
// higher scale factor would otherwise restore the window where no one can reach it, and a
// size the file got wrong (2147483647) would take gigabytes for the window's pixels.
Placement fitOntoScreen(const Placement& wanted, const std::vector<QRect>& screens, const QMargins& frame,
                        const QSize& minimum);

// The window's placement brought onto the screen it lands on (fitOntoScreen with the
// machine's screens).
Placement fittedPlacement(const QWidget& window, const Placement& wanted);
// Moves and sizes the window there.
void placeWindow(QWidget& window, const Placement& wanted);

class Dialogs;
class TForm1;

class SettingsBinding {
 public:
  // Also keeps the window whole on its screen when it first appears (see placeWindow).
  SettingsBinding(TForm1& form, Dialogs& dialogs);

  // Reads the file and applies it; a missing file or a bad number gets its box.
  void load();
  // Writes the window's values; a failure gets its box and keeps the earlier file.
  void save();
  void apply(const file::LoadedSettings& loaded);
  // The values save() writes, taken from the window as it stands.
  file::Settings current() const;

 private:
  TForm1& form_;
  Dialogs& dialogs_;
};

}  // namespace velkorn::ui
