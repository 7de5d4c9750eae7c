#include "ui/window_operator.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <utility>

#include "isp/device_facts.h"
#include "ui/debug_window.h"
#include "ui/device_tab.h"
#include "ui/dialogs.h"
#include "ui/download_window.h"
#include "ui/hexdump.h"
#include "ui/program_title.h"
#include "ui/sync_window.h"

namespace velkorn::ui {

namespace {

QString fromEngine(const std::string& text) { return QString::fromStdString(text); }

// How often a running command lets pending messages run at most.
constexpr qint64 kEngineEventSliceMs = 10;
// The pause after a failed write in the synchronisation loop, as after a failed read.
constexpr int kSyncFailurePauseMs = 200;

}  // namespace

WindowOperator::WindowOperator(Dialogs& dialogs, QWidget* owner, DeviceTab& device)
    : dialogs_(dialogs), owner_(owner), device_(device) {}

WindowOperator::~WindowOperator() {
  if (busyCursor_) QApplication::restoreOverrideCursor();
}

void WindowOperator::createWindows(isp::StopFlag* abort) {
  abort_ = abort;
  SyncMessage = new TSyncMessage(owner_);
  DownLoadDlg = new TDownLoadDlg(abort, owner_);
}

void WindowOperator::createDebugWindow() { DbgFrm = new TDbgFrm(owner_); }

void WindowOperator::showDebugWindow() {
  DbgFrm->show();
  DbgFrm->raise();
}

void WindowOperator::raiseStopFlags() {
  if (abort_) abort_->raise();
  if (SyncMessage) SyncMessage->BitBtn1Click();
}

QString WindowOperator::stepStatus() {
  // Between two steps (a box, the question before erasing) nothing runs that could be shown.
  if (!DownLoadDlg || phase_.isEmpty()) return {};
  const QProgressBar* bar = DownLoadDlg->progressBar();
  const bool shown = DownLoadDlg->isVisible();
  if (shown && bar->maximum() > 0 && bar->value() > 0)
    return QStringLiteral("%1 %2%").arg(phase_).arg(static_cast<int>(qint64{bar->value()} * 100 / bar->maximum()));
  // A step that moves no bar (the erase answer, a synchronisation) shows that it works.
  const auto seconds = static_cast<int>(phaseClock_.elapsed() / 1000);
  if (shown && seconds > 0) DownLoadDlg->showElapsed(seconds);
  return seconds > 0 ? QStringLiteral("%1 %2 s").arg(phase_).arg(seconds) : phase_;
}

void WindowOperator::beginStep(const QString& caption) {
  phase_ = caption;
  phaseClock_.start();
  if (hooks_.stepChanged) hooks_.stepChanged();
}

void WindowOperator::pauseInSync(int ms) {
  QEventLoop pause;
  QTimer::singleShot(ms, &pause, &QEventLoop::quit);
  QObject::connect(SyncMessage, &TSyncMessage::cancelRaised, &pause, &QEventLoop::quit);
  pause.exec();
}

void WindowOperator::syncStatus(const QString& text) { SyncMessage->setStatus(text); }

isp::Button WindowOperator::showError(const std::string& text, bool cancellable) {
  if (syncing_ && !cancellable) {
    syncLineFailed(text);
    return isp::Button::Ok;
  }
  // The engine raises the download abort flag itself on Cancel.
  return dialogs_.error(owner_, fromEngine(text), cancellable);
}

void WindowOperator::syncLineFailed(const std::string& text) {
  // A modal box per attempt would keep Cancel out of reach until the minute is over: the
  // text goes onto the waiting window, and the system's reason into the debug log once
  // per change.
  SyncMessage->setStatus(fromEngine(text));
  if (lineFailure_ != lastSyncFailure_) {
    lastSyncFailure_ = lineFailure_;
    debugLog(text + ": " + (lineFailure_.empty() ? std::string("no reason given") : lineFailure_));
  }
  // A dead line fails at once; the next attempt waits a little, with Cancel served.
  if (SyncMessage->cancelled()) return;
  pauseInSync(kSyncFailurePauseMs);
}

void WindowOperator::showNotice(const std::string& text) {
  dialogs_.information(owner_, QString::fromLatin1(kProgramTitle), fromEngine(text));
}

bool WindowOperator::askYesNo(const std::string& caption, const std::string& text) {
  return dialogs_.confirm(owner_, fromEngine(caption), fromEngine(text));
}

std::optional<std::string> WindowOperator::askHexFileName(const std::string& remembered) {
  if (chosenFile_) return std::exchange(chosenFile_, std::nullopt)->toStdString();
  const auto name = dialogs_.openHexFile(owner_, fromEngine(remembered));
  if (!name) return std::nullopt;
  return name->toStdString();
}

void WindowOperator::debugLog(const std::string& line) {
  // A reply's CR LF pairs would show as empty lines in the memo.
  QString text = fromEngine(line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  if (DbgFrm) DbgFrm->append(text);
}

void WindowOperator::processEvents() {
  // Each phase of a command lowers the abort flag before its loop: a close request keeps
  // raising it until the command has returned.
  if (closing_) raiseStopFlags();
  // A HEX load asks once per line; letting the queue run that often would cost far more
  // than the lines themselves. Abort, Cancel, timers and repaints are still served every
  // few milliseconds.
  if (sinceEvents_.isValid() && sinceEvents_.elapsed() < kEngineEventSliceMs) return;
  QCoreApplication::processEvents();
  sinceEvents_.start();
  if (closing_) raiseStopFlags();
}

void WindowOperator::setBusyCursor(bool busy) {
  if (busy == busyCursor_) return;
  busyCursor_ = busy;
  // "Full Chip &Erase" waits for its answer behind the busy cursor: the progress window
  // shows the time it has run, and its Abort (or Escape) ends the wait.
  if (eraseRunning_ && busy && !DownLoadDlg->isVisible()) progressShow("Erasing...", 0);
  if (eraseRunning_ && !busy) progressHide();
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void WindowOperator::progressShow(const std::string& caption, int maximum) {
  DownLoadDlg->setWindowTitle(fromEngine(caption));
  DownLoadDlg->progressBar()->setRange(0, maximum);
  DownLoadDlg->progressBar()->setValue(0);
  DownLoadDlg->showFigures(QString(), DownLoadDlg->rateLabel()->text());  // a step's elapsed time is gone
  beginStep(fromEngine(caption));
  // A window that is closing starts nothing new, and shows nothing new.
  if (closing_) {
    raiseStopFlags();
    return;
  }
  DownLoadDlg->show();
}

void WindowOperator::progressCaption(const std::string& caption) {
  DownLoadDlg->setWindowTitle(fromEngine(caption));
  beginStep(fromEngine(caption));
}

void WindowOperator::progressPosition(int position) {
  DownLoadDlg->progressBar()->setValue(position);
  if (hooks_.stepChanged) hooks_.stepChanged();
}

void WindowOperator::progressFigures(const std::string& timeLeft, const std::string& bytesPerSecond) {
  DownLoadDlg->showFigures(fromEngine(timeLeft), fromEngine(bytesPerSecond));
}

void WindowOperator::progressHide() {
  DownLoadDlg->hide();
  endStep();
  if (hooks_.stepEnded) hooks_.stepEnded();
}

void WindowOperator::syncShow() {
  if (hooks_.syncStarts) hooks_.syncStarts();
  syncing_ = true;
  // Nothing logged yet in this wait. Assigned as a count and a character: GCC 12 with the
  // fortified library sees an overlapping copy in assigning the one-character literal.
  lastSyncFailure_.assign(1, '\n');
  SyncMessage->start();
  beginStep(SyncMessage->windowTitle());
  if (closing_) {
    SyncMessage->hide();
    raiseStopFlags();
    return;
  }
  if (hooks_.resetBoard) hooks_.resetBoard();
}

bool WindowOperator::syncCancelled() { return SyncMessage->cancelled(); }

void WindowOperator::syncHide() {
  syncing_ = false;
  SyncMessage->hide();
  endStep();
  if (hooks_.stepEnded) hooks_.stepEnded();
}

void WindowOperator::repaintView(isp::View view) {
  if (hooks_.view) hooks_.view(view)->Invalidate();
}

void WindowOperator::setCurrentLine(isp::View view, int line) {
  if (hooks_.view) hooks_.view(view)->SetCurrentLine(line);
}

void WindowOperator::loadFinished(bool complete) {
  if (hooks_.loadFinished) hooks_.loadFinished(complete);
}

void WindowOperator::deviceField(isp::DeviceField field, const std::string& text) {
  if (QLabel* value = device_.label(field)) value->setText(fromEngine(text));
  const std::string note = isp::deviceNote(field, text);
  if (!note.empty() && hooks_.deviceNote) hooks_.deviceNote(fromEngine(note));
}

void WindowOperator::lockBoxes(bool lock0, bool lock1) {
  device_.cbLock0->setChecked(lock0);
  device_.cblock1->setChecked(lock1);
}

isp::BootChoice WindowOperator::bootChoice() {
  return {device_.cbLock0->isChecked(), device_.cblock1->isChecked(), device_.cbBLJB->isChecked()};
}

}  // namespace velkorn::ui
