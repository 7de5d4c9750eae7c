#pragma once
// The Device tab's "Bootloader line" box: how the window talks to the bootloader, apart from
// the terminal's Baudrate group. The bootloader measures its rate from the "U", so a board
// whose clock allows it runs faster than 115200 bit/s; many boards hang their reset and
// bootloader-entry pins on DTR and RTS, so a sequence of modem-line steps can put the board
// into its bootloader before each synchronisation; and the read-back can read every block
// instead of the blocks that hold data. The window keeps all three in its own memory file.
#include <QGroupBox>
#include <vector>

#include "link/modem_lines.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace velkorn::ui {

class BootloaderBox : public QGroupBox {
  Q_OBJECT
 public:
  explicit BootloaderBox(QWidget* parent = nullptr);

  // The rate the operator chose, or 0 while the field holds no rate.
  int rate() const;
  void setRate(int rate);
  // The reset field's text with spaces removed, and the steps it means.
  QString resetText() const;
  Result<std::vector<link::ModemStep>> resetSteps() const;
  void setResetText(const QString& text);
  bool wholeChip() const;
  void setWholeChip(bool on);

  QComboBox* rateBox() const { return rate_; }
  QLineEdit* resetField() const { return reset_; }
  QCheckBox* wholeChipBox() const { return wholeChip_; }

 signals:
  // The operator finished editing the rate field (a rate, or nothing usable: rate() 0).
  void rateEdited();
  // The operator finished editing the reset field.
  void resetEdited();
  void wholeChipToggled(bool on);

 private:
  QComboBox* rate_ = nullptr;
  QLineEdit* reset_ = nullptr;
  QCheckBox* wholeChip_ = nullptr;
};

}  // namespace velkorn::ui
