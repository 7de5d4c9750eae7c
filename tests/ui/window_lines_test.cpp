// The window's lines on their own: which line a choice leaves open, what a failed choice
// says, and that a chip command borrows only the module's connection.
#include <gtest/gtest.h>

#include "ui/window_lines.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

using ui::LineKind;

TEST(WindowLines, EachChoiceLeavesOneLineAndSaysWhich) {
  ConfigHome home;
  Pty pty;
  ASSERT_TRUE(pty.isOpen());
  home.pin(2, pty.slave());
  home.pin(3, (home.root() / "no-such-device").string());

  struct Step {
    const char* what;
    int entry;
    bool opens;
    LineKind kind;
    int shownEntry;
    const char* panel;
    const char* box;  // the error box it shows, or nullptr
  };
  const Step steps[] = {
      {"a pinned pseudo-terminal", 2, true, LineKind::Serial, 2, "COM2", nullptr},
      {"a pin to nothing drops the open port", 3, false, LineKind::None, -1, "---", "Can not open COM 3|ok"},
      {"the same port again", 2, true, LineKind::Serial, 2, "COM2", nullptr},
      {"the module without a host", ui::kNetworkEntry, false, LineKind::None, -1, "---", nullptr},
  };
  ScriptedDialogs dialogs;
  ui::WindowLines lines(dialogs, nullptr, [] { return false; });
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    dialogs.events.clear();
    EXPECT_EQ(lines.open(s.entry), s.opens);
    const ui::LineState state = lines.state();
    EXPECT_EQ(state.kind, s.kind);
    EXPECT_EQ(state.entry, s.shownEntry);
    EXPECT_EQ(state.open, s.opens);
    EXPECT_EQ(lines.panelName(), s.panel);
    EXPECT_EQ(lines.chipLink().isOpen(), s.kind == LineKind::Serial);
    EXPECT_EQ(dialogs.of("error"), s.box ? std::vector<std::string>{s.box} : std::vector<std::string>{});
    // A failed serial choice says why in the state as well as in its box.
    EXPECT_EQ(state.why.find("velkorn/COM3: ") != std::string::npos, s.entry == 3) << state.why;
  }
  // Over a serial port the loan lends nothing: the engine keeps talking to the port.
  ASSERT_TRUE(lines.open(2));
  {
    const auto loan = lines.lend();
    EXPECT_TRUE(lines.chipLink().isOpen());
    EXPECT_TRUE(lines.chipLink().writeBytes("U"));
  }
  EXPECT_EQ(lines.state().kind, LineKind::Serial);
}

}  // namespace
}  // namespace velkorn::testing
