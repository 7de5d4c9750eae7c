#include "ui/text_export.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSaveFile>

namespace velkorn::ui {

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) {
    *error = file.errorString();
    return false;
  }
  if (file.write(bytes) != bytes.size()) {
    *error = file.errorString();
    file.cancelWriting();
    return false;
  }
  if (!file.commit()) {
    *error = file.errorString();
    return false;
  }
  return true;
}

TextExport::TextExport(QPlainTextEdit* memo, QString suggestedName)
    : QObject(memo), memo_(memo), suggestedName_(std::move(suggestedName)) {
  askName_ = [](QWidget* owner, const QString& suggested) -> std::optional<QString> {
    const QString name = QFileDialog::getSaveFileName(owner, QStringLiteral("Save As"), suggested,
                                                      QStringLiteral("Text files (*.txt);;All files (*)"));
    if (name.isEmpty()) return std::nullopt;
    return name;
  };
  report_ = [memo](const QString& text) { QMessageBox::warning(memo->window(), QStringLiteral("Save"), text); };
  memo_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(memo_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu* menu = contextMenu();
    menu->exec(memo_->viewport()->mapToGlobal(at));
    delete menu;
  });
}

void TextExport::copyAll() { QGuiApplication::clipboard()->setText(memo_->toPlainText()); }

void TextExport::save() {
  const std::optional<QString> name = askName_(memo_->window(), suggestedName_);
  if (!name || name->isEmpty()) return;
  QString text = memo_->toPlainText();
  if (!text.isEmpty() && !text.endsWith(QLatin1Char('\n'))) text += QLatin1Char('\n');
  QString error;
  if (!writeFileAtomically(*name, text.toUtf8(), &error))
    report_(QStringLiteral("Unable to save %1: %2").arg(*name, error));
}

QMenu* TextExport::contextMenu() {
  QMenu* menu = memo_->createStandardContextMenu();
  menu->addSeparator();
  menu->addAction(QStringLiteral("Copy &all"), this, &TextExport::copyAll);
  menu->addAction(QStringLiteral("&Save..."), this, &TextExport::save);
  return menu;
}

}  // namespace velkorn::ui
