#pragma once
// The debug window: one memo that collects every record sent, every reply and the start
// line of each chip operation. It lives from start-up to exit; lines accumulate while it is
// hidden, and a double click empties it.
#include <QStringList>
#include <QWidget>

class QPlainTextEdit;

namespace velkorn::ui {

class TDbgFrm : public QWidget {
  Q_OBJECT
 public:
  explicit TDbgFrm(QWidget* parent = nullptr);

  // Appends one line at the end of the log.
  void append(const QString& line);
  // All lines of the log, in order.
  QStringList lines() const;
  QPlainTextEdit* memo() const { return Memo1; }

  void Memo1DblClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPlainTextEdit* Memo1 = nullptr;
};

}  // namespace velkorn::ui
