#include "ui/sync_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

namespace velkorn::ui {

namespace {
constexpr int kLeft = 373, kTop = 216, kWidth = 288, kHeight = 123;
constexpr int kTitleFontPx = 16;
}  // namespace

TSyncMessage::TSyncMessage(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("SyncMessage"));
  setWindowTitle(QStringLiteral("Synchronize..."));
  // The position is the frame's, as for every top-level window placed by the program; the
  // size is the client area's.
  move(kLeft, kTop);
  resize(kWidth, kHeight);
  setModal(false);
  setAttribute(Qt::WA_QuitOnClose, false);

  Label1 = new QLabel(QStringLiteral("Waiting for target response"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setGeometry(8, 8, 265, 25);
  Label1->setAlignment(Qt::AlignCenter);
  QFont title = Label1->font();
  title.setBold(true);
  title.setPixelSize(kTitleFontPx);
  Label1->setFont(title);

  pB1 = new QProgressBar(this);
  pB1->setObjectName(QStringLiteral("pB1"));
  pB1->setGeometry(8, 40, 257, 16);
  pB1->setRange(0, kSyncSteps);
  pB1->setValue(0);
  pB1->setTextVisible(false);

  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), QStringLiteral("&Cancel"), this);
  BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
  BitBtn1->setGeometry(80, 64, 107, 25);
  connect(BitBtn1, &QPushButton::clicked, this, &TSyncMessage::BitBtn1Click);

  lStatus = new QLabel(this);
  lStatus->setObjectName(QStringLiteral("lStatus"));
  lStatus->setGeometry(8, 96, 272, 20);
  lStatus->setAlignment(Qt::AlignCenter);
  QPalette warning = lStatus->palette();
  warning.setColor(QPalette::WindowText, Qt::darkRed);
  lStatus->setPalette(warning);

  Timer1.setInterval(kTimerIntervalMs);
  connect(&Timer1, &QTimer::timeout, this, &TSyncMessage::Timer1Timer);
}

void TSyncMessage::start() {
  cancelFlag_ = false;
  pB1->setValue(0);
  lStatus->clear();
  show();
  // Shown again while already visible: the count still starts from a full minute.
  if (!Timer1.isActive()) Timer1.start();
}

void TSyncMessage::BitBtn1Click() {
  cancelFlag_ = true;
  emit cancelRaised();
}

void TSyncMessage::setStatus(const QString& text) { lStatus->setText(text); }

QString TSyncMessage::status() const { return lStatus->text(); }

void TSyncMessage::reject() { BitBtn1Click(); }

void TSyncMessage::closeEvent(QCloseEvent* event) {
  if (event->spontaneous()) {
    BitBtn1Click();
    event->ignore();
    return;
  }
  event->accept();
}

void TSyncMessage::Timer1Timer() {
  pB1->setValue(pB1->value() + 1);
  if (pB1->value() >= pB1->maximum()) {
    cancelFlag_ = true;
    emit cancelRaised();
  }
}

void TSyncMessage::showEvent(QShowEvent* event) {
  Timer1.start();
  QDialog::showEvent(event);
}

void TSyncMessage::hideEvent(QHideEvent* event) {
  Timer1.stop();
  QDialog::hideEvent(event);
}

}  // namespace velkorn::ui
