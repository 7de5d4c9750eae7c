#pragma once
// The progress window "Downloading...": shown while a HEX file loads and while the chip is
// erased, programmed or read. Its Abort button only raises the download abort flag; the
// running loop polls the flag and decides what to do.
#include <QDialog>

#include "isp/stop_flag.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace velkorn::ui {

class TDownLoadDlg : public QDialog {
  Q_OBJECT
 public:
  // `abortFlag` is the download abort flag of the running commands.
  explicit TDownLoadDlg(isp::StopFlag* abortFlag, QWidget* parent = nullptr);

  void AbortBtnClick();
  // A step with no measure of its own (the erase answer can take 30 s): the time it has run
  // instead of the time left, so the operator sees that it works. The next show puts the
  // time left back (showFigures).
  void showElapsed(int seconds);
  // The time left and the rate, as the running loop measures them.
  void showFigures(const QString& timeLeft, const QString& bytesPerSecond);

  QProgressBar* progressBar() const { return pgb1; }
  QLabel* timeLabel() const { return lTime; }
  QLabel* rateLabel() const { return lcps; }
  QPushButton* abortButton() const { return AbortBtn; }

 protected:
  void showEvent(QShowEvent* event) override;
  // Escape is Abort, as in any progress window; only the operation that showed the window
  // hides it.
  void reject() override { AbortBtnClick(); }
  // Only a close by the program (the application quitting) hides it; refusing that one
  // would refuse the quit.
  void closeEvent(QCloseEvent* event) override;
  // Window managers that draw title-bar buttons in spite of the dialog frame (openbox
  // does) would let the operator minimise the only window with Abort: it comes back.
  void changeEvent(QEvent* event) override;

 private:
  isp::StopFlag* abortFlag_;
  QWidget* Animate1 = nullptr;
  QLabel* lTimeLeft = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* lTime = nullptr;
  QLabel* lcps = nullptr;
  QPushButton* AbortBtn = nullptr;
  QProgressBar* pgb1 = nullptr;
};

}  // namespace velkorn::ui
