#include "ui/download_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace velkorn::ui {

namespace {

constexpr int kClientWidth = 272;
constexpr int kClientHeight = 165;
constexpr int kLabelFontPx = 13;
constexpr int kGlyphPx = 18;
constexpr int kAnimationFrames = 20;  // the copy animation loops over this many frames
constexpr int kAnimationStepMs = 60;

// A page flying from one folder to the other, drawn in code (the system's file-copy
// animation does not exist here).
class CopyAnimation final : public QWidget {
 public:
  explicit CopyAnimation(QWidget* parent) : QWidget(parent) {
    timer_.setInterval(kAnimationStepMs);
    QObject::connect(&timer_, &QTimer::timeout, this, &CopyAnimation::step);
  }

 protected:
  void showEvent(QShowEvent*) override { timer_.start(); }
  void hideEvent(QHideEvent*) override { timer_.stop(); }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int w = width(), h = height();
    const int folderW = 44, folderH = 30, y = h / 2 - folderH / 2 + 6;
    const QColor folder(230, 190, 70), edge(150, 110, 20);
    for (int x : {16, w - 16 - folderW}) {
      p.setPen(edge);
      p.setBrush(folder);
      p.drawRect(x, y, folderW, folderH);
      p.drawRect(x, y - 5, folderW / 3, 5);
    }
    // The page follows an arc from the left folder to the right one.
    const double t = static_cast<double>(frame_) / (kAnimationFrames - 1);
    const int startX = 16 + folderW / 2, endX = w - 16 - folderW / 2;
    const int px = startX + static_cast<int>((endX - startX) * t) - 8;
    const int py = y - static_cast<int>(4.0 * 26.0 * t * (1.0 - t)) - 6;
    p.setPen(Qt::darkGray);
    p.setBrush(Qt::white);
    p.drawRect(px, py, 16, 20);
    p.setPen(QColor(80, 80, 200));
    for (int line = 0; line < 4; ++line) p.drawLine(px + 3, py + 4 + 4 * line, px + 13, py + 4 + 4 * line);
  }

 private:
  void step() {
    frame_ = (frame_ + 1) % kAnimationFrames;
    update();
  }
  QTimer timer_;
  int frame_ = 0;
};

QIcon abortGlyph() {
  QIcon icon;
  for (auto [mode, colour] : {std::pair{QIcon::Normal, QColor(Qt::red)},
                              std::pair{QIcon::Disabled, QColor(Qt::gray)}}) {
    QPixmap pix(kGlyphPx, kGlyphPx);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(3, 3, kGlyphPx - 4, kGlyphPx - 4);
    p.drawLine(kGlyphPx - 4, 3, 3, kGlyphPx - 4);
    p.end();
    icon.addPixmap(pix, mode);
  }
  return icon;
}

}  // namespace

TDownLoadDlg::TDownLoadDlg(isp::StopFlag* abortFlag, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), abortFlag_(abortFlag) {
  setObjectName(QStringLiteral("DownLoadDlg"));
  setWindowTitle(QStringLiteral("Downloading..."));
  setFixedSize(kClientWidth, kClientHeight);
  setModal(false);
  setAttribute(Qt::WA_QuitOnClose, false);

  QFont small = font();
  small.setPixelSize(kLabelFontPx);
  QFont bold = font();
  bold.setBold(true);

  Animate1 = new CopyAnimation(this);
  Animate1->setObjectName(QStringLiteral("Animate1"));
  Animate1->setGeometry(0, 0, 272, 60);

  lTimeLeft = new QLabel(QStringLiteral("Time left:"), this);
  lTimeLeft->setObjectName(QStringLiteral("lTimeLeft"));
  lTimeLeft->setGeometry(0, 64, 190, 17);
  lTimeLeft->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lTimeLeft->setFont(small);

  Label1 = new QLabel(QStringLiteral("Bytes per second: "), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setGeometry(0, 80, 190, 17);
  Label1->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  Label1->setFont(small);

  lTime = new QLabel(this);
  lTime->setObjectName(QStringLiteral("lTime"));
  lTime->setGeometry(196, 64, 70, 17);
  lTime->setAlignment(Qt::AlignCenter);
  lTime->setFont(bold);

  lcps = new QLabel(QStringLiteral("000"), this);
  lcps->setObjectName(QStringLiteral("lcps"));
  lcps->setGeometry(196, 80, 70, 17);
  lcps->setAlignment(Qt::AlignCenter);
  lcps->setFont(bold);

  AbortBtn = new QPushButton(abortGlyph(), QStringLiteral("Abort download"), this);
  AbortBtn->setObjectName(QStringLiteral("AbortBtn"));
  AbortBtn->setGeometry(56, 112, 153, 25);
  AbortBtn->setIconSize(QSize(kGlyphPx, kGlyphPx));
  AbortBtn->setDefault(true);
  connect(AbortBtn, &QPushButton::clicked, this, &TDownLoadDlg::AbortBtnClick);

  pgb1 = new QProgressBar(this);
  pgb1->setObjectName(QStringLiteral("pgb1"));
  pgb1->setGeometry(0, kClientHeight - 16, kClientWidth, 16);
  pgb1->setRange(0, 100);
  pgb1->setValue(0);
  pgb1->setTextVisible(false);
}

void TDownLoadDlg::AbortBtnClick() {
  if (abortFlag_) abortFlag_->raise();
}

void TDownLoadDlg::showElapsed(int seconds) {
  lTimeLeft->setText(QStringLiteral("Time elapsed:"));
  lTime->setText(QStringLiteral("%1s ").arg(seconds));
}

void TDownLoadDlg::showFigures(const QString& timeLeft, const QString& bytesPerSecond) {
  lTimeLeft->setText(QStringLiteral("Time left:"));
  lTime->setText(timeLeft);
  lcps->setText(bytesPerSecond);
}

void TDownLoadDlg::closeEvent(QCloseEvent* event) {
  if (event->spontaneous())
    event->ignore();
  else
    event->accept();
}

void TDownLoadDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
    QTimer::singleShot(0, this, [this] {
      if (isVisible()) showNormal();
    });
}

void TDownLoadDlg::showEvent(QShowEvent* event) {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  QDialog::showEvent(event);
}

}  // namespace velkorn::ui
