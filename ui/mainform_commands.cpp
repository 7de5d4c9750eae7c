// The main window's chip commands and what their outcomes show (the closing boxes, the
// tab changes, the hand-back to the terminal).
#include <QAction>
#include <QScopeGuard>

#include "ui/dialogs.h"
#include "ui/hexdump.h"
#include "ui/mainform.h"
#include "ui/outcome_policy.h"
#include "ui/read_note.h"

namespace velkorn::ui {

void TForm1::LoadFile1Click() {
  runCommand([this] {
    const isp::Outcome loaded = engine_.loadHexFile();
    report(Command::LoadFile, loaded);
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
    report(Command::ReadChip, engine_.readChip({true, kReadRetries, !memory_.wholeChip()}));
  });
}

void TForm1::CompareFileClick() {
  runChipCommand([this] {
    if (!engine_.images().fileLoaded) {
      report(Command::LoadFile, engine_.loadHexFile());
      if (!engine_.images().fileLoaded) return;
    }
    showPage(TabSheet2);
    report(Command::VerifyFile, engine_.verify(isp::Asking::Operator, verification()));
  });
}

void TForm1::MProgClick() {
  runChipCommand([this] { report(Command::Program, engine_.program(isp::Asking::Operator, verification())); });
}

void TForm1::MReloadClick() { runChipCommand([this] { report(Command::Reload, engine_.reload(verification())); }); }

void TForm1::MBSBClick() { runChipCommand([this] { report(Command::BootConfig, engine_.writeBootConfig()); }); }

void TForm1::MEraseClick() {
  runChipCommand([this] {
    // The erase answer can take 30 s: its wait gets the progress window (setBusyCursor).
    operator_.setEraseRunning(true);
    isp::Outcome erased;
    {
      const auto over = qScopeGuard([this] { operator_.setEraseRunning(false); });
      erased = engine_.erase();
    }
    report(Command::Erase, erased);  // a refused erase has no box of its own
    if (!erased.done()) return;
    engine_.images().chipImage.fill(kErasedByte);
    engine_.images().chipRead.set();  // an erased chip is known everywhere
    chipView->SetCurrentLine(0);
  });
}

isp::Verification TForm1::verification() const {
  return memory_.wholeChip() ? isp::Verification::WholeChip : isp::Verification::DataOnly;
}

void TForm1::BitBtn1Click() { runChipCommand([this] { report(Command::Sync, engine_.sync()); }); }

void TForm1::GroupBox1DblClick() {
  runChipCommand([this] { report(Command::DeviceInfo, engine_.readDeviceInfo(false)); });
}

void TForm1::report(Command command, const isp::Outcome& outcome) {
  const MemoryImages& images = engine_.images();
  const Closing closing = closingOf(command, outcome, readCoverageNote(images.chipRead, images.chipSize));
  if (closing.lineLost) {
    lineLostDuringCommand_ = closing.lineLost;
    return;
  }
  if (closing.result) noteResult(*closing.result);
  if (closing.errorBox) ShowError(*closing.errorBox, false);
  if (closing.successBox) dialogs_.message(closing.successBox->caption, closing.successBox->text);
  if (closing.handBack) handBack();
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
