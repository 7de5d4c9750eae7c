// The main window's chip commands and what their outcomes show (the closing boxes, the
// tab changes, the hand-back to the terminal).
#include <QAction>
#include <QScopeGuard>

#include "image/failures.h"
#include "ui/dialogs.h"
#include "ui/hexdump.h"
#include "ui/mainform.h"
#include "ui/read_note.h"

namespace velkorn::ui {

namespace {

using isp::OutcomeKind;
using isp::Step;

QString fromEngine(const std::string& text) { return QString::fromStdString(text); }

constexpr const char* kSuccessText = "completed successfully";

}  // namespace

void TForm1::LoadFile1Click() {
  runCommand([this] {
    const isp::Outcome loaded = engine_.loadHexFile();
    report(loaded);
    rememberLoadedFile(loaded);
  });
}

bool TForm1::loadHexFileNamed(const QString& path) {
  if (commandRunning_ || engine_.busy() || !menu_.LoadFile1->isEnabled()) return false;
  operator_.chooseFile(path);
  LoadFile1Click();
  operator_.chooseFile(std::nullopt);
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
    operator_.setEraseRunning(true);
    isp::Outcome erased;
    {
      const auto over = qScopeGuard([this] { operator_.setEraseRunning(false); });
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

void TForm1::fileLoadFinished(bool complete) {
  fileView->Invalidate();
  if (complete) {
    if (commandRunning_)
      reloadDuringCommand_ = true;  // applied when the command hands the menu back
    else
      menu_.MReload->setEnabled(true);
  }
  showPage(TabSheet1);
}

}  // namespace velkorn::ui
