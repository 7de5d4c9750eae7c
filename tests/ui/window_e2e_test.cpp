// The window against velkorn-target on a pseudo-terminal published as COM1: Sync fills the
// Device tab, Program & Verify puts a HEX file into the simulated flash and hands the line
// back to the terminal, and each command's outcome gets its closing box and tab. The same
// over "&TCP/Winsock": a raw server, the module's own connection, RFC 2217 through ser2net.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "cli/process.h"
#include "support/ser2net.h"
#include "velkorn_version.h"
#include "ui/bootloader_box.h"
#include "ui/debug_window.h"
#include "ui/download_window.h"
#include "ui/sync_window.h"
#include "window_fixture.h"

namespace velkorn::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBlinkHex =
    ":03000000020100FA\r\n:10010000758130759000B290ED04FFFAFEFADEFEC4\r\n:00000001FF\r\n";

class WindowEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  // A fresh target (with these options added) and a fresh window on it.
  void start(std::vector<std::string> options) {
    form_.reset();
    if (target_) target_->stop();
    dialogs_ = ScriptedDialogs{};
    for (const char* option : {"--link", "COM1", "--log", "--flash-out"}) options.emplace_back(option);
    options.push_back((home_.root() / "flash.bin").string());
    target_ = std::make_unique<Target>(options, (home_.root() / "target.log").string());
    ASSERT_FALSE(target_->port().empty()) << "velkorn-target did not start";
    ASSERT_TRUE(waitFor([&] { return fs::read_symlink(home_.dir() / "COM1", ec_) == target_->port(); }, 10000));
    form_ = std::make_unique<ui::TForm1>(&dialogs_);
    // The sync window's own minute is the bound on a silent target; keep it short here.
    syncWindow(*form_)->timer().setInterval(100);
    ASSERT_TRUE(comEntry(*form_, 1)->isEnabled());
    comEntry(*form_, 1)->trigger();
    ASSERT_EQ(panelText(*form_, 0), QStringLiteral("COM1"));
  }
  void TearDown() override {
    form_.reset();
    if (target_) target_->stop();
  }

  std::vector<std::uint8_t> flashAfterStop() {
    target_->stop();
    std::ifstream in(home_.root() / "flash.bin", std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }

  std::string writeHex(const std::string& text, const char* name = "blink.hex") const {
    const fs::path hex = home_.root() / name;
    std::ofstream(hex, std::ios::binary) << text;
    return hex.string();
  }

  ConfigHome home_;
  std::error_code ec_;
  ScriptedDialogs dialogs_;
  std::unique_ptr<Target> target_;
  std::unique_ptr<ui::TForm1> form_;
};

TEST_F(WindowEndToEnd, SyncShowsTheTargetsDeviceInformation) {
  deviceWidget<QPushButton>(*form_, "BitBtn1")->click();

  EXPECT_TRUE(dialogs_.of("error").empty()) << dialogs_.of("error").front();
  const std::pair<QLabel*, const char*> shown[] = {
      {deviceWidget<QLabel>(*form_, "lManu"), "58"}, {deviceWidget<QLabel>(*form_, "lDevFam"), "D7"}, {deviceWidget<QLabel>(*form_, "lMem"), "FC"},  {deviceWidget<QLabel>(*form_, "lProduct"), "FF"},
      {deviceWidget<QLabel>(*form_, "lBSB"), "FF"},  {deviceWidget<QLabel>(*form_, "lSBV"), "FC"},    {deviceWidget<QLabel>(*form_, "lHSB"), "FB"},  {deviceWidget<QLabel>(*form_, "lBVersion"), "12"},
  };
  for (const auto& [label, text] : shown) EXPECT_EQ(label->text(), QString::fromLatin1(text)) << label->objectName().toStdString();
  EXPECT_EQ(panelText(*form_, 2), QStringLiteral("BOOTLOADER"));
  EXPECT_EQ(panelText(*form_, 1), QStringLiteral("115200"));
  EXPECT_FALSE(syncWindow(*form_)->isVisible());

  // Every record as sent, each followed by its reply.
  const QStringList log = debugWindow(*form_)->lines();
  const char* const records[] = {":020000050000F9", ":020000050001F8", ":020000050002F7", ":020000050003F6",
                                 ":020000050700F2", ":020000050701F1", ":020000050702F0", ":020000050703EF",
                                 ":020000050800F1"};
  qsizetype at = log.indexOf(QStringLiteral("Load Misc"));
  ASSERT_GE(at, 0);
  for (const char* record : records) {
    SCOPED_TRACE(record);
    at = log.indexOf(QString::fromLatin1(record), at);
    ASSERT_GE(at, 0);
    ASSERT_LT(at + 1, log.size());
    EXPECT_TRUE(log[at + 1].startsWith(QStringLiteral("->"))) << log[at + 1].toStdString();
  }
}

