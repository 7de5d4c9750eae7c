#include "ui/hexdump.h"

#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>

namespace velkorn::ui {

namespace {

constexpr char16_t kTab = u'\t';
constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
constexpr int kAddressDigits = 8;  // a 32-bit offset, leading zeros kept
constexpr int kTextLeftPx = 1;     // every row starts one pixel in from the left edge

}  // namespace

THexDump::Layout THexDump::ComputeLayout(int clientWidthPx, int clientHeightPx,
                                         int lineHeightPx, int charWidthPx, bool showAddress,
                                         bool showCharacters, std::int32_t dataSize) {
  Layout out;
  if (lineHeightPx < 1 || charWidthPx < 1) return out;
  out.VisibleLines = std::max(clientHeightPx, 0) / lineHeightPx + 1;
  int cells = std::max(clientWidthPx, 0) / charWidthPx;
  if (showAddress) cells -= kAddressCells;
  const int perByte = showCharacters ? kCellsPerByteWithCharacters : kHexCellsPerByte;
  out.BytesPerLine = std::clamp(cells / perByte, 1, kMaxBytesPerLine);
  const std::int32_t size = std::max<std::int32_t>(dataSize, 0);
  out.LineCount = size / out.BytesPerLine + (size % out.BytesPerLine > 0 ? 1 : 0);
  return out;
}

std::int32_t THexDump::BytesOnLine(std::int32_t line, std::int32_t bytesPerLine,
                                   std::int32_t dataSize) {
  if (line < 0 || bytesPerLine < 1) return 0;
  const std::int64_t start = std::int64_t{line} * bytesPerLine;
  if (start >= dataSize) return 0;
  return static_cast<std::int32_t>(std::min<std::int64_t>(bytesPerLine, dataSize - start));
}

THexDump::THexDump(QWidget* parent) : QAbstractScrollArea(parent) {
  std::fill(std::begin(m_hexLine), std::end(m_hexLine), QChar(kTab));
  std::fill(std::begin(m_address), std::end(m_address), QChar(u'\0'));
  std::fill(std::begin(m_characters), std::end(m_characters), QChar(u' '));

  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Not a tab stop; a click still gives it the focus.
  setFocusPolicy(Qt::ClickFocus);
  // The view paints every pixel of what it is asked to repaint.
  viewport()->setAutoFillBackground(false);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  applyBorder();
  resize(kDefaultWidthPx, kDefaultHeightPx);

  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &THexDump::onScrollAction);
  // A widget that never sees a font change would otherwise never lay itself out.
  FontChanged();
}

void THexDump::setDataPointer(const std::uint8_t* p) {
  m_hasData = p != nullptr;
  m_dataPointer = p;
  viewport()->update();
}

void THexDump::setDataSize(std::int32_t n) {
  m_dataSize = std::max<std::int32_t>(n, 0);
  RecalcLayout();
  viewport()->update();
  UpdateScrollRange();
}

void THexDump::Invalidate() { viewport()->update(); }

void THexDump::setByteRead(ByteTest byteRead) {
  m_byteRead = std::move(byteRead);
  viewport()->update();
}

void THexDump::setShowAddress(bool on) {
  if (on == m_showAddress) return;
  m_showAddress = on;
  RecalcLayout();
  UpdateScrollRange();
  viewport()->update();
}

void THexDump::setShowCharacters(bool on) {
  if (on == m_showCharacters) return;
  m_showCharacters = on;
  RecalcLayout();
  UpdateScrollRange();
  viewport()->update();
}

void THexDump::setColorAt(int index, const QColor& c) {
  if (m_colors[index] == c) return;
  m_colors[index] = c;
  viewport()->update();
}

void THexDump::setColor(const QColor& c) {
  if (m_background == c) return;
  m_background = c;
  viewport()->update();
}

void THexDump::setBorder(BorderStyle b) {
  if (b == m_border) return;
  m_border = b;
  applyBorder();
}

