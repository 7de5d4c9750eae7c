#include "ui/bootloader_box.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLineEdit>

#include "ui/window_memory.h"

namespace velkorn::ui {

namespace {

// Rates the usual boards reach from a 11.0592 or 22.1184 MHz crystal; any other can be typed.
constexpr int kOfferedRates[] = {115200, 230400, 460800, 921600};

}  // namespace

BootloaderBox::BootloaderBox(QWidget* parent) : QGroupBox(QStringLiteral("Bootloa&der line"), parent) {
  setObjectName(QStringLiteral("BootloaderBox"));
  auto* form = new QFormLayout(this);
  rate_ = new QComboBox(this);
  rate_->setObjectName(QStringLiteral("cbBootRate"));
  rate_->setEditable(true);
  rate_->setInsertPolicy(QComboBox::NoInsert);
  for (int rate : kOfferedRates) rate_->addItem(QString::number(rate));
  rate_->setValidator(new QIntValidator(1, kMaxBootloaderRate, rate_));
  rate_->setToolTip(QStringLiteral("Bit rate of the synchronisation and of every record; the terminal keeps the "
                                   "Baudrate group's"));
  reset_ = new QLineEdit(this);
  reset_->setObjectName(QStringLiteral("eResetSeq"));
  reset_->setPlaceholderText(QStringLiteral("none, e.g. dtr=0,rts=1,wait=100,dtr=1,wait=50,rts=0"));
  reset_->setToolTip(QStringLiteral("Modem-line steps run before each synchronisation: dtr=0|1, rts=0|1, wait=MS"));
  wholeChip_ = new QCheckBox(QStringLiteral("Read back the whole chip"), this);
  wholeChip_->setObjectName(QStringLiteral("cbWholeChip"));
  wholeChip_->setToolTip(QStringLiteral("Read every block; otherwise the blocks that hold data are read and the "
                                        "bootloader's blank check vouches for the rest"));
  form->addRow(QStringLiteral("Rate (bit/s)"), rate_);
  form->addRow(QStringLiteral("Reset before sync"), reset_);
  form->addRow(wholeChip_);

  connect(rate_->lineEdit(), &QLineEdit::editingFinished, this, &BootloaderBox::rateEdited);
  connect(rate_, &QComboBox::activated, this, &BootloaderBox::rateEdited);
  connect(reset_, &QLineEdit::editingFinished, this, &BootloaderBox::resetEdited);
  connect(wholeChip_, &QCheckBox::toggled, this, &BootloaderBox::wholeChipToggled);
}

int BootloaderBox::rate() const {
  bool number = false;
  const int rate = rate_->currentText().trimmed().toInt(&number);
  return number && rate >= 1 && rate <= kMaxBootloaderRate ? rate : 0;
}

void BootloaderBox::setRate(int rate) { rate_->setEditText(QString::number(rate)); }

QString BootloaderBox::resetText() const {
  QString text = reset_->text();
  text.remove(QLatin1Char(' '));
  return text;
}

Result<std::vector<link::ModemStep>> BootloaderBox::resetSteps() const {
  return link::parseModemSteps(resetText().toStdString());
}

void BootloaderBox::setResetText(const QString& text) { reset_->setText(text); }

bool BootloaderBox::wholeChip() const { return wholeChip_->isChecked(); }

void BootloaderBox::setWholeChip(bool on) { wholeChip_->setChecked(on); }

}  // namespace velkorn::ui