TEST_F(WindowEndToEnd, ProgramAndVerifyWritesTheFileIntoTheFlash) {
  dialogs_.fileAnswers = {QString::fromStdString(writeHex(kBlinkHex))};
  action(*form_, "LoadFile1")->trigger();
  ASSERT_TRUE(form_->engine().images().fileLoaded);
  ASSERT_TRUE(action(*form_, "MReload")->isEnabled());
  EXPECT_TRUE(form_->windowTitle().endsWith(QStringLiteral(" v0.98 - blink.hex"))) << form_->windowTitle().toStdString();

  action(*form_, "MProg")->trigger();

  EXPECT_TRUE(dialogs_.of("error").empty()) << dialogs_.of("error").front();
  EXPECT_EQ(dialogs_.of("message"), std::vector<std::string>{"Programm BSB|completed successfully"});
  EXPECT_EQ(tabs(*form_)->currentWidget(), tabSheet(*form_, 3));
  EXPECT_TRUE(terminalPoll(*form_)->isActive());
  EXPECT_FALSE(downloadWindow(*form_)->isVisible());
  EXPECT_TRUE(action(*form_, "MProg")->isEnabled());
  EXPECT_EQ(deviceWidget<QLabel>(*form_, "lBSB")->text(), QStringLiteral("00"));  // the closing record cleared it

  const auto flash = flashAfterStop();
  ASSERT_EQ(flash.size(), 0x10000u);
  const auto& image = form_->engine().images().fileImage;
  for (int address = 0; address < 0x10000; ++address) {
    ASSERT_EQ(flash[static_cast<std::size_t>(address)], image[static_cast<std::size_t>(address)]) << address;
  }
  EXPECT_EQ(flash[0], 0x02);
  EXPECT_EQ(flash[0x100], 0x75);
  EXPECT_EQ(flash[0x200], 0xFF);
}

// Data in the bootloader's top KiB is programmed but never compared: the window says so
// once for each file it loads, however often it is loaded again.
TEST_F(WindowEndToEnd, DataBeyondTheComparisonIsSaidOncePerFile) {
  const std::string top = writeHex(":01FC1000AA49\r\n:00000001FF\r\n");
  for (int load = 0; load < 2; ++load) {
    dialogs_.fileAnswers = {QString::fromStdString(top)};
    action(*form_, "LoadFile1")->trigger();
    ASSERT_TRUE(form_->engine().images().fileLoaded);
  }
  std::vector<std::string> notes = dialogs_.of("info");
  std::erase_if(notes, [](const std::string& n) { return n.find("not compared") == std::string::npos; });
  EXPECT_EQ(notes, std::vector<std::string>{"Velkorn RD2 / ED2 v0.98|blink.hex holds data at FC00 and above (from "
                                            "FC10): programmed, but not compared"});
}

