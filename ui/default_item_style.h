#pragma once
// Draws the menu bar's default item ("&Program && Verify") in bold: the bar itself
// ignores an entry's font.
#include <QProxyStyle>

class QAction;

namespace velkorn::ui {

class DefaultItemStyle final : public QProxyStyle {
 public:
  explicit DefaultItemStyle(const QAction* defaultItem) : item_(defaultItem) {}

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override;

 private:
  bool isDefault(const QStyleOption* option) const;
  const QAction* item_;
};

}  // namespace velkorn::ui
