// The window against velkorn-target as its user drives it: how much each chip command reads
// (the blocks that hold data, blank checks for the rest, or every block when asked), Read
// Chip's blocks confirmed by a second answer, a change of line that forgets the board, the
// bootloader's rate and reset sequence from the Device tab, and what a running command
// shows in the title and the progress window.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <string_view>

#include "cli/process.h"
#include "ui/bootloader_box.h"
#include "ui/debug_window.h"
#include "ui/download_window.h"
#include "ui/sync_window.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReadBlinkHex =
    ":03000000020100FA\r\n:10010000758130759000B290ED04FFFAFEFADEFEC4\r\n:00000001FF\r\n";

// The flash of a chip that holds blinky.
std::vector<char> blinkFlash() {
  std::vector<char> flash(0x10000, static_cast<char>(0xFF));
  const unsigned char reset[] = {0x02, 0x01, 0x00};
  const unsigned char code[] = {0x75, 0x81, 0x30, 0x75, 0x90, 0x00, 0xB2, 0x90,
                                0xED, 0x04, 0xFF, 0xFA, 0xFE, 0xFA, 0xDE, 0xFE};
  std::copy(std::begin(reset), std::end(reset), flash.begin());
  std::copy(std::begin(code), std::end(code), flash.begin() + 0x100);
  return flash;
}

// Records of the debug log from `from` on: read requests (":05 0000 04 SSSS EEEE 00") and
// blank checks (the same with 01).
struct Requests {
  int reads = 0, blankChecks = 0;
};
Requests requestsIn(const QStringList& log, qsizetype from) {
  Requests r;
  for (qsizetype i = from; i < log.size(); ++i) {
    const QString& line = log[i];
    if (!line.startsWith(QStringLiteral(":05000004")) || line.size() != 21) continue;
    if (line.mid(17, 2) == QStringLiteral("00")) ++r.reads;
    if (line.mid(17, 2) == QStringLiteral("01")) ++r.blankChecks;
  }
  return r;
}