TEST_F(WindowEndToEnd, EachOutcomeGetsItsClosingBoxAndOnlyAWrittenBootConfigHandsBack) {
  struct Case {
    const char* name;
    std::vector<std::string> targetOptions;
    std::function<void(ui::TForm1&)> command;
    std::vector<std::string> messages;
    const char* lastError;  // the last error box starts so; nullptr: no error box
    int tab;                // the sheet shown afterwards
    const char* result;     // the status bar keeps it, then the time
  };
  const std::string hex = writeHex(kBlinkHex);
  const std::string blank = writeHex(":00000001FF\r\n", "blank.hex");  // the file image all FF, as the erased flash
  const std::string past = writeHex(":03000000020100FA\r\n:01900300125A\r\n:00000001FF\r\n", "past.hex");
  const Case cases[] = {
      // Not synchronised, the bootloader stays silent: no echo, and the closing record fails.
      {"boot configuration refused", {}, [](ui::TForm1& f) { f.MBSBClick(); }, {}, "Programm BSB FAILED!|ok",
       4, "Programm BSB FAILED"},
      {"reload",
       {},
       [&](ui::TForm1& f) {
         f.engine().hexFileName = hex;
         f.MReloadClick();
       },
       {},
       nullptr,
       3,
       "Programmed and verified"},
      // A file without data would only erase the chip: refused before the erase.
      {"reload of a file without data",
       {},
       [&](ui::TForm1& f) {
         f.engine().hexFileName = blank;
         f.MReloadClick();
       },
       {},
       "The file holds no data: the chip was not erased",
       1,
       "File not loaded"},
      // Tables past a 32 KiB part's end: refused before the erase, the first address named.
      {"reload of a file past the chip",
       {"--32k"},
       [&](ui::TForm1& f) {
         f.engine().hexFileName = past;
         f.MReloadClick();
       },
       {},
       "The file holds data at 9003, past the end of this chip (8000 bytes): nothing was done",
       1,
       "File not loaded"},
      {"verify matched", {}, [&](ui::TForm1& f) {
         dialogs_.fileAnswers = {QString::fromStdString(blank)};
         f.CompareFileClick();
       },
       {"Verifying...|Matched OK!!!"}, nullptr, 2, "Matched OK!!!"},
      {"verify of the whole chip with an unreadable line", {"--garble-read", "1"}, [&](ui::TForm1& f) {
         dialogs_.fileAnswers = {QString::fromStdString(blank)};
         deviceWidget<ui::BootloaderBox>(f, "BootloaderBox")->setWholeChip(true);  // a blank file needs no read otherwise
         f.CompareFileClick();
       },
       {}, "Read record data error [", 2,
       "Not verified: 1 lines not read from 0000; Read incomplete: 16 bytes not read, the first at 0000; shown grey"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.targetOptions);
    tabs(*form_)->setCurrentWidget(tabSheet(*form_, 4));  // the operator looks at Device

    c.command(*form_);

    EXPECT_EQ(dialogs_.of("message"), c.messages);
    const auto errors = dialogs_.of("error");
    if (!c.lastError) {
      EXPECT_TRUE(errors.empty()) << errors.front();
    } else {
      ASSERT_FALSE(errors.empty());
      EXPECT_EQ(errors.back().rfind(c.lastError, 0), 0u) << errors.back();
    }
    EXPECT_EQ(tabs(*form_)->currentWidget(), tabSheet(*form_, c.tab));
    EXPECT_EQ(terminalPoll(*form_)->isActive(), c.tab == 3);
    const QString result = resultText(*form_);
    EXPECT_EQ(result.left(result.size() - 6).toStdString(), c.result);
    EXPECT_TRUE(QTime::fromString(result.right(5), QStringLiteral("HH:mm")).isValid()) << result.toStdString();
  }
}

