#include "ui/terminal.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>

#include <QCheckBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "image/failures.h"
#include "isp/clock.h"
#include "ui/latin1.h"
#include "ui/text_export.h"

namespace velkorn::ui {

namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kTab = '\t';
constexpr char kCounterMark = '@';

// Start-up state of the tab.
constexpr int kHotKeyWidthPx = 71;
constexpr int kCycleTextWidthPx = 121;
constexpr int kCycleIntervalWidthPx = 50;
constexpr int kTimer1InitialMs = 1000;
const char* const kHotKeyNames[TTerminal::kHotKeyCount] = {"tbf1", "tbF2", "TbF3",
                                                           "tbF4", "tbF5", "tbF6"};

// A tool bar that never hides a control behind its overflow button: its smallest size is
// its whole row, so the window cannot be made narrower than that. Only on a screen too
// narrow for the row (a small screen at scale factor 2) does the row give way to the
// overflow button: the window must fit on its screen.
class WholeToolBar final : public QToolBar {
 public:
  using QToolBar::QToolBar;
  QSize minimumSizeHint() const override {
    QSize whole = sizeHint();
    if (const QScreen* shownOn = screen()) {
      const int room = shownOn->availableGeometry().width() - kScreenRoomPx;
      if (whole.width() > room) whole.setWidth(std::max(room, QToolBar::minimumSizeHint().width()));
    }
    return whole;
  }

 private:
  // What the window's frame and the tab around the row take of the screen's width.
  static constexpr int kScreenRoomPx = 48;
};

bool isControlByte(unsigned char byte) {
  return (byte < 0x20 && byte != static_cast<unsigned char>(kTab)) || (byte >= 0x7F && byte < 0xA0);
}

// "<0D>" for a control byte.
QString controlText(unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const char text[] = {'<', kHex[byte >> 4], kHex[byte & 0xF], '>'};
  return QString::fromLatin1(text, 4);
}

QTextCharFormat controlFormat() {
  QTextCharFormat format;
  format.setForeground(QColor(0x00, 0x00, 0xA0));
  format.setBackground(QColor(0xE4, 0xE4, 0xF0));
  return format;
}

// The interval of the cyclic sender is made of every decimal digit of the box, in order;
// no digit, or a number past the signed 32-bit range, is an invalid integer.
struct IntervalDigits {
  std::string digits;
  bool valid = false;
  int value = 0;
};

IntervalDigits collectIntervalDigits(const QString& text) {
  IntervalDigits out;
  std::int64_t value = 0;
  bool overflow = false;
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if (u < u'0' || u > u'9') continue;
    out.digits.push_back(static_cast<char>(u));
    value = value * 10 + (u - u'0');
    if (value > std::numeric_limits<std::int32_t>::max()) {
      overflow = true;
      value = 0;  // keeps the arithmetic in range; the text is reported anyway
    }
  }
  out.valid = !out.digits.empty() && !overflow;
  out.value = out.valid ? static_cast<int>(value) : 0;
  return out;
}

}  // namespace

QString terminalDisplayText(std::string_view bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(bytes.size()));
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (isControlByte(byte))
      out.append(controlText(byte));
    else
      out.append(QChar(char16_t{byte}));
  }
  return out;
}

ExpandedLine expandTerminalLine(std::string_view text, int counter) {
  ExpandedLine out;
  out.bytes.assign(text);
  const std::size_t mark = out.bytes.find(kCounterMark);
  if (mark != std::string::npos) {
    const std::string digits = std::to_string(counter);
    const std::string padded = std::string(digits.size() < 3 ? 3 - digits.size() : 0, '0') + digits;
    out.bytes.replace(mark, 1, padded);
    out.counterUsed = true;
  }
  out.bytes.append(kLineEnd);
  return out;
}

TTerminal::TTerminal(TerminalLink& link, QWidget* parent, isp::Clock* clock)
    : QWidget(parent), link_(link), clock_(clock) {
  if (clock_ == nullptr) {
    ownClock_ = std::make_unique<isp::SystemClock>();
    clock_ = ownClock_.get();
  }
  buildWidgets();
  connectWidgets();
}

TTerminal::~TTerminal() = default;

