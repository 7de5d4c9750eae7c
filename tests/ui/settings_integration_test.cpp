// The settings file through the window: the defaults and their message without a file,
// every value surviving a close and a new window, a bad number stopping the loading where
// it stands, the fifteen lines written, and a failed save keeping the earlier file.
#include <signal.h>
#include <sys/resource.h>

#include <QAction>
#include <QAbstractButton>
#include <QButtonGroup>
#include <QGuiApplication>
#include <QScreen>
#include <QPushButton>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <fstream>
#include <iterator>

#include "image/failures.h"
#include "link/powersock.h"
#include "window_fixture.h"
#include "support/file_size_limit.h"

namespace velkorn::testing {
namespace {

class SettingsInWindow : public FormTest {
 protected:
  std::filesystem::path file() const { return home_.dir() / file::kSettingsFileName; }
  void writeFile(const std::string& content) const { std::ofstream(file(), std::ios::binary) << content; }
  std::string readFile() const {
    std::ifstream in(file(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<QString> captions() const {
    std::vector<QString> out;
    for (int i = 0; i < file::kHotKeyCount; ++i) out.push_back(form_->terminal()->hotKeyCaption(i));
    return out;
  }

};

TEST_F(SettingsInWindow, WithoutAFileTheMessageComesOnceAndTheDefaultsStay) {
  ui::TForm1& form = makeForm();
  EXPECT_EQ(dialogs_.of("info"),
            std::vector<std::string>{std::string(ui::kProgramTitle) + "|" + file::kSettingsMissingText});
  EXPECT_EQ(dialogs_.hiddenOwners, 0);
  EXPECT_TRUE(dialogs_.of("error").empty());
  EXPECT_EQ(captions(), (std::vector<QString>{"KP01001", "KP02001", "AM0105", "QS0105", "DOWNLOAD", ""}));
  EXPECT_EQ(form.terminal()->cycleText(), QStringLiteral("KP01@"));
  EXPECT_EQ(form.terminal()->cycleIntervalText(), QStringLiteral("500 ms"));
  EXPECT_EQ(form.eIP->text(), QStringLiteral("IP"));
  EXPECT_EQ(form.sock->Host, "");
  EXPECT_EQ(form.rgBaud->checkedId(), 9);
  EXPECT_EQ(form.terminalRate(), 0);  // shown selected, but rgBaudClick did not run
  EXPECT_EQ(form.engine().hexFileName, "");
  EXPECT_EQ(form.terminalFont().family(), QStringLiteral("Courier New"));

  // The field's initial text never passed through eIPChange: no module host is stored.
  form.close();
  EXPECT_EQ(readFile().find("\r\nIP\r\n"), std::string::npos) << readFile();
  EXPECT_NE(readFile().find(" (Left,Top,Width,Height)\r\n\r\n9\r\n"), std::string::npos) << readFile();
}

TEST_F(SettingsInWindow, EveryValueSurvivesACloseAndANewWindow) {
  ui::TForm1& first = makeForm();
  ui::TTerminal& t = *first.terminal();
  const char* const keys[file::kHotKeyCount] = {"A1", "B2", "", "D@4", "E5", "F6"};
  for (int i = 0; i < file::kHotKeyCount; ++i) t.setHotKeyCaption(i, QString::fromLatin1(keys[i]));
  t.setCycleText(QStringLiteral("PING@"));
  t.setCycleIntervalText(QStringLiteral("750 ms"));
  first.move(31, 42);
  first.resize(760, 503);
  first.eIP->setText(QStringLiteral("10.1.2.3:4001"));
  first.rgBaud->button(5)->click();  // 9600
  first.engine().hexFileName = "/data/fw/blinky.hex";
  QFont font(QStringLiteral("DejaVu Sans Mono"), 13);
  font.setBold(true);
  dialogs_.fontAnswer = font;
  deviceWidget<QPushButton>(first, "BitBtn2")->click();
  first.close();
  EXPECT_TRUE(dialogs_.of("error").empty());

  EXPECT_EQ(readFile(),
            "A1\r\nB2\r\n\r\nD@4\r\nE5\r\nF6\r\nPING@\r\n750 ms\r\n"
            "31,42,760,503, (Left,Top,Width,Height)\r\n10.1.2.3:4001\r\n5\r\n/data/fw/blinky.hex\r\n"
            "DejaVu Sans Mono\r\n13\r\nBOLD\r\n");

  dialogs_ = ScriptedDialogs{};
  ui::TForm1& second = makeForm();
  EXPECT_TRUE(dialogs_.events.empty()) << dialogs_.events.front();
  EXPECT_EQ(captions(), (std::vector<QString>{"A1", "B2", "", "D@4", "E5", "F6"}));
  EXPECT_EQ(second.terminal()->cycleText(), QStringLiteral("PING@"));
  EXPECT_EQ(second.terminal()->cycleIntervalText(), QStringLiteral("750 ms"));
  EXPECT_EQ(second.geometry().topLeft(), QPoint(31, 42));
  EXPECT_EQ(second.size(), QSize(760, 503));
  EXPECT_EQ(second.eIP->text(), QStringLiteral("10.1.2.3:4001"));
  EXPECT_EQ(second.sock->Host, "10.1.2.3");
  EXPECT_EQ(second.sock->Port, 4001);
  EXPECT_EQ(second.rgBaud->checkedId(), 5);
  EXPECT_EQ(second.terminalRate(), 9600);  // through rgBaudClick
  EXPECT_EQ(second.engine().hexFileName, "/data/fw/blinky.hex");
  EXPECT_EQ(second.terminalFont().family(), QStringLiteral("DejaVu Sans Mono"));
  EXPECT_EQ(second.terminalFont().pointSize(), 13);
  EXPECT_TRUE(second.terminalFont().bold());
}

TEST_F(SettingsInWindow, ABadNumberStopsTheLoadingWhereItStands) {
  struct Case {
    const char* name;
    std::string lines;  // the file, without the first eight lines
    std::string offending;
    bool hostApplied, baudApplied, fileApplied;
  };
  const std::string hostLine = "module:2000\r\n";
  const Case cases[] = {
      {"height without its comma", "1,2,640,480\r\n" + hostLine + "3\r\nf.hex\r\n", "", false, false, false},
      {"baud index", "1,2,640,480,\r\n" + hostLine + "x9\r\nf.hex\r\n", "x9", true, false, false},
      {"font size", "1,2,640,480,\r\n" + hostLine + "3\r\nf.hex\r\nMono\r\nbig\r\nBOLD\r\n", "big", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile("H1\r\nH2\r\nH3\r\nH4\r\nH5\r\nH6\r\nC@\r\n9 ms\r\n" + c.lines);
    dialogs_ = ScriptedDialogs{};
    ui::TForm1& form = makeForm();
    EXPECT_EQ(dialogs_.of("error"), std::vector<std::string>{invalidIntegerText(c.offending) + "|ok"});
    EXPECT_EQ(dialogs_.hiddenOwners, 0) << "the box is shown before the window";
    EXPECT_EQ(form.terminal()->hotKeyCaption(5), QStringLiteral("H6"));  // earlier values stay
    EXPECT_EQ(form.terminal()->cycleIntervalText(), QStringLiteral("9 ms"));
    EXPECT_EQ(form.x(), 1);
    EXPECT_EQ(form.sock->Host, c.hostApplied ? "module" : "");
    EXPECT_EQ(form.eIP->text(), c.hostApplied ? QStringLiteral("module:2000") : QStringLiteral("IP"));
    EXPECT_EQ(form.terminalRate(), c.baudApplied ? 2400 : 0);
    EXPECT_EQ(form.engine().hexFileName, c.fileApplied ? "f.hex" : "");
    // The font's name comes before its size in the file.
    EXPECT_EQ(form.terminalFont().family(), c.fileApplied ? QStringLiteral("Mono") : QStringLiteral("Courier New"));
    // The window started: its start-up went on past the settings.
    EXPECT_NE(debugWindow(form), nullptr);
  }
}

TEST(WindowPlacement, FitsOntoTheScreenItLandsOn) {
  const QRect small(0, 0, 1280, 1024);
  const QRect right(1280, 0, 1920, 1080);
  const QMargins none, openbox(1, 24, 1, 1);
  const QSize minimum(600, 400);
  struct Case {
    const char* name;
    ui::Placement wanted;
    std::vector<QRect> screens;
    QMargins frame;
    ui::Placement placed;
  };
  const int big = 2147483647;
  const Case cases[] = {
      {"on the screen: unchanged", {10, 20, 800, 600}, {small}, none, {10, 20, 800, 600}},
      {"off a smaller screen", {2600, 1900, 800, 600}, {small}, none, {480, 424, 800, 600}},
      {"off a smaller screen, with the title bar", {2600, 1900, 800, 600}, {small}, openbox, {478, 399, 800, 600}},
      {"scale factor 2 halves the screen", {2600, 1900, 800, 600}, {QRect(0, 0, 640, 512)}, none, {0, 0, 640, 512}},
      {"the largest numbers", {big, big, big, big}, {small}, openbox, {0, 0, 1278, 999}},
      {"the smallest numbers", {-big - 1, -big - 1, -big - 1, -big - 1}, {small}, none, {0, 0, 600, 400}},
      {"left of the screen", {-3000, 200, 700, 500}, {small}, none, {0, 200, 700, 500}},
      {"on the second screen", {1500, 100, 800, 600}, {small, right}, none, {1500, 100, 800, 600}},
      {"mostly on the second screen", {1200, 100, 800, 600}, {small, right}, none, {1280, 100, 800, 600}},
      {"second screen unplugged", {1500, 100, 800, 600}, {small}, none, {480, 100, 800, 600}},
      {"nearest screen when on none", {4000, 300, 800, 600}, {small, right}, none, {2400, 300, 800, 600}},
      {"the screen wins over the minimum", {0, 0, 100, 100}, {QRect(0, 0, 500, 300)}, none, {0, 0, 500, 300}},
  };
  for (const Case& c : cases) {
    const ui::Placement got = ui::fitOntoScreen(c.wanted, c.screens, c.frame, minimum);
    EXPECT_EQ(got, c.placed) << c.name << ": " << got.left << "," << got.top << "," << got.width << ","
                             << got.height;
  }
}

TEST_F(SettingsInWindow, APlacementOffTheScreenIsBroughtOntoItAndSavedSo) {
  // 2147483647 x 2147483647 took 4.2 GB at start, and the 32767 x 32767 the window got was
  // saved for the next start.
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  for (const char* placement : {"2147483647,2147483647,2147483647,2147483647,", "2600,1900,800,600,",
                                "-5000,-7000,300,200,"}) {
    SCOPED_TRACE(placement);
    writeFile("H1\r\nH2\r\nH3\r\nH4\r\nH5\r\nH6\r\nC@\r\n9 ms\r\n" + std::string(placement) + "\r\n");
    ui::TForm1& form = makeForm();
    EXPECT_TRUE(screen.contains(QRect(form.pos(), form.size()))) << form.x() << "," << form.y() << " " << form.width()
                                                                 << "x" << form.height();
    // The size the window system allows is no measure either: what is saved fits the screen.
    form.resize(32767, 32767);
    form.close();
    const file::LoadedSettings saved = file::parseSettings(readFile());
    EXPECT_TRUE(screen.contains(QRect(saved.values.left, saved.values.top, saved.values.width, saved.values.height)))
        << readFile();
  }
}

TEST_F(SettingsInWindow, AFailedSaveIsReportedAndKeepsTheEarlierFile) {
  const std::string earlier = "H1\r\nH2\r\nH3\r\nH4\r\nH5\r\nH6\r\n";
  writeFile(earlier);
  ui::TForm1& form = makeForm();
  form.eIP->setText(QStringLiteral("changed"));

  {
    const testing::FileSizeLimit fullDisk;  // writes past a few bytes fail
    action(form, "Exit1")->trigger();
  }

  EXPECT_EQ(dialogs_.of("error").size(), 1u);
  EXPECT_EQ(readFile(), earlier);
}

}  // namespace
}  // namespace velkorn::testing
