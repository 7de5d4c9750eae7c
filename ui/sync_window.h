#pragma once
// The synchronisation window "Synchronize...": shown while the programmer waits for the
// bootloader to answer the autobaud character. Its own one-second timer advances the bar
// and raises the sync cancel flag when the bar reaches 60; Cancel raises it at once.
#include <QDialog>
#include <QTimer>

class QLabel;
class QProgressBar;
class QPushButton;

namespace velkorn::ui {

class TSyncMessage : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kSyncSteps = 60;           // bar maximum: the time-out in timer ticks
  static constexpr int kTimerIntervalMs = 1000;   // one tick a second

  explicit TSyncMessage(QWidget* parent = nullptr);

  // Lowers the flag, sets the bar to 0, empties the status line and shows the window (not
  // modal).
  void start();
  bool cancelled() const { return cancelFlag_; }
  // A line under the Cancel button for what goes wrong while the window waits (a write to
  // the port that fails); the wait goes on and Cancel stays in reach.
  void setStatus(const QString& text);
  QString status() const;

  void BitBtn1Click();
  void Timer1Timer();

  QProgressBar* progressBar() const { return pB1; }
  QPushButton* cancelButton() const { return BitBtn1; }
  QTimer& timer() { return Timer1; }

 signals:
  // The sync cancel flag went up (Cancel, Escape, the title bar, or the limit).
  void cancelRaised();

 protected:
  void showEvent(QShowEvent* event) override;  // FormShow: starts the timer
  void hideEvent(QHideEvent* event) override;  // FormHide: stops it
  // Escape or the title bar's close button: the same as Cancel. Hiding the window instead
  // would stop the timer and leave the waiting loop without its time-out.
  void reject() override;
  // The title bar's close button is Cancel too; a close by the program (the application
  // quitting) is let through, or the quit would be refused.
  void closeEvent(QCloseEvent* event) override;

 private:
  QLabel* Label1 = nullptr;
  QProgressBar* pB1 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QLabel* lStatus = nullptr;
  QTimer Timer1;
  bool cancelFlag_ = false;
};

}  // namespace velkorn::ui
