// The main window and the bootloader's line: the Device tab's "Bootloader line" box (rate,
// reset sequence, whole-chip read-back) kept in the window's memory, the reset run before
// each synchronisation, a change of line that forgets the board, and a running command's
// progress in the title and the result panel.
#include <QCheckBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <utility>

#include "link/modem_lines.h"
#include "ui/bootloader_box.h"
#include "ui/download_window.h"
#include "ui/hexdump.h"
#include "ui/mainform.h"
#include "ui/sync_window.h"

namespace velkorn::ui {

void TForm1::startBootloaderBox() {
  bootloaderBox->setRate(memory_.bootloaderRate());
  bootloaderBox->setResetText(memory_.resetSequence());
  resetChecked_ = memory_.resetSequence();
  bootloaderBox->setWholeChip(memory_.wholeChip());
  engine_.bootloaderRate = memory_.bootloaderRate();
}

void TForm1::bootRateEdited() {
  const int rate = bootloaderBox->rate();
  if (rate == 0) {
    // The field's validator lets only a number through; an empty field means the last rate.
    bootloaderBox->setRate(memory_.bootloaderRate());
    return;
  }
  memory_.setBootloaderRate(rate);
  engine_.bootloaderRate = rate;
}

void TForm1::resetSequenceEdited() {
  // Return and the focus leaving both end an edit: one box for one text.
  const QString text = bootloaderBox->resetText();
  if (text == resetChecked_) return;
  resetChecked_ = text;
  if (const auto steps = bootloaderBox->resetSteps(); !steps) {
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
    if (SyncMessage->cancelled()) return;
    debugLog("reset: " + link::describe(step));
    if (step.kind == link::ModemStep::Wait) {
      // The window stays alive, and Cancel or a close ends the wait.
      QEventLoop pause;
      QTimer::singleShot(step.waitMs, &pause, &QEventLoop::quit);
      connect(SyncMessage, &TSyncMessage::cancelRaised, &pause, &QEventLoop::quit);
      pause.exec();
      continue;
    }
    const Status set = lines_.setModemLine(step.line, step.high);
    if (!set && !std::exchange(refusalSaid, true)) {
      const std::string text = lines_.panelName() + " does not take " + link::describe(step) + " (" + set.message() +
                               "): the reset sequence has no effect there";
      debugLog(text);
      SyncMessage->setStatus(QString::fromStdString(text));
    }
  }
}

void TForm1::forgetBoard() {
  for (isp::DeviceField field : {isp::DeviceField::Manu, isp::DeviceField::DevFam, isp::DeviceField::Mem,
                                 isp::DeviceField::Product, isp::DeviceField::BSB, isp::DeviceField::SBV,
                                 isp::DeviceField::HSB, isp::DeviceField::BVersion})
    label(field)->clear();
  cbLock0->setChecked(false);
  cblock1->setChecked(false);
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
  phase_.clear();
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
  // Between two steps (a box, the question before erasing) nothing runs that could be shown.
  if (!commandRunning_ || !DownLoadDlg || phase_.isEmpty()) return;
  const QString& phase = phase_;
  const QProgressBar* bar = DownLoadDlg->progressBar();
  const bool shown = DownLoadDlg->isVisible();
  QString status;
  if (shown && bar->maximum() > 0 && bar->value() > 0) {
    status = QStringLiteral("%1 %2%").arg(phase).arg(static_cast<int>(qint64{bar->value()} * 100 / bar->maximum()));
  } else {
    // A step that moves no bar (the erase answer, a synchronisation) shows that it works.
    const auto seconds = static_cast<int>(phaseClock_.elapsed() / 1000);
    status = seconds > 0 ? QStringLiteral("%1 %2 s").arg(phase).arg(seconds) : phase;
    if (shown && seconds > 0) DownLoadDlg->showElapsed(seconds);
  }
  if (status == runningStatus_) return;
  runningStatus_ = status;
  resultPanel_->setText(status);
  resultPanel_->setToolTip(status);
  refreshTitle();
}

}  // namespace velkorn::ui
