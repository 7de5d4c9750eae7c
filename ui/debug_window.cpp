#include "ui/debug_window.h"

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
constexpr int kGuessedFrameSide = 4, kGuessedTitleBar = 28;
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
  // Worked out for the client area, which setGeometry places; the window manager's frame
  // is known only once it has drawn one, and guessed until then.
  const QRect inner = geometry();
  const QRect outer = frameGeometry();
  auto side = [](int measured, int guess) { return measured > 0 ? measured : guess; };
  const int left = side(inner.left() - outer.left(), kGuessedFrameSide);
  const int top = side(inner.top() - outer.top(), kGuessedTitleBar);
  const int right = side(outer.right() - inner.right(), kGuessedFrameSide);
  const int bottom = side(outer.bottom() - inner.bottom(), kGuessedFrameSide);
  const int w = std::min(inner.width(), area.width() - left - right);
  const int h = std::min(inner.height(), area.height() - top - bottom);
  const int x = std::clamp(inner.x(), area.left() + left, area.left() + area.width() - right - w);
  const int y = std::clamp(inner.y(), area.top() + top, area.top() + area.height() - bottom - h);
  if (QRect(x, y, w, h) != inner) setGeometry(x, y, w, h);
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
