// The hex dump view: layout arithmetic, keyboard and mouse navigation, scroll bar
// requests, empty and pointer-less views, and what ends up on screen.
#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QWindow>
#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "ui/hexdump.h"
#include "ui/read_note.h"

namespace velkorn::ui {
namespace {

constexpr std::int32_t k64K = 0x10000;

// ---------------------------------------------------------------- layout arithmetic

struct LayoutCase {
  const char* name;
  int width, height, lineHeight, charWidth;
  bool showAddress, showCharacters;
  std::int32_t dataSize;
  std::int32_t visibleLines, bytesPerLine, lineCount;
};

TEST(HexDumpLayout, FollowsTheClientAreaAndCellSize) {
  const LayoutCase cases[] = {
      // 600 / 9 = 66 cells, 56 after the address: 14 bytes with characters, 18 -> 16 without.
      {"600px with characters", 600, 200, 13, 9, true, true, k64K, 16, 14, 4682},
      {"600px without characters", 600, 200, 13, 9, true, false, k64K, 16, 16, 4096},
      {"no address, characters", 600, 200, 13, 9, false, true, k64K, 16, 16, 4096},
      {"exactly 15 bytes", (10 + 60) * 9, 130, 13, 9, true, true, k64K, 11, 15, 4370},
      {"one cell short of 15", (10 + 60) * 9 - 1, 130, 13, 9, true, true, k64K, 11, 14, 4682},
      {"narrower than the address", 50, 130, 13, 9, true, true, k64K, 11, 1, k64K},
      {"zero width", 0, 130, 13, 9, true, true, 100, 11, 1, 100},
      {"zero height still shows one row", 600, 0, 13, 9, true, true, k64K, 1, 14, 4682},
      {"no data", 600, 200, 13, 9, true, true, 0, 16, 14, 0},
      {"one byte", 600, 200, 13, 9, true, true, 1, 16, 14, 1},
      {"negative size counts as none", 600, 200, 13, 9, true, true, -5, 16, 14, 0},
      {"no cell size yet", 600, 200, 0, 0, true, true, k64K, 0, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto l = THexDump::ComputeLayout(c.width, c.height, c.lineHeight, c.charWidth,
                                           c.showAddress, c.showCharacters, c.dataSize);
    EXPECT_EQ(l.VisibleLines, c.visibleLines);
    EXPECT_EQ(l.BytesPerLine, c.bytesPerLine);
    EXPECT_EQ(l.LineCount, c.lineCount);
  }
}

TEST(HexDumpLayout, BytesOnEachLine) {
  struct Case {
    std::int32_t line, bytesPerLine, dataSize, expected;
  };
  const Case cases[] = {
      {4681, 14, k64K, 2},   // the short last line of a 14-byte layout
      {4680, 14, k64K, 14},  // the line before it is full
      {4095, 16, k64K, 16},  // 16 divides 64 KiB: the last line is full
      {4096, 16, k64K, 0},   // below the data
      {0, 16, 5, 5},
      {-1, 16, k64K, 0},
      {0, 16, 0, 0},
      {0x7FFFFFFF, 16, 0x7FFFFFFF, 0},  // no overflow far out
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.line << "/" << c.bytesPerLine << "/" << c.dataSize);
    EXPECT_EQ(THexDump::BytesOnLine(c.line, c.bytesPerLine, c.dataSize), c.expected);
  }
}

// ---------------------------------------------------------------- a live view

// A view on its own tab-sheet-like parent, shown offscreen, sized by its client area.
struct ViewFixture {
  std::unique_ptr<QWidget> sheet = std::make_unique<QWidget>();
  THexDump* view = nullptr;
  std::array<std::uint8_t, k64K> image{};

  explicit ViewFixture(bool withData = true, std::int32_t size = k64K) {
    view = CreateHexDump(sheet.get());
    QFont f = view->font();
    f.setFamily(QStringLiteral("Courier New"));
    f.setBold(true);
    f.setPixelSize(11);
    view->setFont(f);
    if (withData) view->setDataPointer(image.data());
    view->setDataSize(size);
    sheet->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet.get()));
  }

  // Sizes the sheet so that the view's client area is width x height pixels.
  void fitClient(int width, int height) {
    const int dw = view->width() - view->viewport()->width();
    const int dh = view->height() - view->viewport()->height();
    sheet->resize(width + dw, height + dh);
    QCoreApplication::processEvents();
    ASSERT_EQ(view->viewport()->width(), width);
    ASSERT_EQ(view->viewport()->height(), height);
  }

