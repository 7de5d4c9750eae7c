#pragma once
// The debug window: one memo that collects every record sent, every reply and the start
// line of each chip operation. It lives from start-up to exit; lines accumulate while it is
// hidden, and a double click empties it. It scrolls, follows the newest line unless the
// operator has scrolled up to read, and its context menu copies or saves the whole log.
#include <QStringList>
#include <QWidget>

class QPlainTextEdit;

namespace velkorn::ui {

class TextExport;

// Lines the debug log keeps; the oldest go first. A session of many chips would otherwise
// grow the log without end.
inline constexpr int kDebugLogLines = 100000;

class TDbgFrm : public QWidget {
  Q_OBJECT
 public:
  explicit TDbgFrm(QWidget* parent = nullptr);

  // Appends one line at the end of the log.
  void append(const QString& line);
  // All lines of the log, in order.
  QStringList lines() const;
  QPlainTextEdit* memo() const { return Memo1; }
  TextExport* textExport() const { return export_; }

  void Memo1DblClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void scrollToNewest();
  // Shrinks and moves the window onto its screen's free area: its size is made for a large
  // screen at scale factor 1.
  void fitOnScreen();

  QPlainTextEdit* Memo1 = nullptr;
  TextExport* export_ = nullptr;
};

}  // namespace velkorn::ui
