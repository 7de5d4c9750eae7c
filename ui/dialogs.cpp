#include "ui/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace velkorn::ui {

isp::Button QtDialogs::error(QWidget* owner, const QString& text, bool cancellable) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text,
                  cancellable ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok, owner);
  box.setDefaultButton(QMessageBox::Ok);
  // Closing the box by its title bar counts as Cancel only where Cancel is offered.
  box.setEscapeButton(cancellable ? QMessageBox::Cancel : QMessageBox::Ok);
  return box.exec() == QMessageBox::Cancel ? isp::Button::Cancel : isp::Button::Ok;
}

void QtDialogs::information(QWidget* owner, const QString& title, const QString& text) {
  QMessageBox::information(owner, title, text, QMessageBox::Ok);
}

void QtDialogs::message(const QString& caption, const QString& text) {
  QMessageBox::information(nullptr, caption, text, QMessageBox::Ok);
}

bool QtDialogs::confirm(QWidget* owner, const QString& caption, const QString& text) {
  return QMessageBox::question(owner, caption, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::Yes) == QMessageBox::Yes;
}

std::optional<QString> QtDialogs::openHexFile(QWidget* owner, const QString& remembered) {
  QFileDialog dialog(owner, QString::fromLatin1(kOpenHexTitle), QString::fromLatin1(kOpenHexStartDir),
                     QString::fromLatin1(kOpenHexFilter));
  dialog.setFileMode(QFileDialog::ExistingFile);  // an existing file in an existing path
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setDefaultSuffix(QString::fromLatin1(kOpenHexSuffix));
  dialog.setOption(QFileDialog::ReadOnly, false);
  if (!remembered.isEmpty()) {
    const QFileInfo info(remembered);
    if (info.dir().exists()) dialog.setDirectory(info.dir());
    dialog.selectFile(info.fileName());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front();
}

std::optional<QFont> QtDialogs::chooseFont(QWidget* owner, const QFont& current) {
  bool ok = false;
  const QFont font = QFontDialog::getFont(&ok, current, owner);
  if (!ok) return std::nullopt;
  return font;
}

void Dialogs::beep() { QApplication::beep(); }

void QtDialogs::connectFailed(const QString& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("ERROR"), text, QMessageBox::Ok);
  box.exec();
}

std::optional<SaveTarget> QtDialogs::saveChipFile(QWidget* owner, const QString& suggested) {
  const QString hex = QString::fromLatin1(kSaveHexFilter);
  const QString binary = QString::fromLatin1(kSaveBinaryFilter);
  QFileDialog dialog(owner, QStringLiteral("Save Chip As"), QString::fromLatin1(kOpenHexStartDir),
                     hex + QStringLiteral(";;") + binary);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // A name typed without an extension gets the chosen filter's.
  dialog.setDefaultSuffix(QStringLiteral("hex"));
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, binary](const QString& filter) {
    dialog.setDefaultSuffix(filter == binary ? QStringLiteral("bin") : QStringLiteral("hex"));
  });
  if (!suggested.isEmpty()) {
    const QFileInfo info(suggested);
    if (info.dir().exists()) dialog.setDirectory(info.dir());
    dialog.selectFile(info.fileName());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return SaveTarget{dialog.selectedFiles().front(), dialog.selectedNameFilter() == binary};
}

std::optional<QString> QtDialogs::askText(QWidget* owner, const QString& title, const QString& label,
                                         const QString& text) {
  bool ok = false;
  const QString answer = QInputDialog::getText(owner, title, label, QLineEdit::Normal, text, &ok);
  if (!ok) return std::nullopt;
  return answer;
}

isp::Button DialogsGate::error(QWidget* owner, const QString& text, bool cancellable) {
  if (shut_) return cancellable ? isp::Button::Cancel : isp::Button::Ok;
  return inner_.error(owner, text, cancellable);
}

void DialogsGate::information(QWidget* owner, const QString& title, const QString& text) {
  if (!shut_) inner_.information(owner, title, text);
}

void DialogsGate::message(const QString& caption, const QString& text) {
  if (!shut_) inner_.message(caption, text);
}

bool DialogsGate::confirm(QWidget* owner, const QString& caption, const QString& text) {
  return !shut_ && inner_.confirm(owner, caption, text);
}

std::optional<QString> DialogsGate::openHexFile(QWidget* owner, const QString& remembered) {
  if (shut_) return std::nullopt;
  return inner_.openHexFile(owner, remembered);
}

std::optional<QFont> DialogsGate::chooseFont(QWidget* owner, const QFont& current) {
  if (shut_) return std::nullopt;
  return inner_.chooseFont(owner, current);
}

// Not a box: the key that sounds it was pressed now.
void DialogsGate::beep() { inner_.beep(); }

void DialogsGate::connectFailed(const QString& text) {
  if (!shut_) inner_.connectFailed(text);
}

std::optional<SaveTarget> DialogsGate::saveChipFile(QWidget* owner, const QString& suggested) {
  if (shut_) return std::nullopt;
  return inner_.saveChipFile(owner, suggested);
}

std::optional<QString> DialogsGate::askText(QWidget* owner, const QString& title, const QString& label,
                                           const QString& text) {
  if (shut_) return std::nullopt;
  return inner_.askText(owner, title, label, text);
}

}  // namespace velkorn::ui