  // Client area for `rows` rows (the last one partly visible) and `bytes` bytes per line.
  void fitRows(int rows, int bytes = 16, bool characters = true) {
    const int cells = THexDump::kAddressCells +
                      bytes * (characters ? THexDump::kCellsPerByteWithCharacters
                                          : THexDump::kHexCellsPerByte);
    const int lh = view->LineHeight();
    fitClient(cells * view->CharWidth() + view->CharWidth() / 2, (rows - 1) * lh + lh / 2);
    ASSERT_EQ(view->VisibleLines(), rows);
    ASSERT_EQ(view->BytesPerLine(), bytes);
  }

  QPoint rowPoint(int row) const {
    return {view->CharWidth() * 3, row * view->LineHeight() + view->LineHeight() / 2};
  }
};

constexpr int kRows = 10;  // VisibleLines of the navigation tests

TEST(HexDumpView, FontChangeSetsTheCellSizeAndLayout) {
  ViewFixture f;
  for (int pixels : {9, 11, 16, 24}) {
    SCOPED_TRACE(pixels);
    QFont font = f.view->font();
    font.setPixelSize(pixels);
    f.view->setFont(font);
    const QFontMetrics fm(font);
    EXPECT_EQ(f.view->LineHeight(), fm.height() + 2);
    EXPECT_EQ(f.view->CharWidth(), fm.horizontalAdvance(QChar(u'D')) + 1);
    const auto expected = THexDump::ComputeLayout(
        f.view->viewport()->width(), f.view->viewport()->height(), f.view->LineHeight(),
        f.view->CharWidth(), true, true, k64K);
    EXPECT_EQ(f.view->BytesPerLine(), expected.BytesPerLine);
    EXPECT_EQ(f.view->LineCount(), expected.LineCount);
    EXPECT_EQ(f.view->verticalScrollBar()->maximum(), expected.LineCount - 1);
  }
}

struct KeyStep {
  Qt::Key key;
  int times;
};

struct KeyCase {
  const char* name;
  std::vector<KeyStep> steps;
  // expected CurrentLine and TopLine from VisibleLines and LineCount
  std::function<std::pair<int, int>(int v, int lc)> expected;
};

