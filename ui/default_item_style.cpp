#include "ui/default_item_style.h"

#include <QAction>
#include <QPainter>
#include <QStyleOptionMenuItem>

namespace velkorn::ui {

namespace {

QFont boldOf(QFont font) {
  font.setBold(true);
  return font;
}

}  // namespace

void DefaultItemStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
  if (element == CE_MenuBarItem && isDefault(option)) {
    painter->save();
    painter->setFont(boldOf(painter->font()));
    QProxyStyle::drawControl(element, option, painter, widget);
    painter->restore();
    return;
  }
  QProxyStyle::drawControl(element, option, painter, widget);
}

QSize DefaultItemStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                         const QWidget* widget) const {
  QSize result = QProxyStyle::sizeFromContents(type, option, size, widget);
  if (type == CT_MenuBarItem && widget && isDefault(option)) {
    const QString text = static_cast<const QStyleOptionMenuItem*>(option)->text;
    const QFontMetrics normal(widget->font()), bold(boldOf(widget->font()));
    result.rwidth() += bold.size(Qt::TextShowMnemonic, text).width() - normal.size(Qt::TextShowMnemonic, text).width();
  }
  return result;
}

bool DefaultItemStyle::isDefault(const QStyleOption* option) const {
  const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  return item && item_ && item->text == item_->text();
}

}  // namespace velkorn::ui
