#pragma once
// The main window's menu: the "&Comport" menu with COM1 to COM8, "&TCP/Winsock" and "&Exit",
// and the top-level commands. Group 1 holds the chip commands, which stay disabled until a
// line is open; "Debug" lives on the window, reached only by its short cut.
#include <array>
#include <cstddef>
#include <vector>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace velkorn::ui {

inline constexpr int kPortEntries = 8;  // COM1 to COM8

class MainMenu {
 public:
  // Fills `bar`; the top-level actions belong to `window`.
  void buildMenus(QMenuBar* bar, QWidget* window);

  // The COM entry for port n (1..8).
  QAction* comEntry(int n) const { return comEntries_[static_cast<std::size_t>(n - 1)]; }
  const std::array<QAction*, kPortEntries>& comEntries() const { return comEntries_; }
  // The top-level entries of group 1 (chip commands, Debug, Reload) in menu order.
  const std::vector<QAction*>& chipCommandEntries() const { return group1_; }

  QMenu* Com1 = nullptr;  // "&Comport"
  QAction* MTCP = nullptr;
  QAction* MHost = nullptr;  // asks for the host field's text, then opens "&TCP/Winsock"
  QAction* Exit1 = nullptr;
  QAction* LoadFile1 = nullptr;
  QAction* MRead = nullptr;
  QAction* CompareFile = nullptr;
  QAction* MProg = nullptr;
  QAction* MErase = nullptr;
  QAction* MBSB = nullptr;
  QAction* Debug1 = nullptr;
  QAction* MReload = nullptr;
  QMenu* Recent = nullptr;      // "Rece&nt": the HEX files last loaded
  QAction* SaveChip = nullptr;  // "Save Chip &As...": what the last read got, to a file

 private:
  void buildMemoryEntries(QWidget* window);

  std::array<QAction*, kPortEntries> comEntries_{};
  std::vector<QAction*> group1_;
};

}  // namespace velkorn::ui