void THexDump::applyBorder() {
  if (m_border == BorderStyle::Single) {
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(1);
  } else {
    setFrameStyle(QFrame::NoFrame);
  }
}

void THexDump::FontChanged() {
  const QFontMetrics fm(font());
  m_lineHeight = fm.height() + 2;
  m_charWidth = fm.horizontalAdvance(QChar(u'D')) + 1;
  m_ascentPx = fm.ascent();
  RecalcLayout();
  UpdateScrollRange();
  viewport()->update();
}

void THexDump::RecalcLayout() {
  if (m_lineHeight < 1) return;
  const Layout l = ComputeLayout(viewport()->width(), viewport()->height(), m_lineHeight,
                                 m_charWidth, m_showAddress, m_showCharacters, m_dataSize);
  m_visibleLines = l.VisibleLines;
  m_bytesPerLine = l.BytesPerLine;
  m_lineCount = l.LineCount;
}

void THexDump::UpdateScrollRange() {
  QScrollBar* bar = verticalScrollBar();
  // The bar clamps its value to the new range; TopLine itself survives size changes.
  m_movingBar = true;
  bar->setRange(0, lastLine());
  bar->setSingleStep(1);
  bar->setPageStep(std::max(m_visibleLines - 1, 0));
  bar->setValue(m_topLine);
  m_movingBar = false;
}

void THexDump::SetTopLine(std::int32_t n) {
  if (n == m_topLine) return;
  moveTopLine(n);
}

void THexDump::moveTopLine(std::int32_t n) {
  n = std::clamp(n, 0, lastLine());
  if (n == m_topLine) return;
  const std::int32_t d = m_topLine - n;
  m_topLine = n;
  m_movingBar = true;
  verticalScrollBar()->setValue(n);
  m_movingBar = false;
  if ((d == 1 || d == -1) && m_lineHeight > 0) {
    // Move the pixels already drawn and let only the uncovered row band repaint.
    viewport()->scroll(0, d * m_lineHeight);
  } else {
    viewport()->update();
  }
}

void THexDump::onScrollAction(int action) {
  // "Scroll to top/bottom" from the bar's menu leaves the view where it is.
  if (action == QAbstractSlider::SliderToMinimum || action == QAbstractSlider::SliderToMaximum) {
    QScrollBar* bar = verticalScrollBar();
    bar->setSliderPosition(bar->value());
  }
}

void THexDump::scrollContentsBy(int, int) {
  if (m_movingBar) return;
  // Line and page steps, thumb drag and wheel all arrive here as the bar's new value.
  // The bar carries full int positions, so every line is reachable by dragging.
  moveTopLine(verticalScrollBar()->value());
}

void THexDump::SetCurrentLine(std::int32_t n) {
  if (n != m_currentLine) {
    m_currentLine = std::clamp(n, 0, lastLine());
    if (hasFocus()) viewport()->update();  // the mark moves
  }
  EnsureCurrentVisible();
}

QColor THexDump::CurrentLineColor() const {
  // A light tint of the highlight colour over the background: enough to find the line
  // again, too little to be taken for a selection.
  const QColor mark = palette().color(QPalette::Highlight);
  constexpr int kPercent = 14;
  auto mix = [](int back, int front) { return (back * (100 - kPercent) + front * kPercent) / 100; };
  return QColor(mix(m_background.red(), mark.red()), mix(m_background.green(), mark.green()),
                mix(m_background.blue(), mark.blue()));
}

void THexDump::focusInEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusInEvent(e);
  viewport()->update();
}

void THexDump::focusOutEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusOutEvent(e);
  viewport()->update();
}

