#include "ui/dbgdlg.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <algorithm>
#include <QVBoxLayout>

#include "ui/text_export.h"

namespace velkorn::ui {

namespace {
constexpr int kLeft = 41, kTop = 12, kWidth = 626, kHeight = 750;
constexpr int kGuessedFrameWidth = 8, kGuessedFrameHeight = 32;
}

TDbgFrm::TDbgFrm(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("DbgFrm"));
  setWindowTitle(QStringLiteral("DbgFrm"));
  // The position is the frame's: placed by its client area, the title bar would sit above
  // the screen's top edge.
  move(kLeft, kTop);
  resize(kWidth, kHeight);
  // A helper window must not keep the program alive once the main window is closed.
  setAttribute(Qt::WA_QuitOnClose, false);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setReadOnly(true);
  // Without scroll bars a log of thousands of records could only be read with the wheel.
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setMaximumBlockCount(kDebugLogLines);
  Memo1->setUndoRedoEnabled(false);
  Memo1->setPlainText(QStringLiteral("Memo1"));
  Memo1->viewport()->installEventFilter(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);

  export_ = new TextExport(Memo1, QStringLiteral("velkorn-debug.txt"));
}

void TDbgFrm::append(const QString& line) {
  // Follows the newest line unless the operator scrolled up to read an older one. While
  // hidden the window has no scroll range to judge by; it is brought to the end when shown.
  const QScrollBar* bar = Memo1->verticalScrollBar();
  const bool following = !isVisible() || bar->value() >= bar->maximum();
  Memo1->appendPlainText(line);
  if (following) scrollToNewest();
}

void TDbgFrm::scrollToNewest() { Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum()); }

void TDbgFrm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  fitOnScreen();
  scrollToNewest();
}

void TDbgFrm::fitOnScreen() {
  const QScreen* shownOn = screen();
  if (shownOn == nullptr) return;
  const QRect area = shownOn->availableGeometry();
  // The window manager's frame, once it has drawn one; a title bar's worth until then.
  const QRect outer = frameGeometry();
  const int frameWidth = outer.width() > width() ? outer.width() - width() : kGuessedFrameWidth;
  const int frameHeight = outer.height() > height() ? outer.height() - height() : kGuessedFrameHeight;
  const int w = std::min(width(), area.width() - frameWidth);
  const int h = std::min(height(), area.height() - frameHeight);
  if (w != width() || h != height()) resize(w, h);
  const int x = std::clamp(outer.x(), area.left(), area.left() + area.width() - (w + frameWidth));
  const int y = std::clamp(outer.y(), area.top(), area.top() + area.height() - (h + frameHeight));
  if (x != outer.x() || y != outer.y()) move(x, y);
}

QStringList TDbgFrm::lines() const {
  const QString text = Memo1->toPlainText();
  if (text.isEmpty()) return {};
  return text.split(QLatin1Char('\n'));
}

void TDbgFrm::Memo1DblClick() { Memo1->clear(); }

bool TDbgFrm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Memo1->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    Memo1DblClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velkorn::ui