class WindowReading : public ::testing::Test {
 protected:
  void start(std::vector<std::string> options, bool holdsBlinky) {
    form_.reset();
    if (target_) target_->stop();
    dialogs_ = ScriptedDialogs{};
    for (const char* option : {"--link", "COM1", "--log"}) options.emplace_back(option);
    if (holdsBlinky) {
      const fs::path flash = home_.root() / "preset.bin";
      const std::vector<char> bytes = blinkFlash();
      std::ofstream(flash, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      options.insert(options.end(), {"--flash-in", flash.string()});
    }
    target_ = std::make_unique<Target>(options, (home_.root() / "target.log").string());
    ASSERT_FALSE(target_->port().empty()) << "velkorn-target did not start";
    std::error_code ec;
    ASSERT_TRUE(waitFor([&] { return fs::read_symlink(home_.dir() / "COM1", ec) == target_->port(); }, 10000));
    form_ = std::make_unique<ui::TForm1>(&dialogs_);
    syncWindow(*form_)->timer().setInterval(100);
    comEntry(*form_, 1)->trigger();
    ASSERT_EQ(panelText(*form_, 0), QStringLiteral("COM1"));
  }
  void TearDown() override {
    form_.reset();
    if (target_) target_->stop();
  }
  void loadBlinky() {
    const fs::path hex = home_.root() / "blink.hex";
    std::ofstream(hex, std::ios::binary) << kReadBlinkHex;
    dialogs_.fileAnswers = {QString::fromStdString(hex.string())};
    action(*form_, "LoadFile1")->trigger();
    ASSERT_TRUE(form_->engine().images().fileLoaded);
  }
  std::string targetLog() const {
    std::ifstream in(home_.root() / "target.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  ConfigHome home_;
  ScriptedDialogs dialogs_;
  std::unique_ptr<Target> target_;
  std::unique_ptr<ui::TForm1> form_;
};

TEST_F(WindowReading, EachCommandReadsTheDataAndBlankChecksTheRestUnlessTheWholeChipIsChosen) {
  // blinky's 19 bytes lie in blocks 0000 and 0100; the rest of the chip is blank.
  struct Case {
    const char* name;
    bool wholeChip;
    void (ui::TForm1::*command)();
    int reads;           // read requests sent
    int maxBlankChecks;  // blank checks sent, at most
    const char* result;
  };
  const Case cases[] = {
      // The blank check before the erase, then the blank run after the data twice: a "."
      // counts only when a second check agrees.
      {"program & verify", false, &ui::TForm1::MProgClick, 2, 3, "Programmed and verified"},
      {"verify file", false, &ui::TForm1::CompareFileClick, 2, 2, "Matched OK!!!"},
      // Each block read is read again, and the two answers must agree.
      {"read chip", false, &ui::TForm1::MReadClick, 4, 4, "Read"},
      {"program & verify, whole chip", true, &ui::TForm1::MProgClick, 256, 1, "Programmed and verified"},
      {"verify file, whole chip", true, &ui::TForm1::CompareFileClick, 256, 0, "Matched OK!!!"},
      {"read chip, whole chip", true, &ui::TForm1::MReadClick, 512, 0, "Read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start({}, true);
    loadBlinky();
    deviceWidget<ui::BootloaderBox>(*form_, "BootloaderBox")->wholeChipBox()->setChecked(c.wholeChip);
    const qsizetype from = debugWindow(*form_)->lines().size();

    (form_.get()->*c.command)();

    EXPECT_TRUE(dialogs_.of("error").empty()) << dialogs_.of("error").front();
    EXPECT_TRUE(resultText(*form_).startsWith(QString::fromLatin1(c.result))) << resultText(*form_).toStdString();
    const Requests sent = requestsIn(debugWindow(*form_)->lines(), from);
    EXPECT_EQ(sent.reads, c.reads);
    EXPECT_LE(sent.blankChecks, c.maxBlankChecks);
    if (c.command != &ui::TForm1::MReadClick) continue;
    // A blank check's "." vouches for its run: the whole chip counts as read, and holds
    // what the flash holds.
    const MemoryImages& images = form_->engine().images();
    EXPECT_EQ(images.chipRead.count(), 0x10000u);
    const std::vector<char> flash = blinkFlash();
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), images.chipImage.begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_TRUE(action(*form_, "SaveChip")->isEnabled());
  }
  // The choice is the window's own, kept for the next start, and not in Hotkey.TXT.
  form_.reset();
  ui::TForm1 again(&dialogs_);
  EXPECT_TRUE(deviceWidget<ui::BootloaderBox>(again, "BootloaderBox")->wholeChip());
}

TEST_F(WindowReading, ReadChipKeepsOnlyBytesThatTwoAnswersAgreeOn) {
  // The first read answer brings a wrong hex digit: read once, the saved chip held it.
  start({"--garble-read", "1", "--garble-with", "5"}, true);

  form_->MReadClick();

  EXPECT_TRUE(dialogs_.of("error").empty()) << dialogs_.of("error").front();
  const MemoryImages& images = form_->engine().images();
  const std::vector<char> flash = blinkFlash();
  for (int at = 0; at < 0x10000; ++at)
    ASSERT_EQ(images.chipImage[static_cast<std::size_t>(at)], static_cast<std::uint8_t>(flash[static_cast<std::size_t>(at)]))
        << at;
  EXPECT_EQ(images.chipRead.count(), 0x10000u);
}

TEST_F(WindowReading, AnotherLineForgetsThePreviousBoard) {
  // A 32 KiB board, synchronised and read; then a line is chosen again (another board may
  // hang on it now).
  start({"--32k"}, false);
  form_->MReadClick();
  ASSERT_EQ(form_->engine().images().chipSize, 0x8000);
  ASSERT_EQ(deviceWidget<QLabel>(*form_, "lMem")->text(), QStringLiteral("F7"));
  ASSERT_TRUE(action(*form_, "SaveChip")->isEnabled());

  comEntry(*form_, 1)->trigger();

  for (QLabel* value : {deviceWidget<QLabel>(*form_, "lManu"), deviceWidget<QLabel>(*form_, "lDevFam"), deviceWidget<QLabel>(*form_, "lMem"), deviceWidget<QLabel>(*form_, "lProduct"), deviceWidget<QLabel>(*form_, "lBSB"), deviceWidget<QLabel>(*form_, "lSBV"),
                        deviceWidget<QLabel>(*form_, "lHSB"), deviceWidget<QLabel>(*form_, "lBVersion")})
    EXPECT_TRUE(value->text().isEmpty()) << value->objectName().toStdString();
  EXPECT_EQ(panelText(*form_, 2), QString());
  EXPECT_EQ(resultText(*form_), QString());
  EXPECT_EQ(form_->engine().images().chipSize, 0x10000);
  EXPECT_TRUE(form_->engine().images().chipRead.none());  // the chip data is grey
  EXPECT_FALSE(action(*form_, "SaveChip")->isEnabled());
}

TEST_F(WindowReading, TheBootloaderRateAndResetComeFromTheDeviceTabAndStay) {
  start({}, false);
  QLineEdit* rate = deviceWidget<ui::BootloaderBox>(*form_, "BootloaderBox")->rateBox()->lineEdit();
  rate->selectAll();
  QTest::keyClicks(rate, QStringLiteral("230400"));
  QTest::keyClick(rate, Qt::Key_Return);
  QLineEdit* reset = deviceWidget<ui::BootloaderBox>(*form_, "BootloaderBox")->resetField();
  // A step that is none is refused with its reason; nothing is kept of it.
  QTest::keyClicks(reset, QStringLiteral("dtr=2"));
  QTest::keyClick(reset, Qt::Key_Return);
  ASSERT_EQ(dialogs_.of("error").size(), 1u);
  EXPECT_EQ(dialogs_.of("error")[0].rfind("Reset sequence not used: 'dtr=2' is no step", 0), 0u) << dialogs_.of("error")[0];
  reset->clear();
  QTest::keyClicks(reset, QStringLiteral("dtr=0, wait=20, dtr=1"));
  QTest::keyClick(reset, Qt::Key_Return);

  deviceWidget<QPushButton>(*form_, "BitBtn1")->click();

  ASSERT_EQ(dialogs_.of("error").size(), 1u) << dialogs_.of("error").back();
  EXPECT_EQ(deviceWidget<QLabel>(*form_, "lManu")->text(), QStringLiteral("58"));
  EXPECT_EQ(panelText(*form_, 1), QStringLiteral("230400"));
  EXPECT_NE(targetLog().find("line at 230400 bit/s"), std::string::npos) << targetLog();
  const QStringList log = debugWindow(*form_)->lines();
  EXPECT_EQ(log.filter(QRegularExpression(QStringLiteral("^reset: "))),
            (QStringList{"reset: dtr=0", "reset: wait=20", "reset: dtr=1"}));
  // A pseudo-terminal has no modem lines: said once, and the synchronisation goes on.
  EXPECT_EQ(log.filter(QStringLiteral("COM1 does not take dtr=0 (")).size(), 1) << log.join(QLatin1Char('|')).toStdString();
  // The terminal keeps its own rate.
  tabs(*form_)->setCurrentWidget(tabSheet(*form_, 4));
  tabs(*form_)->setCurrentWidget(tabSheet(*form_, 3));
  EXPECT_EQ(panelText(*form_, 1), QStringLiteral("115200"));

  form_.reset();
  ui::TForm1 again(&dialogs_);
  EXPECT_EQ(deviceWidget<ui::BootloaderBox>(again, "BootloaderBox")->rate(), 230400);
  EXPECT_EQ(again.engine().bootloaderRate, 230400);
  EXPECT_EQ(deviceWidget<ui::BootloaderBox>(again, "BootloaderBox")->resetText(), QStringLiteral("dtr=0,wait=20,dtr=1"));
}

TEST(WindowReset, ABoardThatRunsItsApplicationSynchronisesAfterTheResetSequence) {
  // The board answers no "U" until DTR has gone low and high again; the server drives DTR
  // as RFC 2217 asks it to.
  ConfigHome home;
  Target target({"--tcp", "0", "--rfc2217", "--needs-reset", "--log"}, (home.root() / "target.log").string());
  ASSERT_FALSE(target.port().empty()) << "velkorn-target did not start";
  ScriptedDialogs dialogs;
  ui::TForm1 form(&dialogs);
  syncWindow(form)->timer().setInterval(100);
  deviceWidget<ui::BootloaderBox>(form, "BootloaderBox")->resetField()->setText(QStringLiteral("dtr=0,wait=10,dtr=1,wait=10"));
  emit deviceWidget<ui::BootloaderBox>(form, "BootloaderBox")->resetEdited();
  const std::string url = "rfc2217://" + target.port().substr(std::string_view("tcp://").size());
  form.eIP->setText(QString::fromStdString(url));
  action(form, "MTCP")->trigger();
  ASSERT_EQ(panelText(form, 0), QStringLiteral("TCP")) << ::testing::PrintToString(dialogs.events);

  deviceWidget<QPushButton>(form, "BitBtn1")->click();

  EXPECT_TRUE(dialogs.of("error").empty()) << dialogs.of("error").front();
  EXPECT_EQ(deviceWidget<QLabel>(form, "lManu")->text(), QStringLiteral("58"));
}

TEST_F(WindowReading, ARunningCommandShowsItsProgressInTheTitleAndEndsWithout) {
  start({"--pace"}, false);
  loadBlinky();
  const QString idle = form_->windowTitle();
  QStringList titles;
  QObject::connect(form_.get(), &QWidget::windowTitleChanged, form_.get(), [&](const QString& t) { titles << t; });

  form_->MProgClick();

  ASSERT_TRUE(resultText(*form_).startsWith(QStringLiteral("Programmed and verified")));
  const auto shows = [&](const char* phase) {
    return std::any_of(titles.begin(), titles.end(), [&](const QString& t) {
      return t.startsWith(QString::fromLatin1(phase)) && t.endsWith(QStringLiteral("% - ") + idle);
    });
  };
  EXPECT_TRUE(shows("Programming... ")) << titles.join(QLatin1Char('|')).toStdString();
  EXPECT_TRUE(shows("Verifying... ")) << titles.join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(form_->windowTitle(), idle);
}

TEST_F(WindowReading, ALongEraseShowsItsTimeAndEscapeEndsIt) {
  // The erase answer comes after 20 s; the operator sees the progress window counting and
  // presses Escape.
  start({"--erase-delay", "20000"}, false);
  form_->show();
  QString titleWhileErasing, elapsedShown;
  QTimer watch;
  watch.setInterval(20);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    ui::TDownLoadDlg* progress = downloadWindow(*form_);
    if (!elapsedShown.isEmpty() || !progress->isVisible() || progress->timeLabel()->text().isEmpty()) return;
    elapsedShown = progress->timeLabel()->text();
    titleWhileErasing = form_->windowTitle();
    QTest::keyClick(progress, Qt::Key_Escape);
  });
  watch.start();

  form_->MEraseClick();

  // Whole seconds, the first of them at least: how many depends on when the loop turned.
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^[1-9][0-9]*s $")).match(elapsedShown).hasMatch())
      << "the erase showed no time: " << elapsedShown.toStdString();
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^Erasing\\.\\.\\. [1-9][0-9]* s - ")).match(titleWhileErasing).hasMatch())
      << titleWhileErasing.toStdString();
  EXPECT_TRUE(resultText(*form_).startsWith(QStringLiteral("Aborted"))) << resultText(*form_).toStdString();
  EXPECT_FALSE(downloadWindow(*form_)->isVisible());
  EXPECT_TRUE(dialogs_.of("message").empty());
}

}  // namespace
}  // namespace velkorn::testing