bool THexDump::EnsureCurrentVisible() {
  const std::int32_t before = m_topLine;
  if (m_topLine > m_currentLine) {
    SetTopLine(m_currentLine);
  } else if (std::int64_t{m_currentLine} >= std::int64_t{m_topLine} + m_visibleLines - 1) {
    // Make the current line the last fully visible row; a view shorter than one row
    // shows it at the top rather than scrolling it out of sight.
    const std::int64_t target = std::int64_t{m_currentLine} - m_visibleLines + 2;
    SetTopLine(static_cast<std::int32_t>(std::min<std::int64_t>(target, m_currentLine)));
  }
  return m_topLine != before;
}

void THexDump::changeEvent(QEvent* e) {
  QAbstractScrollArea::changeEvent(e);
  if (e->type() == QEvent::FontChange) FontChanged();
}

void THexDump::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  RecalcLayout();
  UpdateScrollRange();
}

void THexDump::keyPressEvent(QKeyEvent* e) {
  std::int64_t target = 0;
  switch (e->key()) {
    case Qt::Key_PageUp: target = std::int64_t{m_currentLine} - m_visibleLines; break;
    case Qt::Key_PageDown: target = std::int64_t{m_currentLine} + m_visibleLines; break;
    case Qt::Key_End: target = std::int64_t{m_lineCount} - 1; break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_Up: target = std::int64_t{m_currentLine} - 1; break;
    case Qt::Key_Down: target = std::int64_t{m_currentLine} + 1; break;
    default:
      // Left, Right and every other key: no action here; let the parents see it.
      QWidget::keyPressEvent(e);
      return;
  }
  // The base class would scroll the bar for these keys; the view moves CurrentLine instead.
  if (m_hasData && m_lineCount > 0) {
    SetCurrentLine(static_cast<std::int32_t>(
        std::clamp<std::int64_t>(target, INT32_MIN, INT32_MAX)));
  }
  // The key is not consumed: the window's own key handling still sees it.
  e->ignore();
}

void THexDump::mousePressEvent(QMouseEvent* e) {
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
  if (e->button() == Qt::LeftButton && m_hasData && m_lineHeight > 0 && m_lineCount > 0) {
    const int y = std::max(e->position().toPoint().y(), 0);
    SetCurrentLine(static_cast<std::int32_t>(
        std::min<std::int64_t>(std::int64_t{y / m_lineHeight} + m_topLine, INT32_MAX)));
  }
  e->accept();
}

void THexDump::mouseDoubleClickEvent(QMouseEvent* e) {
  // The view knows no double click: the second press of one is just another press.
  mousePressEvent(e);
}

