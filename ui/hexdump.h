#pragma once
// THexDump: a self-painting view that shows a block of bytes in place as lines of
// address, hex and character columns, with a vertical scroll bar. It never copies or
// changes the bytes; its owner keeps them alive and asks for a repaint after a change.
#include <QAbstractScrollArea>
#include <QChar>
#include <QColor>
#include <cstdint>
#include <functional>

class QWidget;

namespace velkorn::ui {

class THexDump : public QAbstractScrollArea {
  Q_OBJECT

 public:
  enum class BorderStyle { None, Single };

  // Geometry derived from the client area, the character cell and the data size.
  struct Layout {
    std::int32_t VisibleLines = 0;  // rows that fit, counting a partly visible last row
    std::int32_t BytesPerLine = 1;  // 1 to 16
    std::int32_t LineCount = 0;     // lines needed for dataSize bytes
  };

  static constexpr std::int32_t kMaxBytesPerLine = 16;
  static constexpr int kAddressCells = 10;      // "XXXXXXXX:" plus one blank cell
  static constexpr int kHexCellsPerByte = 3;    // two digits and a tab
  static constexpr int kCellsPerByteWithCharacters = 4;
  static constexpr int kDefaultWidthPx = 300;
  static constexpr int kDefaultHeightPx = 200;

  // Pure layout arithmetic, usable without a font: lineHeightPx and charWidthPx are the
  // cell size, clientWidthPx/clientHeightPx the drawing area (scroll bar and border excluded).
  static Layout ComputeLayout(int clientWidthPx, int clientHeightPx, int lineHeightPx,
                              int charWidthPx, bool showAddress, bool showCharacters,
                              std::int32_t dataSize);
  // Bytes drawn on one line: BytesPerLine, fewer on a short last line, 0 outside the data.
  static std::int32_t BytesOnLine(std::int32_t line, std::int32_t bytesPerLine,
                                  std::int32_t dataSize);

  explicit THexDump(QWidget* parent = nullptr);

  // The bytes shown. Setting the pointer repaints; TopLine and CurrentLine stay.
  void setDataPointer(const std::uint8_t* p);
  const std::uint8_t* DataPointer() const { return m_dataPointer; }
  // A negative size counts as 0.
  void setDataSize(std::int32_t n);
  std::int32_t DataSize() const { return m_dataSize; }

  void SetTopLine(std::int32_t n);
  void SetCurrentLine(std::int32_t n);
  // Scrolls so that CurrentLine is a fully visible row; returns whether it scrolled.
  bool EnsureCurrentVisible();
  // Repaint after the owner changed the bytes behind DataPointer.
  void Invalidate();
  // Which bytes hold what they claim to (e.g. what the last read of the chip got); the
  // others are drawn in UnreadColor. Without one every byte is drawn as data. Takes effect
  // with the next repaint.
  using ByteTest = std::function<bool(std::int32_t offset)>;
  void setByteRead(ByteTest byteRead);

  bool HasData() const { return m_hasData; }
  std::int32_t TopLine() const { return m_topLine; }
  std::int32_t CurrentLine() const { return m_currentLine; }
  std::int32_t VisibleLines() const { return m_visibleLines; }
  std::int32_t LineCount() const { return m_lineCount; }
  std::int32_t BytesPerLine() const { return m_bytesPerLine; }
  std::int32_t LineHeight() const { return m_lineHeight; }
  std::int32_t CharWidth() const { return m_charWidth; }

  bool ShowAddress() const { return m_showAddress; }
  void setShowAddress(bool on);
  bool ShowCharacters() const { return m_showCharacters; }
  void setShowCharacters(bool on);

  QColor AddressColor() const { return m_colors[kAddressColorIndex]; }
  void setAddressColor(const QColor& c) { setColorAt(kAddressColorIndex, c); }
  QColor HexDataColor() const { return m_colors[kHexDataColorIndex]; }
  void setHexDataColor(const QColor& c) { setColorAt(kHexDataColorIndex, c); }
  QColor AnsiCharColor() const { return m_colors[kAnsiCharColorIndex]; }
  void setAnsiCharColor(const QColor& c) { setColorAt(kAnsiCharColorIndex, c); }
  QColor UnreadColor() const { return m_colors[kUnreadColorIndex]; }
  void setUnreadColor(const QColor& c) { setColorAt(kUnreadColorIndex, c); }
  // Background of the view.
  QColor Color() const { return m_background; }
  // Background of the current line while the view has the keyboard focus.
  QColor CurrentLineColor() const;
  void setColor(const QColor& c);

  BorderStyle Border() const { return m_border; }
  void setBorder(BorderStyle b);

  void RecalcLayout();
  void UpdateScrollRange();

 protected:
  void changeEvent(QEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  static constexpr int kAddressColorIndex = 0;
  static constexpr int kHexDataColorIndex = 1;
  static constexpr int kAnsiCharColorIndex = 2;
  static constexpr int kUnreadColorIndex = 3;
  static constexpr int kHexLineChars = kHexCellsPerByte * kMaxBytesPerLine;  // 48
  static constexpr int kAddressChars = 17;

  void FontChanged();
  void setColorAt(int index, const QColor& c);
  void applyBorder();
  // SetTopLine from the clamping step on: used by keys, the scroll bar and SetTopLine.
  void moveTopLine(std::int32_t n);
  void onScrollAction(int action);
  std::int32_t lastLine() const { return m_lineCount > 0 ? m_lineCount - 1 : 0; }

  bool m_hasData = false;
  const std::uint8_t* m_dataPointer = nullptr;
  std::int32_t m_dataSize = 0;
  std::int32_t m_topLine = 0;
  std::int32_t m_currentLine = 0;
  std::int32_t m_visibleLines = 0;
  std::int32_t m_lineCount = 0;
  std::int32_t m_bytesPerLine = 1;
  std::int32_t m_lineHeight = 0;  // 0 until the first font change
  std::int32_t m_charWidth = 0;
  int m_ascentPx = 0;  // baseline offset of the text within a row
  // Grey enough to tell apart at a glance, dark enough to read.
  QColor m_colors[4] = {Qt::black, Qt::black, Qt::black, QColor(0xA0, 0xA0, 0xA0)};
  ByteTest m_byteRead;
  QColor m_background = Qt::white;
  bool m_showCharacters = true;
  bool m_showAddress = true;
  BorderStyle m_border = BorderStyle::Single;
  // Fixed formatting buffers: painting allocates nothing per row.
  QChar m_hexLine[kHexLineChars];
  QChar m_address[kAddressChars];
  QChar m_characters[kMaxBytesPerLine];
  // Set while the program itself moves the scroll bar, so its echo is not taken as a request.
  bool m_movingBar = false;
};

// Creates a view on a tab sheet, filling it; the caller then picks the final font.
THexDump* CreateHexDump(QWidget* sheet);

}  // namespace velkorn::ui