TEST(HexDumpView, KeyNavigation) {
  const KeyCase cases[] = {
      {"Down above the last full row keeps the view", {{Qt::Key_Down, kRows - 2}},
       [](int v, int) { return std::pair{v - 2, 0}; }},
      {"Down onto the partly visible row scrolls one line", {{Qt::Key_Down, kRows - 1}},
       [](int v, int) { return std::pair{v - 1, 1}; }},
      {"each further Down scrolls one more line", {{Qt::Key_Down, kRows + 2}},
       [](int v, int) { return std::pair{v + 2, 4}; }},
      {"Page Down leaves the line as the last full row", {{Qt::Key_PageDown, 1}},
       [](int v, int) { return std::pair{v, 2}; }},
      {"Page Down twice", {{Qt::Key_PageDown, 2}},
       [](int v, int) { return std::pair{2 * v, v + 2}; }},
      {"End", {{Qt::Key_End, 1}}, [](int v, int lc) { return std::pair{lc - 1, lc - v + 1}; }},
      {"End then Home", {{Qt::Key_End, 1}, {Qt::Key_Home, 1}},
       [](int, int) { return std::pair{0, 0}; }},
      {"End then Page Up", {{Qt::Key_End, 1}, {Qt::Key_PageUp, 1}},
       [](int v, int lc) { return std::pair{lc - 1 - v, lc - 1 - v}; }},
      {"Down past the last line stays", {{Qt::Key_End, 1}, {Qt::Key_Down, 3}},
       [](int v, int lc) { return std::pair{lc - 1, lc - v + 1}; }},
      {"Up at the first line stays", {{Qt::Key_Up, 2}}, [](int, int) { return std::pair{0, 0}; }},
      {"Page Up near the top clamps", {{Qt::Key_Down, 3}, {Qt::Key_PageUp, 1}},
       [](int, int) { return std::pair{0, 0}; }},
      {"Left and Right do nothing", {{Qt::Key_Down, 3}, {Qt::Key_Left, 2}, {Qt::Key_Right, 2}},
       [](int, int) { return std::pair{3, 0}; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ViewFixture f;
    f.fitRows(kRows);
    ASSERT_EQ(f.view->LineCount(), 4096);
    for (const auto& s : c.steps)
      for (int i = 0; i < s.times; ++i) QTest::keyClick(f.view, s.key);
    const auto [current, top] = c.expected(f.view->VisibleLines(), f.view->LineCount());
    EXPECT_EQ(f.view->CurrentLine(), current);
    EXPECT_EQ(f.view->TopLine(), top);
    EXPECT_EQ(f.view->verticalScrollBar()->value(), top);
  }
}

TEST(HexDumpView, MouseClicks) {
  struct Case {
    const char* name;
    int startTop;
    Qt::MouseButton button;
    int row;
    int current, top;
  };
  const Case cases[] = {
      {"first row", 0, Qt::LeftButton, 0, 0, 0},
      {"a middle row", 0, Qt::LeftButton, 3, 3, 0},
      {"the last full row", 0, Qt::LeftButton, kRows - 2, kRows - 2, 0},
      {"the partly visible last row scrolls one line", 0, Qt::LeftButton, kRows - 1, kRows - 1, 1},
      {"a row of a scrolled view", 100, Qt::LeftButton, 2, 102, 100},
      {"right button only takes the focus", 0, Qt::RightButton, 3, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ViewFixture f;
    f.fitRows(kRows);
    f.sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.sheet.get()));
    f.view->SetTopLine(c.startTop);
    f.view->clearFocus();
    QTest::mouseClick(f.view->viewport(), c.button, {}, f.rowPoint(c.row));
    EXPECT_TRUE(f.view->hasFocus());
    EXPECT_EQ(f.view->CurrentLine(), c.current);
    EXPECT_EQ(f.view->TopLine(), c.top);
  }
}

TEST(HexDumpView, ScrollBarRequestsMoveTheTopLineOnly) {
  struct Case {
    const char* name;
    int startTop;
    QAbstractSlider::SliderAction action;
    std::function<int(int v, int lc)> top;
  };
  const Case cases[] = {
      {"line down", 100, QAbstractSlider::SliderSingleStepAdd, [](int, int) { return 101; }},
      {"line up", 100, QAbstractSlider::SliderSingleStepSub, [](int, int) { return 99; }},
      {"page down", 100, QAbstractSlider::SliderPageStepAdd, [](int v, int) { return 100 + v - 1; }},
      {"page up", 100, QAbstractSlider::SliderPageStepSub, [](int v, int) { return 100 - v + 1; }},
      {"page up near the top", 3, QAbstractSlider::SliderPageStepSub, [](int, int) { return 0; }},
      {"line down at the last line", 4095, QAbstractSlider::SliderSingleStepAdd,
       [](int, int lc) { return lc - 1; }},
      {"top is ignored", 100, QAbstractSlider::SliderToMinimum, [](int, int) { return 100; }},
      {"bottom is ignored", 100, QAbstractSlider::SliderToMaximum, [](int, int) { return 100; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ViewFixture f;
    f.fitRows(kRows);
    f.view->SetTopLine(c.startTop);
    f.view->verticalScrollBar()->triggerAction(c.action);
    EXPECT_EQ(f.view->TopLine(), c.top(f.view->VisibleLines(), f.view->LineCount()));
    EXPECT_EQ(f.view->verticalScrollBar()->value(), f.view->TopLine());
    EXPECT_EQ(f.view->CurrentLine(), 0);
  }
}

TEST(HexDumpView, KeyAfterThumbDragBringsTheCurrentLineBack) {
  struct Case {
    const char* name;
    int current, thumb;
    Qt::Key key;
    int expectedCurrent, expectedTop;
  };
  const Case cases[] = {
      {"dragged below, Down", 0, 500, Qt::Key_Down, 1, 1},
      {"dragged below, Up", 5, 500, Qt::Key_Up, 4, 4},
      {"dragged above, Down", 2000, 10, Qt::Key_Down, 2001, 2001 - kRows + 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ViewFixture f;
    f.fitRows(kRows);
    f.view->SetCurrentLine(c.current);
    f.view->verticalScrollBar()->setSliderPosition(c.thumb);  // tracking: a thumb drag
    EXPECT_EQ(f.view->TopLine(), c.thumb);
    EXPECT_EQ(f.view->CurrentLine(), c.current);
    QTest::keyClick(f.view, c.key);
    EXPECT_EQ(f.view->CurrentLine(), c.expectedCurrent);
    EXPECT_EQ(f.view->TopLine(), c.expectedTop);
  }
}

TEST(HexDumpView, ThumbReachesLinesBeyondSixteenBits) {
  ViewFixture f;
  f.fitRows(kRows, 1, false);
  ASSERT_EQ(f.view->LineCount(), k64K);
  EXPECT_EQ(f.view->verticalScrollBar()->maximum(), k64K - 1);
  f.view->verticalScrollBar()->setSliderPosition(60000);
  EXPECT_EQ(f.view->TopLine(), 60000);
  QTest::keyClick(f.view, Qt::Key_End);
  EXPECT_EQ(f.view->CurrentLine(), k64K - 1);
  EXPECT_EQ(f.view->TopLine(), k64K - kRows + 1);
}

TEST(HexDumpView, NothingToNavigateWithoutDataOrSize) {
  struct Case {
    const char* name;
    bool withPointer;
    std::int32_t size;
  };
  const Case cases[] = {
      {"before the data pointer is set", false, k64K},
      {"with a size of zero", true, 0},
      {"neither", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ViewFixture f(c.withPointer, c.size);
    f.fitClient(600, 200);
    for (Qt::Key k : {Qt::Key_Down, Qt::Key_PageDown, Qt::Key_End, Qt::Key_Up})
      QTest::keyClick(f.view, k);
    QTest::mouseClick(f.view->viewport(), Qt::LeftButton, {}, f.rowPoint(5));
    EXPECT_EQ(f.view->CurrentLine(), 0);
    EXPECT_EQ(f.view->TopLine(), 0);
    EXPECT_GE(f.view->verticalScrollBar()->maximum(), 0);
    if (c.size == 0) {
      f.view->SetTopLine(5);
      f.view->SetCurrentLine(5);
      EXPECT_EQ(f.view->TopLine(), 0);
      EXPECT_EQ(f.view->CurrentLine(), 0);
      EXPECT_EQ(f.view->verticalScrollBar()->maximum(), 0);
    }
    // Nothing to show: the whole client area is background.
    const QImage shot = f.view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shot.pixel(5, 5), QColor(Qt::white).rgb());
    EXPECT_EQ(shot.pixel(shot.width() / 2, shot.height() / 2), QColor(Qt::white).rgb());
  }
}

TEST(HexDumpView, LinesSurviveDataChanges) {
  ViewFixture f;
  f.fitRows(kRows);
  f.view->SetCurrentLine(300);
  const int top = f.view->TopLine();
  ASSERT_GT(top, 0);
  std::array<std::uint8_t, k64K> other{};
  f.view->setDataPointer(other.data());
  EXPECT_EQ(f.view->TopLine(), top);
  EXPECT_EQ(f.view->CurrentLine(), 300);
  f.view->setDataSize(k64K);
  EXPECT_EQ(f.view->TopLine(), top);
  EXPECT_EQ(f.view->CurrentLine(), 300);
  f.view->SetCurrentLine(0);  // what the owner does to bring a view back to the start
  EXPECT_EQ(f.view->TopLine(), 0);
}

// ---------------------------------------------------------------- what is drawn

QImage shotOf(const THexDump* view) {
  return view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Draws one row the way the view should: address, hex pairs on their tab stops, characters;
// bytes that `read` rejects in the unread colour.
QImage expectedRow(const THexDump* view, int width, const QString& address,
                   const std::vector<std::uint8_t>& bytes, const std::function<bool(int)>& read = {}) {
  QImage img(width, view->LineHeight(), QImage::Format_RGB32);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setFont(view->font());
  const int cw = view->CharWidth();
  const int ascent = QFontMetrics(view->font()).ascent();
  const int addressWidth = THexDump::kAddressCells * cw;
  p.setClipRect(QRect(1, 0, addressWidth, view->LineHeight()));
  p.setPen(view->AddressColor());
  p.drawText(QPoint(1, ascent), address);
  p.setClipping(false);
  auto isRead = [&read](std::size_t i) { return !read || read(static_cast<int>(i)); };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    p.setPen(isRead(i) ? view->HexDataColor() : view->UnreadColor());
    p.drawText(QPoint(1 + addressWidth + static_cast<int>(i) * 3 * cw, ascent),
               QStringLiteral("%1").arg(bytes[i], 2, 16, QChar(u'0')).toUpper());
  }
  int x = addressWidth + 3 * cw * view->BytesPerLine();
  for (std::size_t i = 0; i < bytes.size();) {
    QString run;
    const bool r = isRead(i);
    // A control character would move or break the row: it shows as ".".
    for (; i < bytes.size() && isRead(i) == r; ++i)
      run += bytes[i] < 0x20 || (bytes[i] >= 0x7F && bytes[i] < 0xA0) ? QChar(u'.') : QChar(char16_t{bytes[i]});
    p.setPen(r ? view->AnsiCharColor() : view->UnreadColor());
    p.drawText(QPoint(x, ascent), run);
    x += QFontMetrics(view->font()).horizontalAdvance(run);
  }
  return img;
}

int inkPixels(const QImage& img) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += img.pixel(x, y) != QColor(Qt::white).rgb();
  return n;
}

QImage rowBand(const QImage& shot, int row, int lineHeight) {
  return shot.copy(0, row * lineHeight, shot.width(), lineHeight);
}

TEST(HexDumpRender, RowsShowAddressHexAndCharacters) {
  ViewFixture f;
  f.view->setAddressColor(Qt::red);
  f.view->setHexDataColor(Qt::blue);
  f.view->setAnsiCharColor(Qt::darkGreen);
  for (int i = 0; i < 32; ++i) f.image[i] = static_cast<std::uint8_t>(0xA0 + i);
  f.image[3] = 'K';
  // The second row holds control characters: TAB, CR, LF, NUL, DEL and one of the C1 range.
  for (const auto& [at, byte] : {std::pair{16, 0x09}, {17, 0x0D}, {18, 0x0A}, {19, 0x00}, {20, 0x7F}, {21, 0x85}})
    f.image[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(byte);
  f.fitRows(kRows);
  struct Case {
    int top, row;
    QString address;
    int firstByte;
  };
  const Case cases[] = {
      {0, 0, QStringLiteral("00000000:"), 0},
      {0, 1, QStringLiteral("00000010:"), 16},
      {4095 - (kRows - 2), kRows - 2, QStringLiteral("0000FFF0:"), 0xFFF0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address.toStdString());
    f.view->SetTopLine(c.top);
    const QImage shot = shotOf(f.view);
    std::vector<std::uint8_t> bytes(f.image.begin() + c.firstByte, f.image.begin() + c.firstByte + 16);
    const QImage want = expectedRow(f.view, shot.width(), c.address, bytes);
    ASSERT_GT(inkPixels(want), 0);
    EXPECT_EQ(rowBand(shot, c.row, f.view->LineHeight()), want);
  }
  // Below the last line (the last data line stands at the top): background rows.
  f.view->SetTopLine(4095);
  const QImage shot = shotOf(f.view);
  QImage blank(shot.width(), f.view->LineHeight(), QImage::Format_RGB32);
  blank.fill(Qt::white);
  EXPECT_EQ(rowBand(shot, 1, f.view->LineHeight()), blank);
}

// After a read that stopped early, the bytes it did not get are drawn apart: they are older
// bytes, maybe another chip's.
TEST(HexDumpRender, BytesNotReadAreDrawnApart) {
  ViewFixture f;
  f.view->setHexDataColor(Qt::blue);
  f.view->setAnsiCharColor(Qt::darkGreen);
  f.view->setUnreadColor(Qt::red);
  for (int i = 0; i < 64; ++i) f.image[i] = static_cast<std::uint8_t>('A' + i % 26);
  f.fitRows(kRows);
  const std::pair<const char*, std::function<bool(int)>> cases[] = {
      {"the read stopped at 0x18", [](int at) { return at < 0x18; }},
      {"one unreadable line in the middle", [](int at) { return at < 0x10 || at >= 0x20; }},
      {"every other byte", [](int at) { return at % 2 == 0; }},
  };
  for (const auto& [name, read] : cases) {
    SCOPED_TRACE(name);
    f.view->setByteRead(read);
    const QImage shot = shotOf(f.view);
    for (int row = 0; row < 3; ++row) {
      std::vector<std::uint8_t> bytes(f.image.begin() + 16 * row, f.image.begin() + 16 * row + 16);
      const QString address = QStringLiteral("%1:").arg(16 * row, 8, 16, QChar(u'0')).toUpper();
      EXPECT_EQ(rowBand(shot, row, f.view->LineHeight()),
                expectedRow(f.view, shot.width(), address, bytes, [&read, row](int i) { return read(16 * row + i); }))
          << row;
    }
  }
}

TEST(HexDumpRender, StatusNoteSaysWhereTheReadStopped) {
  auto readBelow = [](int end, int holeFrom = 0, int holeTo = 0) {
    std::bitset<k64K> read;
    for (int at = 0; at < end; ++at) read[static_cast<std::size_t>(at)] = at < holeFrom || at >= holeTo;
    return read;
  };
  const std::tuple<const char*, std::bitset<k64K>, int, const char*> cases[] = {
      {"every byte", readBelow(k64K), k64K, ""},
      {"a 32 KiB part, nothing above it", readBelow(0x8000), 0x8000, ""},
      {"stopped at 1200", readBelow(0x1200), k64K, "Read stopped at 1200: 60928 bytes not read, shown grey"},
      {"nothing at all", readBelow(0), 0x8000, "Read stopped at 0000: 32768 bytes not read, shown grey"},
      {"one line in the middle", readBelow(k64K, 0xAB20, 0xAB30), k64K,
       "Read incomplete: 16 bytes not read, the first at AB20; shown grey"},
  };
  for (const auto& [name, read, chipSize, note] : cases)
    EXPECT_EQ(readCoverageNote(read, chipSize).toStdString(), note) << name;
}

TEST(HexDumpRender, TheCurrentLineIsMarkedWhileTheViewHasTheKeyboard) {
  // Without a mark the operator cannot see where PgUp, PgDn or a click acts from.
  ViewFixture f;
  f.fitRows(kRows);
  QApplication::setActiveWindow(f.sheet.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(f.sheet.get()));
  auto markedRows = [&] {
    const QImage shot = shotOf(f.view);
    std::vector<int> rows;
    for (int row = 0; row < kRows - 1; ++row)
      if (shot.pixelColor(shot.width() - 2, row * f.view->LineHeight() + 1) == f.view->CurrentLineColor()) rows.push_back(row);
    return rows;
  };
  ASSERT_NE(f.view->CurrentLineColor(), QColor(Qt::white));
  EXPECT_TRUE(markedRows().empty());  // no keyboard: drawn as ever
  f.view->setFocus();
  EXPECT_EQ(markedRows(), std::vector<int>{0});
  QTest::mouseClick(f.view->viewport(), Qt::LeftButton, Qt::NoModifier, f.rowPoint(3));
  EXPECT_EQ(markedRows(), std::vector<int>{3});
  QTest::keyClick(f.view, Qt::Key_Up);
  EXPECT_EQ(markedRows(), std::vector<int>{2});
  f.view->clearFocus();
  EXPECT_TRUE(markedRows().empty());
}

TEST(HexDumpRender, ShortLastLineDrawsOnlyItsBytes) {
  ViewFixture f;
  f.image[k64K - 2] = 0xAB;
  f.image[k64K - 1] = 'Z';
  f.fitRows(kRows, 14);
  ASSERT_EQ(f.view->LineCount(), 4682);
  QTest::keyClick(f.view, Qt::Key_End);
  const int lastRow = f.view->LineCount() - 1 - f.view->TopLine();
  ASSERT_EQ(lastRow, kRows - 2);
  const QImage shot = shotOf(f.view);
  const std::vector<std::uint8_t> tail{0xAB, 'Z'};
  EXPECT_EQ(rowBand(shot, lastRow, f.view->LineHeight()),
            expectedRow(f.view, shot.width(), QStringLiteral("0000FFFE:"), tail));
}

TEST(HexDumpRender, OneLineScrollsLeaveTheSameImageAsAFullRepaint) {
  ViewFixture f;
  for (int i = 0; i < k64K; ++i) f.image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  f.fitRows(kRows);
  QWindow* window = f.sheet->windowHandle();
  ASSERT_NE(window, nullptr);
  // The screen grab reads the window's backing store, so it shows scrolled pixels as they are.
  auto onScreen = [&] {
    QCoreApplication::processEvents();
    const QPoint at = f.view->viewport()->mapTo(f.sheet.get(), QPoint(0, 0));
    return window->screen()
        ->grabWindow(window->winId(), at.x(), at.y(), f.view->viewport()->width(),
                     f.view->viewport()->height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  };
  onScreen();
  struct Step {
    const char* name;
    Qt::Key key;
    int times;
  };
  const Step steps[] = {
      {"down onto the partly visible row", Qt::Key_Down, kRows - 1},
      {"down by one more", Qt::Key_Down, 1},
      {"up past the top row", Qt::Key_Up, kRows},
      {"a large move", Qt::Key_PageDown, 3},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    for (int i = 0; i < s.times; ++i) QTest::keyClick(f.view, s.key);
    const QImage screen = onScreen();
    if (screen.isNull()) GTEST_SKIP() << "this platform cannot read back the window";
    ASSERT_GT(inkPixels(screen), 0);
    EXPECT_EQ(screen, shotOf(f.view));
  }
}

}  // namespace
}  // namespace velkorn::ui
