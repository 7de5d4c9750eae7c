#pragma once
// The "&Terminal" tab: six hot-key buttons that send their caption as a command line, a
// cyclic sender with a rolling three-digit counter, a memo in which typed characters go out
// one by one and received text is shown line by line, and the echo-back switch.
//
// The widget does no port handling of its own: it reaches the open serial port or the
// connected socket through TerminalLink, which the main window implements. The main window
// also owns the 200 ms receive poll (Timer2) and connects it to Timer2Timer.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <QFont>
#include <QString>
#include <QWidget>

#include "file/settings_file.h"
#include "link/serial_port.h"

class QCheckBox;
class QTextCursor;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
class QToolBar;
class QToolButton;

namespace velkorn::isp {
class Clock;
}

namespace velkorn::ui {

class TextExport;

class TerminalLink {
 public:
  virtual ~TerminalLink() = default;
  virtual bool serialOpen() const = 0;                       // the serial handle is not none
  virtual void serialWrite(std::string_view bytes) = 0;      // WriteLinkBytes, result unchecked
  virtual link::ReadResult serialReadByte() = 0;             // ReadLinkByte
  virtual bool socketConnected() const = 0;                  // sock.Connected
  virtual void socketWrite(const std::string& text) = 0;     // sock.Write (may throw)
  virtual std::string socketRead() = 0;                      // sock.Read(0)
  virtual bool linkBusy() const = 0;   // a chip operation or HEX load owns the link
};

// A received line longer than this is shown as several memo lines of at most this many
// bytes each (the bytes themselves are untouched): laying out one very long line costs the
// memo far more than its length.
inline constexpr std::size_t kDisplayPieceBytes = 4096;
// Received lines shown per turn of the event loop; the rest follows on the next turns, so
// a flood or a huge line never holds the window.
inline constexpr std::size_t kDisplayBytesPerTurn = 64 * 1024;

// The terminal keeps the last this many characters of text: the memo drops its oldest lines
// past it, and received bytes that would only scroll out at once (a flood faster than the
// memo can draw, a line that never ends) are dropped before they are shown. A module that
// streams for hours would otherwise fill the memory. The bytes on the wire, the echo
// included, are untouched.
inline constexpr std::size_t kKeptTextChars = 4 * 1024 * 1024;
// The memo also keeps at most this many lines: each line costs the memo far more than
// its characters.
inline constexpr int kKeptLines = 100000;

// Received text of a line not yet ended is shown once it is this old, or at once when it
// reaches kDisplayPieceBytes: a prompt or a progress row without a line feed would
// otherwise never appear. The line continues where it was shown when more of it arrives.
inline constexpr std::chrono::milliseconds kPartialLineDelay{100};

// One poll of the serial line takes at most this much, so that a target that streams
// without pause cannot hold the window; the rest waits for the next tick.
inline constexpr std::size_t kPollSliceBytes = 4096;
inline constexpr std::chrono::milliseconds kPollSliceTime{50};

// The counter that replaces the first "@" of a line runs 000 (once, after start), then
// 001 .. 999 and back to 001.
inline constexpr int kCycleCounterLast = 999;
inline constexpr int kCycleCounterRestart = 1;

// Line end of every command line sent.
inline constexpr std::string_view kLineEnd = "\r\n";

// How received and typed bytes appear in the memo. Text is 8-bit: bytes 0x20..0x7E and
// 0xA0..0xFF are their Latin-1 characters, TAB stays a TAB. Every other control byte
// (0x00..0x1F, 0x7F and the C1 range 0x80..0x9F) is shown as its value in hex between
// angle brackets ("<0D>", "<1B>"), which every font can draw; the memo draws these in a
// colour of their own, so they cannot be taken for the same four characters received as
// text, and none of them can cut, break or hide a line.
QString terminalDisplayText(std::string_view bytes);

// The line that SendTerminalLine puts on the wire for `text` (Latin-1) with the counter
// value `counter`, and whether the counter was used.
struct ExpandedLine {
  std::string bytes;
  bool counterUsed = false;
};
ExpandedLine expandTerminalLine(std::string_view text, int counter);

class TTerminal : public QWidget {
  Q_OBJECT

 public:
  // `link` must outlive the widget. `clock` (optional, for tests) times the poll slice;
  // without one the machine's monotonic clock is used.
  explicit TTerminal(TerminalLink& link, QWidget* parent = nullptr, isp::Clock* clock = nullptr);
  ~TTerminal() override;

