#pragma once
// A file dragged onto the window is only ever taken as a copy: a drop accepted as a move
// lets a file manager delete the original once the drop is done.
class QDropEvent;

namespace velkorn::ui {

// Accepts the drag enter, drag move or drop as a copy and returns true; a drag that offers
// no copy is refused (false).
bool acceptDropAsCopy(QDropEvent* event);

}  // namespace velkorn::ui
