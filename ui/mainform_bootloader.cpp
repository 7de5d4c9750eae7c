// The main window and the bootloader's line: the Device tab's "Bootloader line" box (rate,
// reset sequence, whole-chip read-back) kept in the window's memory, the reset run before
// each synchronisation, a change of line that forgets the board, and a running command's
// progress in the title and the result panel.
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <utility>

#include "link/modem_lines.h"
#include "ui/bootloader_box.h"
#include "ui/hexdump.h"
#include "ui/mainform.h"

namespace velkorn::ui {

void TForm1::startBootloaderBox() {
  device_.bootloaderBox->setRate(memory_.bootloaderRate());
  device_.bootloaderBox->setResetText(memory_.resetSequence());
  resetChecked_ = memory_.resetSequence();
  device_.bootloaderBox->setWholeChip(memory_.wholeChip());
  engine_.bootloaderRate = memory_.bootloaderRate();
}

void TForm1::bootRateEdited() {
  const int rate = device_.bootloaderBox->rate();
  if (rate == 0) {
    // The field's validator lets only a number through; an empty field means the last rate.
    device_.bootloaderBox->setRate(memory_.bootloaderRate());
    return;
  }
  memory_.setBootloaderRate(rate);
  engine_.bootloaderRate = rate;
}

void TForm1::resetSequenceEdited() {
  // Return and the focus leaving both end an edit: one box for one text.
  const QString text = device_.bootloaderBox->resetText();
  if (text == resetChecked_) return;
  resetChecked_ = text;
  if (const auto steps = device_.bootloaderBox->resetSteps(); !steps) {
    const QString kept = memory_.resetSequence().isEmpty() ? QStringLiteral("no reset")
                                                           : QStringLiteral("\"%1\"").arg(memory_.resetSequence());
    dialogs_.error(this,
                   QStringLiteral("Reset sequence not used: %1. The synchronisation keeps %2.")
                       .arg(QString::fromStdString(steps.message()), kept),
                   false);
    return;
  }
  memory_.setResetSequence(text);
}

void TForm1::runResetSequence() {
  const auto steps = link::parseModemSteps(memory_.resetSequence().toStdString());
  if (!steps) return;
  bool refusalSaid = false;
  for (const link::ModemStep& step : *steps) {
    if (operator_.syncCancelled()) return;
    operator_.debugLog("reset: " + link::describe(step));
    if (step.kind == link::ModemStep::Wait) {
      // The window stays alive, and Cancel or a close ends the wait.
      operator_.pauseInSync(step.waitMs);
      continue;
    }
    const Status set = lines_.setModemLine(step.line, step.high);
    if (!set && !std::exchange(refusalSaid, true)) {
      const std::string text = lines_.panelName() + " does not take " + link::describe(step) + " (" + set.message() +
                               "): the reset sequence has no effect there";
      operator_.debugLog(text);
      operator_.syncStatus(QString::fromStdString(text));
    }
  }
}

void TForm1::forgetBoard() {
  for (isp::DeviceField field : {isp::DeviceField::Manu, isp::DeviceField::DevFam, isp::DeviceField::Mem,
                                 isp::DeviceField::Product, isp::DeviceField::BSB, isp::DeviceField::SBV,
                                 isp::DeviceField::HSB, isp::DeviceField::BVersion})
    device_.label(field)->clear();
  device_.cbLock0->setChecked(false);
  device_.cblock1->setChecked(false);
  setPanel(2, QString());
  MemoryImages& images = engine_.images();
  // A 32 KiB part seen on the last line says nothing of the next board.
  images.chipSize = kImageSize;
  images.chipRead.reset();
  chipView->Invalidate();
  resultPanel_->clear();
  resultPanel_->setToolTip(QString());
  refreshSaveChip();
}

void TForm1::refreshTitle() {
  // The title says which file the File Data view and Reload hold, and what a running
  // command does, so the task bar shows it too.
  const auto& images = engine_.images();
  const QString file = QFileInfo(QString::fromStdString(engine_.hexFileName)).fileName();
  QString title = QString::fromLatin1(kProgramTitle);
  if (images.fileLoaded && !file.isEmpty()) title += QStringLiteral(" - ") + file;
  if (!runningStatus_.isEmpty()) title = runningStatus_ + QStringLiteral(" - ") + title;
  if (title != windowTitle()) setWindowTitle(title);
}

void TForm1::endRunningStatus() {
  operator_.endStep();
  if (runningStatus_.isEmpty()) return;
  // A result noted meanwhile stays; otherwise the last one comes back.
  if (resultPanel_->text() == runningStatus_) {
    resultPanel_->setText(resultBefore_);
    resultPanel_->setToolTip(resultBefore_);
  }
  runningStatus_.clear();
  refreshTitle();
}

void TForm1::refreshRunningStatus() {
  if (!commandRunning_) return;
  const QString status = operator_.stepStatus();
  if (status.isEmpty() || status == runningStatus_) return;
  runningStatus_ = status;
  resultPanel_->setText(status);
  resultPanel_->setToolTip(status);
  refreshTitle();
}

}  // namespace velkorn::ui
