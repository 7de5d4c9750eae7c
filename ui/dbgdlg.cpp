#include "ui/dbgdlg.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace velkorn::ui {

namespace {
constexpr int kLeft = 41, kTop = 12, kWidth = 626, kHeight = 750;
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
  // The log has no visible scroll bars, but the wheel and the keys still scroll it.
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setPlainText(QStringLiteral("Memo1"));
  Memo1->viewport()->installEventFilter(this);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Memo1);
}

void TDbgFrm::append(const QString& line) { Memo1->appendPlainText(line); }

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
