#pragma once
// "Copy all" and "Save..." for a memo whose text the operator may want to keep (the
// terminal, the debug log), offered in the memo's context menu beside its own entries.
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class QMenu;
class QPlainTextEdit;
class QWidget;

namespace velkorn::ui {

class TextExport final : public QObject {
  Q_OBJECT
 public:
  // The file name to save to, starting from `suggested`; nullopt when cancelled.
  using AskName = std::function<std::optional<QString>(QWidget* owner, const QString& suggested)>;
  // A save that failed, as a sentence for the operator.
  using Report = std::function<void(const QString& text)>;

  TextExport(QPlainTextEdit* memo, QString suggestedName);

  void setAskName(AskName ask) { askName_ = std::move(ask); }
  void setReport(Report report) { report_ = std::move(report); }

  void copyAll();
  // Asks for a name and writes the memo's text there as UTF-8, ending in a line feed.
  void save();
  // The memo's context menu with "Copy all" and "Save..." added; the caller owns it.
  QMenu* contextMenu();

 private:
  QPlainTextEdit* memo_;
  QString suggestedName_;
  AskName askName_;
  Report report_;
};

}  // namespace velkorn::ui
