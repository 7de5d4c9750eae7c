#include "ui/main_menu.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "ui/default_item_style.h"

namespace velkorn::ui {

namespace {
constexpr int kGroupChipCommands = 1;  // menu group of the chip commands
}  // namespace

void MainMenu::buildMenus(QMenuBar* bar, QWidget* window) {
  bar->setObjectName(QStringLiteral("MainMenu1"));

  Com1 = bar->addMenu(QStringLiteral("&Comport"));
  Com1->setObjectName(QStringLiteral("Com1"));
  static const char* const names[kPortEntries] = {"COM11", "COM21", "COM31", "COM41",
                                                  "Com51", "COM61", "COM71", "COM81"};
  for (int n = 1; n <= kPortEntries; ++n) {
    if (n == 5) Com1->addSeparator()->setObjectName(QStringLiteral("N1"));
    QAction* entry = Com1->addAction(QStringLiteral("COM &%1").arg(n));
    entry->setObjectName(QString::fromLatin1(names[n - 1]));
    entry->setData(n);  // the port entry number
    entry->setCheckable(true);
    comEntries_[static_cast<std::size_t>(n - 1)] = entry;
  }
  Com1->addSeparator()->setObjectName(QStringLiteral("N2"));
  MTCP = Com1->addAction(QStringLiteral("&TCP/Winsock"));
  MTCP->setObjectName(QStringLiteral("MTCP"));
  MTCP->setData(0);
  MTCP->setCheckable(true);
  // The host field lives on the Device tab, which shows only once a line is open.
  MHost = Com1->addAction(QStringLiteral("Network &Host..."));
  MHost->setObjectName(QStringLiteral("MHost"));
  Com1->addSeparator()->setObjectName(QStringLiteral("N3"));
  Exit1 = Com1->addAction(QStringLiteral("&Exit"));
  Exit1->setObjectName(QStringLiteral("Exit1"));

  auto topLevel = [&](const char* name, const char* caption, bool enabled, int group) {
    auto* action = new QAction(QString::fromLatin1(caption), window);
    action->setObjectName(QString::fromLatin1(name));
    action->setEnabled(enabled);
    action->setProperty("GroupIndex", group);
    if (group == kGroupChipCommands) group1_.push_back(action);
    return action;
  };
  LoadFile1 = topLevel("LoadFile1", "&Load File", true, 0);
  MRead = topLevel("MRead", "&Read Chip", false, kGroupChipCommands);
  CompareFile = topLevel("CompareFile", "Verify File", false, kGroupChipCommands);
  MProg = topLevel("MProg", "&Program && Verify", false, kGroupChipCommands);
  MErase = topLevel("MErase", "Full Chip &Erase", false, kGroupChipCommands);
  MBSB = topLevel("MBSB", "Program SSB+&BSB", false, kGroupChipCommands);
  Debug1 = topLevel("Debug1", "Debug", true, kGroupChipCommands);
  MReload = topLevel("MReload", "Reload", false, kGroupChipCommands);

  QFont bold = MProg->font();
  bold.setBold(true);
  MProg->setFont(bold);  // the menu's default item
  auto* style = new DefaultItemStyle(MProg);
  style->setParent(bar);
  bar->setStyle(style);
  Debug1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  MReload->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));

  buildMemoryEntries(window);
  for (QAction* action : {LoadFile1, Recent->menuAction(), MRead, SaveChip, CompareFile, MProg, MErase, MBSB})
    bar->addAction(action);
  // "Debug" never shows in the bar: it lives on the window, so only its short cut reaches it.
  window->addAction(Debug1);
  bar->addAction(MReload);
}

void MainMenu::buildMemoryEntries(QWidget* window) {
  Recent = new QMenu(QStringLiteral("Rece&nt"), window);
  Recent->setObjectName(QStringLiteral("Recent"));
  Recent->setToolTipsVisible(true);
  SaveChip = new QAction(QStringLiteral("Save Chip &As..."), window);
  SaveChip->setObjectName(QStringLiteral("SaveChip"));
  SaveChip->setEnabled(false);  // until a read got a byte
}

}  // namespace velkorn::ui
