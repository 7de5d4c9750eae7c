#include "ui/text_export.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>

#include "file/atomic_file.h"

namespace velkorn::ui {

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
  // Written beside and renamed into place: a failed save never leaves half a file.
  if (const Status written = file::replaceFile(name->toStdString(), text.toStdString()); !written)
    report_(QStringLiteral("Unable to save %1: %2").arg(*name, QString::fromStdString(written.message())));
}

QMenu* TextExport::contextMenu() {
  QMenu* menu = memo_->createStandardContextMenu();
  menu->addSeparator();
  menu->addAction(QStringLiteral("Copy &all"), this, &TextExport::copyAll);
  menu->addAction(QStringLiteral("&Save..."), this, &TextExport::save);
  return menu;
}

}  // namespace velkorn::ui