void TTerminal::buildWidgets() {
  setObjectName("TabSheet3Content");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  toolBar_ = new WholeToolBar(this);
  toolBar_->setObjectName("ToolBar1");
  toolBar_->setMovable(false);
  // What a missing settings file leaves: the captions, the cyclic sender and the font.
  const file::Settings defaults;
  for (int i = 0; i < kHotKeyCount; ++i) {
    auto* button = new QToolButton(toolBar_);
    button->setObjectName(kHotKeyNames[i]);
    button->setText(QString::fromStdString(defaults.captions[static_cast<std::size_t>(i)]));
    // At least the usual width; a longer caption ("DOWNLOAD" in a larger font) widens its
    // button instead of being cut.
    button->setMinimumWidth(kHotKeyWidthPx);
    button->setFocusPolicy(Qt::NoFocus);
    toolBar_->addWidget(button);
    // Framed like push buttons: a flat tool button with an empty caption cannot be seen.
    // Text only, so that an empty caption keeps the height of the others.
    button->setAutoRaise(false);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    hotKeys_[i] = button;
  }
  toolBar_->addSeparator();

  tbCycle_ = new QToolButton(toolBar_);
  tbCycle_->setObjectName("tbCycle");
  tbCycle_->setText("Cylce");
  tbCycle_->setCheckable(true);
  tbCycle_->setChecked(false);
  tbCycle_->setFocusPolicy(Qt::NoFocus);
  toolBar_->addWidget(tbCycle_);
  tbCycle_->setAutoRaise(false);
  tbCycle_->setToolButtonStyle(Qt::ToolButtonTextOnly);

  eCycleStr_ = new QLineEdit(QString::fromStdString(defaults.cycleStr), toolBar_);
  eCycleStr_->setObjectName("eCycleStr");
  eCycleStr_->setFixedWidth(kCycleTextWidthPx);
  toolBar_->addWidget(eCycleStr_);

  eCycle_ = new QLineEdit(QString::fromStdString(defaults.cycle), toolBar_);
  eCycle_->setObjectName("eCycle");
  eCycle_->setFixedWidth(kCycleIntervalWidthPx);
  toolBar_->addWidget(eCycle_);
  toolBar_->addSeparator();

  cbEcho_ = new QCheckBox("Ech&o", toolBar_);
  cbEcho_->setObjectName("cbEcho");
  cbEcho_->setChecked(true);
  toolBar_->addWidget(cbEcho_);
  layout->addWidget(toolBar_);

  memo_ = new QPlainTextEdit(this);
  memo_->setObjectName("Memo1");
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Typed keys never edit the memo themselves (they are sent and appended by the key
  // handler); read-only also keeps paste and drops out, while the caret and selection stay.
  memo_->setReadOnly(true);
  memo_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  memo_->setUndoRedoEnabled(false);
  memo_->setMaximumBlockCount(kKeptLines);
  // "Courier New" 11 pixels high: 8 points at 96 dpi. Kept in points, the unit the settings
  // file stores, so that the font survives a save and load unchanged.
  QFont font(QString::fromStdString(defaults.fontName), defaults.fontSize);
  font.setStyleHint(QFont::TypeWriter);
  memo_->setFont(font);
  memo_->installEventFilter(this);
  memo_->viewport()->installEventFilter(this);
  layout->addWidget(memo_, 1);

  timer1_ = new QTimer(this);
  timer1_->setObjectName("Timer1");
  timer1_->setInterval(kTimer1InitialMs);

  displayTimer_ = new QTimer(this);
  displayTimer_->setSingleShot(true);
  displayTimer_->setInterval(0);

  partialTimer_ = new QTimer(this);
  partialTimer_->setSingleShot(true);
  partialTimer_->setInterval(kPartialLineDelay);

  export_ = new TextExport(memo_, QStringLiteral("terminal.txt"));
  export_->setReport([this](const QString& text) { reportError(text.toStdString()); });
}

void TTerminal::connectWidgets() {
  for (int i = 0; i < kHotKeyCount; ++i) {
    connect(hotKeys_[i], &QToolButton::clicked, this, [this, i] { tbf1Click(i); });
  }
  connect(tbCycle_, &QToolButton::clicked, this, &TTerminal::tbCycleClick);
  connect(timer1_, &QTimer::timeout, this, &TTerminal::Timer1Timer);
  connect(displayTimer_, &QTimer::timeout, this, &TTerminal::showPendingLines);
  connect(partialTimer_, &QTimer::timeout, this, &TTerminal::showPartialLine);
}

void TTerminal::setErrorHandler(std::function<void(const std::string&)> handler) {
  errorHandler_ = std::move(handler);
}

void TTerminal::reportError(const std::string& text) {
  if (errorHandler_) {
    errorHandler_(text);
  } else {
    qWarning("%s", text.c_str());
  }
}

std::uint32_t TTerminal::nowMs() { return clock_->tickMs(); }

// ---- sending ----------------------------------------------------------------------------

void TTerminal::sendBytes(const std::string& bytes) {
  if (link_.serialOpen()) {
    link_.serialWrite(bytes);  // a failed write is lost, as on the line itself
    return;
  }
  if (!link_.socketConnected()) return;
  // The socket reports its own failures by throwing; they end this send and reach the
  // operator's error box instead of unwinding through the event loop.
  try {
    link_.socketWrite(bytes);
  } catch (const std::exception& e) {
    reportError(e.what());
  }
}

void TTerminal::SendTerminalLine(const QString& text) {
  // A line sent while a chip operation owns the link would land between two bootloader
  // records; the window stays responsive during the operation's waits, so hot keys and
  // F1..F6 can be pressed then. Nothing is sent and the counter stays.
  if (link_.linkBusy()) return;
  ExpandedLine line = expandTerminalLine(toLatin1(text), cycleCounter_);
  if (line.counterUsed) {
    cycleCounter_ = cycleCounter_ >= kCycleCounterLast ? kCycleCounterRestart : cycleCounter_ + 1;
  }
  sendBytes(line.bytes);
}

void TTerminal::tbf1Click(int index) {
  if (index < 0 || index >= kHotKeyCount) return;
  SendTerminalLine(hotKeys_[index]->text());
}

// ---- cyclic sender ----------------------------------------------------------------------

void TTerminal::tbCycleClick() {
  // The timer follows the button first; a bad interval text leaves it so. An interval of 0
  // keeps it from ticking although the button is down.
  const bool down = tbCycle_->isChecked();
  if (down && timer1_->interval() > 0) {
    if (!timer1_->isActive()) timer1_->start();
  } else {
    timer1_->stop();
  }

  const IntervalDigits interval = collectIntervalDigits(eCycle_->text());
  if (!interval.valid) {
    reportError(invalidIntegerText(interval.digits));
    return;
  }
  if (interval.value == timer1_->interval()) return;
  timer1_->setInterval(interval.value);  // restarts a running timer, as a changed period does
  if (interval.value == 0) {
    timer1_->stop();
  } else if (down && !timer1_->isActive()) {
    timer1_->start();
  }
}

void TTerminal::Timer1Timer() {
  // While a chip operation or a HEX load owns the line, a tick sends nothing: its line
  // would land between two bootloader records. The counter stays where it was.
  if (link_.linkBusy()) return;
  SendTerminalLine(eCycleStr_->text());
}

// ---- typing and clearing ----------------------------------------------------------------

void TTerminal::Memo1KeyPress(char ch) {
  QTextCursor cursor(memo_->document());
  cursor.movePosition(QTextCursor::End);
  if (ch == kCr) {
    cursor.insertBlock();
  } else {
    insertDisplayed(cursor, std::string_view(&ch, 1));
  }
  memo_->setTextCursor(cursor);
  boundKeptText();
  memo_->ensureCursorVisible();
  // Received text after typed text starts a line of its own, as after any typing.
  lineOpen_ = false;
  sendBytes(std::string(1, ch));  // Enter goes out as the CR alone
}

void TTerminal::Memo1DblClick() {
  memo_->clear();
  lineOpen_ = false;
  openLineBytes_ = 0;
}

bool TTerminal::eventFilter(QObject* watched, QEvent* event) {
  if (watched == memo_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const QString text = key->text();
    if (text.isEmpty()) return false;  // caret keys, function keys: no character
    // Alt with a letter is a menu key, never a typed character (AltGr, reported as Ctrl+Alt
    // on some systems, still types one); X11 hands it over with its letter as text.
    const Qt::KeyboardModifiers mods = key->modifiers();
    if ((mods & Qt::AltModifier) && !(mods & Qt::ControlModifier)) return false;
    // Typed while a chip operation owns the link: neither sent nor shown.
    if (link_.linkBusy()) return true;
    for (char ch : toLatin1(text)) {
      // Some platforms report Enter as LF; the terminal's Enter is CR.
      if (ch == kLf && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) ch = kCr;
      Memo1KeyPress(ch);
    }
    return true;
  }
  if (watched == memo_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    Memo1DblClick();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

// ---- receiving --------------------------------------------------------------------------

void TTerminal::Timer2Timer() {
  if (!link_.serialOpen()) return;
  const bool echo = cbEcho_->isChecked();
  const std::uint32_t start = nowMs();
  std::size_t taken = 0;
  // A bounded slice per tick: whatever is still arriving waits with the port for the next.
  while (taken < kPollSliceBytes &&
         nowMs() - start < static_cast<std::uint32_t>(kPollSliceTime.count())) {
    const link::ReadResult read = link_.serialReadByte();
    if (!read || read->count == 0) break;
    const char byte = static_cast<char>(read->byte);
    receiveBuffer_.push_back(byte);
    ++taken;
    if (echo) link_.serialWrite(std::string_view(&byte, 1));
  }
  FlushReceivedLines();
}

void TTerminal::SockDataAvailable() {
  std::string text;
  try {
    text = link_.socketRead();
  } catch (const std::exception& e) {
    reportError(e.what());
    return;
  }
  if (text.empty()) return;
  // Written back only while the Echo box is ticked, as on the serial line: a module that
  // echoes too would otherwise keep one line circling for ever. A failed write-back is the
  // socket's to report and is dropped here, but the text already read is still shown.
  if (cbEcho_->isChecked()) {
    try {
      link_.socketWrite(text);
    } catch (const std::exception&) {
    }
  }
  receiveBuffer_.append(text);
  FlushReceivedLines();
}

void TTerminal::FlushReceivedLines() {
  std::size_t begin = 0;
  for (;;) {
    const std::size_t lf = receiveBuffer_.find(kLf, std::max(begin, scannedTo_));
    if (lf == std::string::npos) break;
    std::size_t end = lf;
    // Only the CR of a CR LF pair is dropped; a line ended by LF alone stays whole.
    if (end > begin && receiveBuffer_[end - 1] == kCr) --end;
    display_.append(receiveBuffer_, begin, end - begin);
    display_.push_back(kLf);
    begin = lf + 1;
  }
  receiveBuffer_.erase(0, begin);
  // A long partial line is not searched again from its start with every new byte.
  scannedTo_ = receiveBuffer_.size();
  boundKeptText();
  if (receiveBuffer_.size() >= kDisplayPieceBytes) {
    showPartialLine();
  } else {
    if (!receiveBuffer_.empty() && !partialTimer_->isActive()) partialTimer_->start();
    if (begin > 0) showPendingLines();
  }
}

void TTerminal::showPartialLine() {
  std::size_t n = receiveBuffer_.size();
  if (n > 0 && receiveBuffer_[n - 1] == kCr) --n;
  if (n > 0) {
    display_.append(receiveBuffer_, 0, n);
    receiveBuffer_.erase(0, n);
    scannedTo_ = receiveBuffer_.size();
  }
  showPendingLines();
}

void TTerminal::boundKeptText() {
  // A line that never ends keeps only its newest bytes.
  if (receiveBuffer_.size() > kKeptTextChars) {
    receiveBuffer_.erase(0, receiveBuffer_.size() - kKeptTextChars);
    scannedTo_ = receiveBuffer_.size();
  }
  // Lines waiting to be shown that the memo would drop at once are not shown at all; the
  // cut goes to a line start where the lines allow it.
  const std::size_t pending = display_.size() - displayAt_;
  if (pending > kKeptTextChars) {
    const std::size_t cut = display_.size() - kKeptTextChars;
    // The text may end in the start of a line with no line feed after the cut.
    const std::size_t lf = display_.find(kLf, cut - 1);
    displayAt_ = lf != std::string::npos && lf + 1 < display_.size() ? lf + 1 : cut;
    // Compacted only now and then: moving up to the whole kept text for every chunk
    // received would cost more than showing it.
    if (displayAt_ > kKeptTextChars) {
      display_.erase(0, displayAt_);
      displayAt_ = 0;
    }
  }
  // The memo drops whole lines from its start.
  QTextDocument* document = memo_->document();
  const int excess = document->characterCount() - static_cast<int>(kKeptTextChars);
  if (excess <= 0) return;
  QTextBlock keep = document->findBlock(excess);
  if (keep.position() < excess) keep = keep.next();
  if (!keep.isValid()) return;
  QTextCursor cursor(document);
  cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
}

void TTerminal::showPendingLines() {
  if (displayAt_ >= display_.size()) return;
  // Each line (or piece of a long one) becomes a line of its own; the memo then waits on a
  // fresh line, the way typed text continues after it. The start of a line shown before
  // its end arrived (no line feed at the end of display_) is continued in place.
  QTextCursor cursor(memo_->document());
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::End);
  if (!lineOpen_ && !cursor.block().text().isEmpty()) cursor.insertBlock();
  if (!lineOpen_) openLineBytes_ = 0;
  std::size_t shown = 0;
  while (displayAt_ < display_.size() && shown < kDisplayBytesPerTurn) {
    const std::size_t lf = display_.find(kLf, displayAt_);
    const std::size_t end = std::min({lf, displayAt_ + (kDisplayPieceBytes - openLineBytes_), display_.size()});
    insertDisplayed(cursor, std::string_view(display_).substr(displayAt_, end - displayAt_));
    shown += end - displayAt_ + 1;
    openLineBytes_ += end - displayAt_;
    lineOpen_ = end != lf;
    if (end == lf || openLineBytes_ >= kDisplayPieceBytes) {
      cursor.insertBlock();
      openLineBytes_ = 0;
    }
    displayAt_ = end == lf ? lf + 1 : end;
  }
  cursor.endEditBlock();
  boundKeptText();
  if (displayAt_ >= display_.size()) {
    display_.clear();
    displayAt_ = 0;
  } else {
    if (displayAt_ >= kDisplayBytesPerTurn * 16) {
      display_.erase(0, displayAt_);
      displayAt_ = 0;
    }
    displayTimer_->start();
  }
  memo_->setTextCursor(cursor);
  memo_->ensureCursorVisible();
}

void TTerminal::insertDisplayed(QTextCursor& cursor, std::string_view bytes) const {
  // Both formats given explicitly: a bare insert would take the format of the character
  // before it, and text after a control byte would come out in the control colour.
  static const QTextCharFormat control = controlFormat();
  const QTextCharFormat plain;
  std::size_t run = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!isControlByte(byte)) continue;
    if (i > run) cursor.insertText(QString::fromLatin1(bytes.data() + run, static_cast<qsizetype>(i - run)), plain);
    cursor.insertText(controlText(byte), control);
    run = i + 1;
  }
  if (bytes.size() > run)
    cursor.insertText(QString::fromLatin1(bytes.data() + run, static_cast<qsizetype>(bytes.size() - run)), plain);
}

// ---- settings accessors -----------------------------------------------------------------

QString TTerminal::hotKeyCaption(int index) const {
  if (index < 0 || index >= kHotKeyCount) return {};
  return hotKeys_[index]->text();
}

void TTerminal::setHotKeyCaption(int index, const QString& caption) {
  if (index < 0 || index >= kHotKeyCount) return;
  hotKeys_[index]->setText(caption);
}

QString TTerminal::cycleText() const { return eCycleStr_->text(); }
void TTerminal::setCycleText(const QString& text) { eCycleStr_->setText(text); }
QString TTerminal::cycleIntervalText() const { return eCycle_->text(); }
void TTerminal::setCycleIntervalText(const QString& text) { eCycle_->setText(text); }

QFont TTerminal::memoFont() const { return memo_->font(); }
void TTerminal::setMemoFont(const QFont& font) { memo_->setFont(font); }

bool TTerminal::echoEnabled() const { return cbEcho_->isChecked(); }

}  // namespace velkorn::ui