  // Failures that end a handler (an invalid cycle interval, a socket write that fails) are
  // reported here as UTF-8 text, for the window's error box. Without a handler they go to
  // the Qt warning log.
  void setErrorHandler(std::function<void(const std::string&)> handler);

  // Sends one command line: the first "@" replaced by the counter, CR LF appended; to the
  // serial port when open, else to the socket when connected, else nowhere (the counter
  // advances all the same). Also used for F1..F6. While the link is busy (a chip operation
  // or a HEX load owns it) nothing is sent and the counter stays.
  void SendTerminalLine(const QString& text);

  // Received socket data: written back at once while the Echo box is ticked, then shown
  // line by line.
  void SockDataAvailable();
  // Moves the complete lines of the receive buffer into the memo (the first
  // kDisplayBytesPerTurn at once, the rest on the following turns of the event loop).
  void FlushReceivedLines();
  // Bytes of complete lines still waiting to be shown.
  std::size_t linesPending() const { return display_.size() - displayAt_; }
  // Shows what was received of the line not yet ended (a CR that may be the start of a
  // CR LF waits for the next byte). Run by partialLineTimer() once that text is
  // kPartialLineDelay old.
  void showPartialLine();
  QTimer* partialLineTimer() const { return partialTimer_; }
  // "Copy all" and "Save..." of the memo's context menu.
  TextExport* textExport() const { return export_; }

  // Hot-key buttons 0..5 (tbf1 .. tbF6); the caption is what the button and F1..F6 send.
  static constexpr int kHotKeyCount = file::kHotKeyCount;
  QString hotKeyCaption(int index) const;
  void setHotKeyCaption(int index, const QString& caption);

  QString cycleText() const;              // eCycleStr
  void setCycleText(const QString& text);
  QString cycleIntervalText() const;      // eCycle
  void setCycleIntervalText(const QString& text);

  QFont memoFont() const;
  void setMemoFont(const QFont& font);
  QPlainTextEdit* memo() const { return memo_; }

  int cycleCounter() const { return cycleCounter_; }
  const std::string& receiveBuffer() const { return receiveBuffer_; }
  bool echoEnabled() const;
  QTimer* cycleTimer() const { return timer1_; }

 public slots:
  void tbf1Click(int index);
  void tbCycleClick();
  void Timer1Timer();
  void Timer2Timer();
  void Memo1DblClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildWidgets();
  void connectWidgets();
  // Memo1KeyPress for one typed character (Latin-1).
  void Memo1KeyPress(char ch);
  void sendBytes(const std::string& bytes);
  // Shows up to kDisplayBytesPerTurn of the lines waiting in display_; asks for another
  // turn when some are left.
  void showPendingLines();
  // Drops what the terminal keeps beyond kKeptTextChars, oldest first.
  void boundKeptText();
  // Inserts bytes as the memo shows them (see terminalDisplayText) at the cursor.
  void insertDisplayed(QTextCursor& cursor, std::string_view bytes) const;
  void reportError(const std::string& text);
  std::uint32_t nowMs();

  TerminalLink& link_;
  isp::Clock* clock_;
  std::unique_ptr<isp::Clock> ownClock_;
  std::function<void(const std::string&)> errorHandler_;

  QToolBar* toolBar_ = nullptr;
  QToolButton* hotKeys_[kHotKeyCount] = {};
  QToolButton* tbCycle_ = nullptr;
  QLineEdit* eCycleStr_ = nullptr;
  QLineEdit* eCycle_ = nullptr;
  QCheckBox* cbEcho_ = nullptr;
  QPlainTextEdit* memo_ = nullptr;
  QTimer* timer1_ = nullptr;

  std::string receiveBuffer_;
  std::size_t scannedTo_ = 0;  // the receive buffer holds no LF before this
  // Complete received lines (CR of CR LF taken off), each ended by LF, waiting to be shown
  // from displayAt_ on.
  std::string display_;
  std::size_t displayAt_ = 0;
  QTimer* displayTimer_ = nullptr;
  QTimer* partialTimer_ = nullptr;
  // The memo's last line holds received text of a line that has not ended yet, and
  // openLineBytes_ bytes of it (counted towards kDisplayPieceBytes).
  bool lineOpen_ = false;
  std::size_t openLineBytes_ = 0;
  TextExport* export_ = nullptr;
  int cycleCounter_ = 0;
};

}  // namespace velkorn::ui
