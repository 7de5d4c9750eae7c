// What the main window remembers between runs (the HEX files last loaded, the COM entry
// last opened) and "Save Chip As...", which writes what the last read got to a file.
#include <QAction>
#include <QFileInfo>
#include <QMenu>

#include "file/atomic_file.h"
#include "image/hex_writer.h"
#include "ui/mainform.h"
#include "ui/read_note.h"

namespace velkorn::ui {

namespace {

QString hexAddress(int address) { return QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper(); }

// What the binary file would lack: where the last read stopped, or what it missed.
QString missingBytes(const ReadCoverage& c) {
  if (!c.readPast) return QStringLiteral("stopped at %1 (%2 bytes not read)").arg(hexAddress(c.first)).arg(c.missing);
  return QStringLiteral("missed %1 bytes, the first at %2").arg(c.missing).arg(hexAddress(c.first));
}

}  // namespace

void TForm1::startMemory() {
  memory_.load();
  startBootloaderBox();
  refreshRecentMenu();
  refreshSaveChip();
  reopenLastPort();
}

void TForm1::refreshRecentMenu() {
  // The entry that was picked may be the one whose load ends here: it goes when the event
  // loop next turns.
  for (QAction* old : menu_.Recent->actions()) {
    menu_.Recent->removeAction(old);
    old->deleteLater();
  }
  const QStringList& files = memory_.recentFiles();
  if (files.isEmpty()) {
    menu_.Recent->addAction(QStringLiteral("(none)"))->setEnabled(false);
    return;
  }
  for (int i = 0; i < files.size(); ++i) {
    const QString path = files[i];
    QString name = QFileInfo(path).fileName();
    name.replace(QLatin1Char('&'), QStringLiteral("&&"));
    QAction* entry = menu_.Recent->addAction(QStringLiteral("&%1 %2").arg(i + 1).arg(name));
    entry->setToolTip(path);
    entry->setStatusTip(path);
    entry->setData(path);
    connect(entry, &QAction::triggered, this, [this, path] { guarded([&] { RecentFileClick(path); }); });
  }
}

void TForm1::RecentFileClick(const QString& path) {
  if (!loadHexFileNamed(path)) return;
  // The load has said that the file cannot be opened.
  if (!QFileInfo::exists(path)) {
    memory_.forgetRecentFile(path);
    refreshRecentMenu();
  }
}

void TForm1::rememberLoadedFile(const isp::Outcome& loaded) {
  if (!loaded.done() || !engine_.images().fileLoaded) return;
  memory_.addRecentFile(QString::fromStdString(engine_.hexFileName));
  refreshRecentMenu();
}

void TForm1::refreshSaveChip() { menu_.SaveChip->setEnabled(engine_.images().chipRead.any()); }

void TForm1::rememberLine() {
  const LineState line = lines_.state();
  memory_.setLastPort(line.kind == LineKind::Serial ? line.entry : 0);
}

void TForm1::reopenLastPort() {
  const int n = memory_.lastPort();
  if (n == 0 || !lines_.probe(n).opened) return;
  // The port may still go between the probe and the open: then quietly, without a box.
  const bool shut = gate_.isShut();
  gate_.shut(true);
  COM11Click(menu_.comEntry(n));
  gate_.shut(shut);
}

void TForm1::SaveChipClick() {
  if (commandRunning_ || engine_.busy() || !menu_.SaveChip->isEnabled()) return;
  const std::optional<SaveTarget> target = dialogs_.saveChipFile(this, lastSaved_);
  if (!target || target->path.isEmpty()) return;
  const QString& path = target->path;
  const QString name = QFileInfo(path).fileName();
  const MemoryImages& images = engine_.images();
  // The extension decides; a name without either takes the chosen filter's.
  const bool binary = file::isBinaryName(path.toStdString()) ||
                      (target->binaryFilter && !path.endsWith(QStringLiteral(".hex"), Qt::CaseInsensitive));
  std::string text;
  if (binary) {
    const ReadCoverage coverage = readCoverage(images.chipRead, images.chipSize);
    if (coverage.first >= 0) {
      noteResult(QStringLiteral("Not saved: read incomplete"));
      const QString box =
          QStringLiteral("%1 was not saved: a binary file holds the whole chip, and the last read %2.\n"
                         "Save as Intel HEX (.hex) to keep just what was read.")
              .arg(name, missingBytes(coverage));
      dialogs_.information(this, QString::fromLatin1(kProgramTitle), box);
      return;
    }
    text.assign(reinterpret_cast<const char*>(images.chipImage.data()), static_cast<std::size_t>(images.chipSize));
  } else {
    text = writeIntelHex(images.chipImage.data(), images.chipSize, images.chipRead);
  }
  if (const Status written = file::replaceFile(path.toStdString(), text); !written) {
    const QString reason = QString::fromStdString(written.message());
    noteResult(QStringLiteral("Not saved: ") + reason);
    dialogs_.error(this, QStringLiteral("Can not save %1: %2").arg(path, reason), false);
    return;
  }
  lastSaved_ = path;
  noteResult(QStringLiteral("Saved ") + name);
}

}  // namespace velkorn::ui