TEST_F(WindowEndToEnd, ClosingDuringACommandAsksAndOnYesEndsItQuietlyThenCloses) {
  // "&Exit" while a command runs: the operator is asked first; on Yes the command ends at
  // its next look at the flags, no box or progress window appears any more, and the window
  // closes once the command returned; on No the command goes on to its end.
  struct Case {
    const char* name;
    bool quit;  // the answer to the question
  };
  const std::string hex = writeHex(kBlinkHex);
  const Case cases[] = {
      {"reload, closed while programming", true},
      {"reload, close declined while programming", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start({});
    fs::remove(home_.dir() / "Hotkey.TXT", ec_);  // the last case's shut-down wrote one
    syncWindow(*form_)->timer().setInterval(1000);  // the close, not the limit, ends the wait
    form_->show();
    dialogs_.confirmAnswers = {c.quit};
    std::size_t boxesBeforeClose = SIZE_MAX;
    qsizetype logBeforeClose = -1;
    auto exitNow = [&] {
      if (logBeforeClose >= 0) return;
      boxesBeforeClose = dialogs_.events.size();
      logBeforeClose = debugWindow(*form_)->lines().size();
      action(*form_, "Exit1")->trigger();
    };
    QObject::connect(downloadWindow(*form_), &QWidget::windowTitleChanged, form_.get(), [&](const QString& title) {
      if (title == QStringLiteral("Programming...")) exitNow();
    });

    form_->engine().hexFileName = hex;
    form_->MReloadClick();

    ASSERT_GE(logBeforeClose, 0) << "the close came too late";
    ASSERT_GT(dialogs_.events.size(), boxesBeforeClose);
    EXPECT_EQ(dialogs_.events[boxesBeforeClose], std::string("confirm|") + ui::kProgramTitle + "|" + ui::kAbortAndQuitText);
    EXPECT_EQ(form_->isVisible(), !c.quit);
    EXPECT_FALSE(form_->engine().busy());
    EXPECT_FALSE(downloadWindow(*form_)->isVisible());
    EXPECT_FALSE(syncWindow(*form_)->isVisible());
    const QStringList after = debugWindow(*form_)->lines().mid(logBeforeClose);
    EXPECT_EQ(after.contains(QStringLiteral("Reading Chip")), !c.quit);
    EXPECT_EQ(fs::exists(home_.dir() / "Hotkey.TXT"), c.quit) << "the shut-down ran, or did not";
    if (c.quit) {
      EXPECT_EQ(dialogs_.events.size(), boxesBeforeClose + 1) << dialogs_.events.back();
    } else {
      EXPECT_TRUE(resultText(*form_).startsWith(QStringLiteral("Programmed and verified"))) << resultText(*form_).toStdString();
    }
  }
}

TEST(WindowDeadLine, ALineThatDiesEndsTheCommandWithOneBoxNamingTheCauseAndShowsNoLine) {
  // A target gone, an adapter unplugged, a server that closed: retry boxes alternated
  // without end, and after Cancel nothing said why.
  enum class Line { Serial, Network, Module };
  enum class When { BeforeTheCommand, DuringVerify, BetweenCommands };
  struct Case {
    const char* name;
    Line line;
    When when;
    const char* panel;  // status panel 0 while the line was open
  };
  const Case cases[] = {
      {"serial hang-up before a sync", Line::Serial, When::BeforeTheCommand, "COM1"},
      {"serial hang-up during verify", Line::Serial, When::DuringVerify, "COM1"},
      {"serial hang-up with no command", Line::Serial, When::BetweenCommands, "COM1"},
      {"network server closes before a read", Line::Network, When::BeforeTheCommand, "TCP"},
      {"network server closes during verify", Line::Network, When::DuringVerify, "TCP"},
      {"module closes during verify", Line::Module, When::DuringVerify, "TCP"},
      {"module closes with no command", Line::Module, When::BetweenCommands, "TCP"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigHome home;
    std::vector<std::string> options = {"--log"};
    if (c.line == Line::Serial) options.insert(options.end(), {"--link", "COM1"});
    else options.insert(options.end(), {"--tcp", "0"});
    Target target(options, (home.root() / "target.log").string());
    ASSERT_FALSE(target.port().empty()) << "velkorn-target did not start";
    std::error_code ec;
    if (c.line == Line::Serial) {
      ASSERT_TRUE(waitFor([&] { return fs::read_symlink(home.dir() / "COM1", ec) == target.port(); }, 10000));
    }
    ScriptedDialogs dialogs;
    ui::TForm1 form(&dialogs);
    syncWindow(form)->timer().setInterval(100);
    if (c.line == Line::Serial) {
      comEntry(form, 1)->trigger();
    } else {
      const std::string url = target.port();
      form.eIP->setText(QString::fromStdString(c.line == Line::Module ? url.substr(std::string_view("tcp://").size()) : url));
      action(form, "MTCP")->trigger();
    }
    ASSERT_EQ(panelText(form, 0), QString::fromLatin1(c.panel));

    const fs::path blank = home.root() / "blank.hex";
    std::ofstream(blank, std::ios::binary) << ":00000001FF\r\n";
    dialogs.fileAnswers = {QString::fromStdString(blank.string())};
    switch (c.when) {
      case When::BeforeTheCommand:
        target.stop();
        form.BitBtn1Click();
        break;
      case When::DuringVerify:
        deviceWidget<ui::BootloaderBox>(form, "BootloaderBox")->setWholeChip(true);  // the blank file's verify reads then
        QObject::connect(downloadWindow(form)->progressBar(), &QProgressBar::valueChanged, &form, [&](int at) {
          if (at >= 1024) target.stop();
        });
        form.CompareFileClick();
        break;
      case When::BetweenCommands:
        target.stop();
        ASSERT_TRUE(waitFor([&] { return !dialogs.of("error").empty(); }, 5000)) << "the lost line went unnoticed";
        break;
    }

    const auto errors = dialogs.of("error");
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(dialogs.events);
    const std::string lost = std::string("Line lost: ") + c.panel + ": ";
    EXPECT_EQ(errors[0].rfind(lost, 0), 0u) << errors[0];
    EXPECT_GT(errors[0].size(), lost.size() + 3) << "no cause named";
    EXPECT_TRUE(resultText(form).startsWith(QString::fromStdString(lost))) << resultText(form).toStdString();
    EXPECT_EQ(panelText(form, 0), QStringLiteral("---"));
    EXPECT_EQ(panelText(form, 1), QString());
    EXPECT_FALSE(action(form, "MRead")->isEnabled());
    EXPECT_FALSE(action(form, "MProg")->isEnabled());
    EXPECT_TRUE(action(form, "Debug1")->isEnabled());
    EXPECT_FALSE(syncWindow(form)->isVisible());
    EXPECT_FALSE(downloadWindow(form)->isVisible());
    EXPECT_FALSE(form.engine().busy());
    // Nothing is open any more: the next chip command says so at once.
    form.BitBtn1Click();
    EXPECT_EQ(dialogs.of("error").back(), std::string(ui::kNoLineText) + "|ok");
  }
}

TEST(WindowOverTheNetwork, ChipCommandsRunOverEachKindOfServer) {
  // The host field names the server: a scheme for a network serial server (the network
  // link), none for the module (its connection lent to the command, its terminal held off).
  enum class Server { Raw, Module, Rfc2217 };
  struct Case {
    const char* name;
    Server server;
    bool program;       // Program & Verify, else Sync
    const char* rate;   // status panel 1 afterwards
    const char* logged; // the link's note in the debug log
    const char* delayMs = nullptr;  // each way, between the window and the target
  };
  constexpr const char* kRawNote = "rate changes are not possible over a raw TCP link";
  const Case cases[] = {
      {"raw server", Server::Raw, true, "115200", kRawNote},
      {"module", Server::Module, true, "", kRawNote},
      {"rfc2217 through ser2net", Server::Rfc2217, false, "115200", "rate 115200 set on"},
      // Answers that end at a pause start a round trip after their record.
      {"raw server 60 ms away", Server::Raw, false, "115200", kRawNote, "60"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigHome home;
    const fs::path flash = home.root() / "flash.bin";
    std::vector<std::string> options = {"--log", "--flash-out", flash.string()};
    if (c.server != Server::Rfc2217) options.insert(options.begin(), {"--tcp", "0"});
    if (c.delayMs) options.insert(options.end(), {"--delay", c.delayMs});
    Target target(options, (home.root() / "target.log").string());
    ASSERT_FALSE(target.port().empty()) << "velkorn-target did not start";
    std::string host = target.port();  // tcp://127.0.0.1:PORT, or the pseudo-terminal
    std::unique_ptr<Ser2Net> ser2net;
    if (c.server == Server::Module) host = host.substr(std::string_view("tcp://").size());
    if (c.server == Server::Rfc2217) {
      ser2net = std::make_unique<Ser2Net>(Ser2Net::Mode::Rfc2217, host, home.root());
      ASSERT_TRUE(ser2net->running()) << ser2net->error();
      host = ser2net->url();
    }
    ScriptedDialogs dialogs;
    ui::TForm1 form(&dialogs);
    syncWindow(form)->timer().setInterval(100);
    form.eIP->setText(QString::fromStdString(host));
    action(form, "MTCP")->trigger();
    ASSERT_EQ(panelText(form, 0), QStringLiteral("TCP")) << (dialogs.events.empty() ? "" : dialogs.events.back());

    if (c.program) {
      const fs::path hex = home.root() / "blink.hex";
      std::ofstream(hex, std::ios::binary) << kBlinkHex;
      dialogs.fileAnswers = {QString::fromStdString(hex.string())};
      action(form, "LoadFile1")->trigger();
      action(form, "MProg")->trigger();
    } else {
      deviceWidget<QPushButton>(form, "BitBtn1")->click();
    }

    EXPECT_TRUE(dialogs.of("error").empty()) << dialogs.of("error").front();
    EXPECT_EQ(deviceWidget<QLabel>(form, "lManu")->text(), QStringLiteral("58"));
    EXPECT_EQ(panelText(form, 1), QString::fromLatin1(c.rate));
    const QStringList log = debugWindow(form)->lines();
    EXPECT_TRUE(log.join(QLatin1Char('|')).contains(QString::fromLatin1(c.logged))) << log.join(QLatin1Char('|')).toStdString();
    if (!c.program) continue;
    EXPECT_EQ(dialogs.of("message"), std::vector<std::string>{"Programm BSB|completed successfully"});
    EXPECT_EQ(tabs(form)->currentWidget(), tabSheet(form, 3));
    EXPECT_TRUE(terminalPoll(form)->isActive());
    target.stop();
    std::ifstream in(flash, std::ios::binary);
    const std::vector<std::uint8_t> written((std::istreambuf_iterator<char>(in)), {});
    const auto& image = form.engine().images().fileImage;
    ASSERT_EQ(written.size(), image.size());
    EXPECT_TRUE(std::equal(written.begin(), written.end(), image.begin()));
    EXPECT_EQ(written[0x100], 0x75);
  }
}

TEST(WindowProgram, HelpAndVersionNeedNoDisplayAndAnUnknownOptionIsRefused) {
  struct Case {
    std::vector<std::string> args;
    bool display;  // a (virtual) display is there
    int status;
    const char* out;
    const char* err;
  };
  const std::string version = std::string("velkorn ") + velkorn::kVersion + "\n";
  const Case cases[] = {
      {{"--help"}, false, 0, "usage: velkorn", ""},
      {{"--version"}, false, 0, version.c_str(), ""},
      {{"--bogus"}, true, 2, "", "velkorn: unknown option --bogus"},
      {{"a.hex", "b.hex"}, true, 2, "", "velkorn: one HEX file at most"},
  };
  const char* display = std::getenv("DISPLAY");
  const std::string savedDisplay = display ? display : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    // Without a display, Qt's X11 platform would end the program before it could answer.
    ::setenv("QT_QPA_PLATFORM", c.display ? "offscreen" : "xcb", 1);
    ::unsetenv("DISPLAY");
    std::vector<std::string> argv = {VELKORN_APP_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = run(argv, std::chrono::seconds(30));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out.rfind(c.out, 0), 0u) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;  // after any warnings of Qt
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (display) ::setenv("DISPLAY", savedDisplay.c_str(), 1);
}

}  // namespace
}  // namespace velkorn::testing