void THexDump::paintEvent(QPaintEvent* e) {
  QPainter p(viewport());
  const QRect area = e->rect();
  p.fillRect(area, m_background);
  if (!m_hasData || m_lineHeight < 1 || m_lineCount < 1) return;

  p.setFont(font());
  const QFontMetrics fm(font());
  const int clientWidth = viewport()->width();
  const int addressWidth = m_showAddress ? kAddressCells * m_charWidth : 0;
  const int hexLeft = kTextLeftPx + addressWidth;
  const int tabStop = kHexCellsPerByte * m_charWidth;
  const int charLeft = addressWidth + kHexCellsPerByte * m_charWidth * m_bytesPerLine;

  // Only the rows that the repaint region touches.
  const int firstRow = std::max(area.top() / m_lineHeight, 0);
  const int lastRow = std::min(area.bottom() / m_lineHeight, m_visibleLines - 1);
  for (int r = firstRow; r <= lastRow; ++r) {
    const std::int64_t line = std::int64_t{m_topLine} + r;
    if (line >= m_lineCount) break;  // below the data: background only
    const int rowTop = r * m_lineHeight;
    const int baseline = rowTop + m_ascentPx;
    // Where PgUp, PgDn and the arrows act from, while the view has the keyboard.
    if (line == m_currentLine && hasFocus()) p.fillRect(QRect(0, rowTop, clientWidth, m_lineHeight), CurrentLineColor());
    const std::int64_t offset = line * m_bytesPerLine;

    if (m_showAddress) {
      auto value = static_cast<std::uint32_t>(offset);
      for (int i = kAddressDigits - 1; i >= 0; --i, value >>= 4)
        m_address[i] = QChar(kHexDigits[value & 0xF]);
      m_address[kAddressDigits] = QChar(u':');
      m_address[kAddressDigits + 1] = QChar(u'\0');
      p.setPen(m_colors[kAddressColorIndex]);
      p.setClipRect(QRect(kTextLeftPx, rowTop, addressWidth, m_lineHeight));
      p.drawText(QPoint(kTextLeftPx, baseline), QString::fromRawData(m_address, kAddressDigits + 1));
    }

    const std::int32_t count = BytesOnLine(static_cast<std::int32_t>(line), m_bytesPerLine, m_dataSize);
    const std::uint8_t* bytes = m_dataPointer + offset;
    auto isRead = [this, offset](int i) { return !m_byteRead || m_byteRead(static_cast<std::int32_t>(offset + i)); };

    // Hex column: "XX<TAB>" per byte, drawn with a tab stop every three cells from its left.
    for (int i = 0; i < count; ++i) {
      m_hexLine[kHexCellsPerByte * i] = QChar(kHexDigits[bytes[i] >> 4]);
      m_hexLine[kHexCellsPerByte * i + 1] = QChar(kHexDigits[bytes[i] & 0xF]);
    }
    p.setClipRect(QRect(hexLeft, rowTop, std::max(clientWidth - hexLeft, 0), m_lineHeight));
    const int hexChars = kHexCellsPerByte * count - 1;
    int x = hexLeft;
    for (int pos = 0; pos < hexChars;) {
      if (m_hexLine[pos] == QChar(kTab)) {
        x = hexLeft + ((x - hexLeft) / tabStop + 1) * tabStop;
        ++pos;
        continue;
      }
      int end = pos;
      while (end < hexChars && m_hexLine[end] != QChar(kTab)) ++end;
      const QString run = QString::fromRawData(m_hexLine + pos, end - pos);
      p.setPen(m_colors[isRead(pos / kHexCellsPerByte) ? kHexDataColorIndex : kUnreadColorIndex]);
      p.drawText(QPoint(x, baseline), run);
      x += fm.horizontalAdvance(run);
      pos = end;
    }

    if (m_showCharacters) {
      // 8-bit characters as Latin-1; a control character (a TAB, a CR, the C1 range) would
      // move or break the row, so it shows as ".".
      for (int i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        const bool control = b < 0x20 || (b >= 0x7F && b < 0xA0);
        m_characters[i] = QChar(control ? u'.' : char16_t{b});
      }
      p.setClipRect(QRect(charLeft, rowTop, std::max(clientWidth - charLeft, 0), m_lineHeight));
      // Runs of read and unread bytes, each in its colour; a line read whole is one run.
      int cx = charLeft;
      for (int i = 0; i < count;) {
        const bool read = isRead(i);
        int end = i + 1;
        while (end < count && isRead(end) == read) ++end;
        const QString run = QString::fromRawData(m_characters + i, end - i);
        p.setPen(m_colors[read ? kAnsiCharColorIndex : kUnreadColorIndex]);
        p.drawText(QPoint(cx, baseline), run);
        cx += fm.horizontalAdvance(run);
        i = end;
      }
    }
    p.setClipping(false);
  }
}

THexDump* CreateHexDump(QWidget* sheet) {
  auto* view = new THexDump(sheet);
  if (sheet->layout() == nullptr) {
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
  }
  sheet->layout()->addWidget(view);
  // The view keeps the sheet's font size and style; the family is the owner's to refine.
  QFont f = view->font();
  f.setFamily(QStringLiteral("FixedSys"));
  f.setStyleHint(QFont::TypeWriter);
  view->setFont(f);
  view->setShowCharacters(true);
  return view;
}

}  // namespace velkorn::ui
