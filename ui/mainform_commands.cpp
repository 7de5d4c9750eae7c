// The main window's chip commands and what their outcomes show (the closing boxes, the
// tab changes, the hand-back to the terminal), and the window as the engine's person: its
// boxes, its progress and sync windows, its views and the Device tab.
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTimer>

#include "image/failures.h"
#include "isp/device_facts.h"
#include "ui/debug_window.h"
#include "ui/dialogs.h"
#include "ui/download_window.h"
#include "ui/hexdump.h"
#include "ui/mainform.h"
#include "ui/read_note.h"
#include "ui/sync_window.h"

namespace velkorn::ui {

namespace {

using isp::OutcomeKind;
using isp::Step;

QString fromEngine(const std::string& text) { return QString::fromStdString(text); }

constexpr const char* kSuccessText = "completed successfully";

// How often a running command lets pending messages run at most.
constexpr qint64 kEngineEventSliceMs = 10;
// The pause after a failed write in the synchronisation loop, as after a failed read.
constexpr int kSyncFailurePauseMs = 200;

}  // namespace

void TForm1::LoadFile1Click() {
  runCommand([this] {
    const isp::Outcome loaded = engine_.loadHexFile();
    report(loaded);
    rememberLoadedFile(loaded);
  });
}

bool TForm1::loadHexFileNamed(const QString& path) {
  if (commandRunning_ || engine_.busy() || !LoadFile1->isEnabled()) return false;
  chosenFile_ = path;
  LoadFile1Click();
  chosenFile_.reset();
  return true;
}

void TForm1::MReadClick() {
  runChipCommand([this] {
    showPage(TabSheet2);
    // Read answers carry no checksum: every block read is read until two answers agree.
    const isp::Outcome read = engine_.readChip({true, kReadRetries, !memory_.wholeChip()});
    if (read.done()) noteResult(QStringLiteral("Read"));
    report(read);
  });
}

void TForm1::CompareFileClick() {
  runChipCommand([this] {
    if (!engine_.images().fileLoaded) {
      report(engine_.loadHexFile());
      if (!engine_.images().fileLoaded) return;
    }
    showPage(TabSheet2);
    const isp::Outcome verified = engine_.verify(isp::Asking::Operator, verification());
    if (verified.done()) {
      noteResult(QStringLiteral("Matched OK!!!"));
      dialogs_.message(QStringLiteral("Verifying..."), QStringLiteral("Matched OK!!!"));
    } else {
      report(verified);
    }
  });
}

void TForm1::MProgClick() {
  runChipCommand([this] {
    closeBootConfig(engine_.program(isp::Asking::Operator, verification()), true,
                    QStringLiteral("Programmed and verified"));
  });
}

void TForm1::MReloadClick() {
  runChipCommand(
      [this] { closeBootConfig(engine_.reload(verification()), false, QStringLiteral("Programmed and verified")); });
}

void TForm1::MBSBClick() {
  runChipCommand([this] { closeBootConfig(engine_.writeBootConfig(), true, QStringLiteral("Boot configuration written")); });
}

void TForm1::MEraseClick() {
  runChipCommand([this] {
    // The erase answer can take 30 s: its wait gets the progress window (setBusyCursor).
    eraseCommand_ = true;
    isp::Outcome erased;
    {
      const auto over = qScopeGuard([this] { eraseCommand_ = false; });
      erased = engine_.erase();
    }
    if (!erased.done()) {
      report(erased);  // a refused erase is not reported
      return;
    }
    noteResult(QStringLiteral("Erased"));
    dialogs_.message(QStringLiteral("Erase"), QString::fromLatin1(kSuccessText));
    engine_.images().chipImage.fill(kErasedByte);
    engine_.images().chipRead.set();  // an erased chip is known everywhere
    chipView->SetCurrentLine(0);
  });
}

isp::Verification TForm1::verification() const {
  return memory_.wholeChip() ? isp::Verification::WholeChip : isp::Verification::DataOnly;
}

void TForm1::BitBtn1Click() { runChipCommand([this] { report(engine_.sync()); }); }

void TForm1::GroupBox1DblClick() { runChipCommand([this] { report(engine_.readDeviceInfo(false)); }); }

void TForm1::report(const isp::Outcome& outcome) {
  if (outcome.done()) return;
  // After a read that stopped early the Chip Data view draws what it did not get apart;
  // the status bar says where.
  const QString coverage = outcome.step == Step::ReadBack
                               ? readCoverageNote(engine_.images().chipRead, engine_.images().chipSize)
                               : QString();
  // A line that failed ends the command with one box naming the cause, once the command
  // has returned and the line can be dropped.
  if (outcome.kind == OutcomeKind::LinkLost) {
    lineLostDuringCommand_.emplace(outcome.detail, coverage);
    return;
  }
  const QString result = failureResult(outcome);
  noteResult(coverage.isEmpty() ? result : result + QStringLiteral("; ") + coverage);
  if (outcome.kind == OutcomeKind::NoSync) {
    ShowError(QStringLiteral("Can not synchronize target \"U\""), false);
  } else if (outcome.kind == OutcomeKind::BadAnswer) {
    ShowError(fromEngine(invalidIntegerText(outcome.detail)), false);
  } else if (outcome.kind == OutcomeKind::FileError && outcome.fileFault == isp::FileFault::CannotOpen) {
    ShowError(fromEngine(fileOpenText(outcome.file)), false);
  } else if (outcome.kind == OutcomeKind::FileError && outcome.fileFault == isp::FileFault::PastChip) {
    // Refused before the erase: the chip keeps what it held.
    const auto hex = [](int value) { return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper(); };
    ShowError(QStringLiteral("The file holds data at %1, past the end of this chip (%2 bytes): nothing was done")
                  .arg(hex(outcome.address), hex(outcome.count)),
              false);
  } else if (outcome.kind == OutcomeKind::FileError && outcome.fileFault == isp::FileFault::NoData) {
    ShowError(QStringLiteral("The file holds no data: the chip was not erased (Full Chip Erase clears it)"), false);
  } else if (outcome.kind == OutcomeKind::Mismatch && outcome.step == Step::FinalCompare) {
    ShowError(QStringLiteral("Verify FAILED !!!"), false);
  } else if (outcome.kind == OutcomeKind::Refused && outcome.step == Step::BootConfig) {
    ShowError(QStringLiteral("Programm BSB FAILED!"), false);
  }
}

void TForm1::closeBootConfig(const isp::Outcome& outcome, bool successBox, const QString& doneText) {
  if (!outcome.bootWritten) {
    report(outcome);
    return;
  }
  // The closing record decides; a lock or boot-jump record that was not accepted is said
  // beside the result, so nobody takes the chip for locked.
  QString text = outcome.done() ? doneText : failureResult(outcome);
  if (!outcome.settingRecord.empty()) {
    text += QStringLiteral("; record %1 not accepted").arg(QString::fromStdString(outcome.settingRecord));
  }
  noteResult(text);
  // A difference that only the read-back saw still leaves the configuration written: the
  // line goes back to the terminal, without the success box.
  if (successBox && outcome.done()) dialogs_.message(QStringLiteral("Programm BSB"), QString::fromLatin1(kSuccessText));
  handBack();
}

void TForm1::handBack() {
  engine_.FlushInput();
  SetBaudRate(terminalBaud_);
  Timer2->start();
  showPage(TabSheet3);
}

isp::Button TForm1::showError(const std::string& text, bool cancellable) {
  if (syncing_ && !cancellable) {
    syncLineFailed(text);
    return isp::Button::Ok;
  }
  // The engine raises the download abort flag itself on Cancel.
  return dialogs_.error(this, fromEngine(text), cancellable);
}

void TForm1::syncLineFailed(const std::string& text) {
  // A modal box per attempt would keep Cancel out of reach until the minute is over: the
  // text goes onto the waiting window, and the system's reason into the debug log once
  // per change.
  SyncMessage->setStatus(fromEngine(text));
  const std::string reason = lines_.lineFailure();
  if (reason != lastSyncFailure_) {
    lastSyncFailure_ = reason;
    debugLog(text + ": " + (reason.empty() ? std::string("no reason given") : reason));
  }
  // A dead line fails at once; the next attempt waits a little, with Cancel served.
  if (SyncMessage->cancelled()) return;
  QEventLoop pause;
  QTimer::singleShot(kSyncFailurePauseMs, &pause, &QEventLoop::quit);
  connect(SyncMessage, &TSyncMessage::cancelRaised, &pause, &QEventLoop::quit);
  pause.exec();
}

void TForm1::showNotice(const std::string& text) {
  dialogs_.information(this, QString::fromLatin1(kProgramTitle), fromEngine(text));
}

bool TForm1::askYesNo(const std::string& caption, const std::string& text) {
  return dialogs_.confirm(this, fromEngine(caption), fromEngine(text));
}

std::optional<std::string> TForm1::askHexFileName(const std::string& remembered) {
  if (chosenFile_) return std::exchange(chosenFile_, std::nullopt)->toStdString();
  const auto name = dialogs_.openHexFile(this, fromEngine(remembered));
  if (!name) return std::nullopt;
  return name->toStdString();
}

void TForm1::debugLog(const std::string& line) {
  // A reply's CR LF pairs would show as empty lines in the memo.
  QString text = fromEngine(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (DbgFrm) DbgFrm->append(text);
}

void TForm1::processEvents() {
  // Each phase of a command lowers the abort flag before its loop: a close request keeps
  // raising it until the command has returned.
  if (closeRequested_) raiseStopFlags();
  // A HEX load asks once per line; letting the queue run that often would cost far more
  // than the lines themselves. Abort, Cancel, timers and repaints are still served every
  // few milliseconds.
  if (sinceEvents_.isValid() && sinceEvents_.elapsed() < kEngineEventSliceMs) return;
  QCoreApplication::processEvents();
  sinceEvents_.start();
  if (closeRequested_) raiseStopFlags();
}

void TForm1::setBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  // "Full Chip &Erase" waits for its answer behind the busy cursor: the progress window
  // shows the time it has run, and its Abort (or Escape) ends the wait.
  if (eraseCommand_ && busy && !DownLoadDlg->isVisible()) progressShow("Erasing...", 0);
  if (eraseCommand_ && !busy) progressHide();
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TForm1::progressShow(const std::string& caption, int maximum) {
  DownLoadDlg->setWindowTitle(fromEngine(caption));
  DownLoadDlg->progressBar()->setRange(0, maximum);
  DownLoadDlg->progressBar()->setValue(0);
  DownLoadDlg->showFigures(QString(), DownLoadDlg->rateLabel()->text());  // a step's elapsed time is gone
  phase_ = fromEngine(caption);
  phaseClock_.start();
  refreshRunningStatus();
  // A window that is closing starts nothing new, and shows nothing new.
  if (closeRequested_) {
    raiseStopFlags();
    return;
  }
  DownLoadDlg->show();
}

void TForm1::progressCaption(const std::string& caption) {
  DownLoadDlg->setWindowTitle(fromEngine(caption));
  phase_ = fromEngine(caption);
  phaseClock_.start();
  refreshRunningStatus();
}

void TForm1::progressPosition(int position) {
  DownLoadDlg->progressBar()->setValue(position);
  refreshRunningStatus();
}

void TForm1::progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) {
  DownLoadDlg->showFigures(fromEngine(timeLeft), fromEngine(bytesPerSecond));
}

void TForm1::progressHide() {
  DownLoadDlg->hide();
  endRunningStatus();
}

void TForm1::syncShow() {
  // The terminal's receive poll would take the bootloader's bytes.
  Timer2->stop();
  syncing_ = true;
  // Nothing logged yet in this wait. Assigned as a count and a character: GCC 12 with the
  // fortified library sees an overlapping copy in assigning the one-character literal.
  lastSyncFailure_.assign(1, '\n');
  SyncMessage->start();
  phase_ = SyncMessage->windowTitle();
  phaseClock_.start();
  refreshRunningStatus();
  if (closeRequested_) {
    SyncMessage->hide();
    raiseStopFlags();
    return;
  }
  // The board's reset and bootloader-entry pins, where they hang on DTR and RTS.
  runResetSequence();
}

bool TForm1::syncCancelled() { return SyncMessage->cancelled(); }

void TForm1::syncHide() {
  syncing_ = false;
  SyncMessage->hide();
  endRunningStatus();
}

void TForm1::repaintView(isp::View view) { viewOf(view)->Invalidate(); }

void TForm1::setCurrentLine(isp::View view, int line) { viewOf(view)->SetCurrentLine(line); }

void TForm1::loadFinished(bool complete) {
  fileView->Invalidate();
  if (complete) {
    if (commandRunning_)
      reloadDuringCommand_ = true;  // applied when the command hands the menu back
    else
      MReload->setEnabled(true);
  }
  showPage(TabSheet1);
}

void TForm1::deviceField(isp::DeviceField field, const std::string& text) {
  if (QLabel* value = label(field)) value->setText(fromEngine(text));
  if (const std::string note = isp::deviceNote(field, text); !note.empty()) setPanel(2, fromEngine(note));
}

void TForm1::lockBoxes(bool lock0, bool lock1) {
  cbLock0->setChecked(lock0);
  cblock1->setChecked(lock1);
}

isp::BootChoice TForm1::bootChoice() {
  return {cbLock0->isChecked(), cblock1->isChecked(), cbBLJB->isChecked()};
}

}  // namespace velkorn::ui
