#include "ui/file_drop.h"

#include <QDropEvent>

namespace velkorn::ui {

bool acceptDropAsCopy(QDropEvent* event) {
  if (!(event->possibleActions() & Qt::CopyAction)) {
    event->ignore();
    return false;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  return true;
}

}  // namespace velkorn::ui
