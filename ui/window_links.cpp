// The main window's links beyond the serial port: the terminal on the "&Terminal" tab, the
// socket to the network module (the TCP branch of the link selection and the host field),
// and the settings file that carries the operator's choices from one run to the next.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QFontInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <exception>

#include "link/powersock.h"
#include "ui/dialogs.h"
#include "ui/mainform.h"

namespace velkorn::ui {

namespace {

// Widget text is 8-bit on the wire and in the settings file.
std::string latin1(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QString fromLatin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// ==================================================================== terminal

void TForm1::connectTerminal() {
  // The poll holds while a chip operation or a HEX load owns the line: a byte it took
  // would be missing from a bootloader answer.
  connect(Timer2, &QTimer::timeout, this, [this] {
    if (!linkBusy()) terminal_->Timer2Timer();
  });
  sendTerminalLine = [this](const QString& line) { terminal_->SendTerminalLine(line); };
  hotKeyCaption = [this](int index) { return terminal_->hotKeyCaption(index); };
  focusTerminalMemo = [this] { terminal_->memo()->setFocus(Qt::ShortcutFocusReason); };
  // What ends a terminal handler (a cycle interval that is no number, a failed socket
  // write) is shown the way the run-time's top-level handler shows it.
  terminal_->setErrorHandler(
      [this](const std::string& text) { dialogs_.error(this, QString::fromStdString(text), false); });
}

QFont TForm1::terminalFont() const { return terminal_->memoFont(); }

void TForm1::setTerminalFont(const QFont& font) { terminal_->setMemoFont(font); }

// ==================================================================== socket

void TForm1::createSocket() {
  try {
    sock = new link::TPowersock(this);
    sock->setObjectName(QStringLiteral("sock"));
    sock->ReportLevel = 0;
    sock->Port = 0;
  } catch (const std::exception& failure) {
    // Without a socket layer the TCP link cannot come up; everything else still works.
    sock = nullptr;
    dialogs_.error(this, QString::fromStdString(failure.what()), false);
  }
}

bool TForm1::socketConnected() const { return sock && sock->Connected(); }

void TForm1::socketWrite(const std::string& text) {
  if (sock) sock->Write(text);
}

std::string TForm1::socketRead() { return sock ? sock->Read(0) : std::string(); }

void TForm1::eIPChange() { setModuleAddress(latin1(eIP->text())); }

void TForm1::setModuleAddress(const std::string& text) {
  moduleAddress_ = text;
  if (!sock) return;
  // Nothing is checked or connected here; the next Connect uses what the field says. A
  // port that is no number leaves the whole text as the host, so that Connect fails.
  if (const auto address = link::TPowersock::SplitHostPort(text)) {
    sock->Host = address->host;
    sock->Port = address->port;
  } else {
    sock->Host = text;
    sock->Port = link::TPowersock::kDefaultModulePort;
  }
}

bool TForm1::connectModule() {
  if (sock) {
    connecting_ = true;
    connectSuperseded_ = false;
    try {
      // The wait inside keeps the window alive; any handler may run meanwhile.
      sock->Connect();
      connecting_ = false;
      return true;
    } catch (...) {
      // Every cause ends in the one box below; the socket's own text is not shown.
    }
    connecting_ = false;
    // Another link choice, or the closing window, ended the wait: the operator asked for
    // that, so there is nothing to report.
    if (connectSuperseded_) return false;
  }
  dialogs_.connectFailed(QString::fromLatin1(kConnectFailedText));
  return false;
}

// ==================================================================== settings file

void TForm1::LoadSettings() {
  const LoadedSettings loaded = loadSettings();
  if (!loaded.fileFound) {
    dialogs_.information(this, QString::fromLatin1(kProgramTitle), QString::fromLatin1(kSettingsMissingText));
    return;
  }
  applySettings(loaded);
  // A value that is no number ended the loading; what came before it stays applied.
  if (loaded.failure) dialogs_.error(this, QString::fromStdString(*loaded.failure), false);
}

void TForm1::applySettings(const LoadedSettings& loaded) {
  const Settings& v = loaded.values;
  for (const SettingsStep step : loaded.steps) {
    switch (step) {
      case SettingsStep::Caption1:
      case SettingsStep::Caption2:
      case SettingsStep::Caption3:
      case SettingsStep::Caption4:
      case SettingsStep::Caption5:
      case SettingsStep::Caption6: {
        const int index = static_cast<int>(step) - static_cast<int>(SettingsStep::Caption1);
        terminal_->setHotKeyCaption(index, fromLatin1(v.captions[static_cast<std::size_t>(index)]));
        break;
      }
      case SettingsStep::CycleStr: terminal_->setCycleText(fromLatin1(v.cycleStr)); break;
      case SettingsStep::Cycle: terminal_->setCycleIntervalText(fromLatin1(v.cycle)); break;
      case SettingsStep::Left: move(v.left, y()); break;
      case SettingsStep::Top: move(x(), v.top); break;
      case SettingsStep::Width: resize(v.width, height()); break;
      case SettingsStep::Height: resize(width(), v.height); break;
      case SettingsStep::Host: setModuleAddress(v.host); break;
      case SettingsStep::IpBox:
        // The field shows what the socket was given, port included; a change runs eIPChange.
        eIP->setText(fromLatin1(moduleAddress_));
        break;
      case SettingsStep::BaudNone:
        // No selection, and no click handler: the stored index that follows is then
        // always a change of selection.
        if (QAbstractButton* checked = rgBaud->checkedButton()) {
          rgBaud->setExclusive(false);
          checked->setChecked(false);
          rgBaud->setExclusive(true);
        }
        break;
      case SettingsStep::BaudIndex: {
        const BaudSelection selection = baudSelection(v.baudIndex);
        if (selection.runsClickHandler) selectBaudIndex(selection.index);
        break;
      }
      case SettingsStep::FileName: engine_.hexFileName = v.fileName; break;
      case SettingsStep::FontName: {
        QFont font = terminalFont();
        font.setFamily(fromLatin1(v.fontName));
        setTerminalFont(font);
        break;
      }
      case SettingsStep::FontSize: {
        QFont font = terminalFont();
        if (v.fontSize > 0) font.setPointSize(v.fontSize);  // Qt refuses sizes below 1
        setTerminalFont(font);
        break;
      }
      case SettingsStep::FontStyle: {
        QFont font = terminalFont();
        font.setItalic(false);
        font.setUnderline(false);
        font.setStrikeOut(false);
        font.setBold(v.bold);
        setTerminalFont(font);
        break;
      }
    }
  }
}

Settings TForm1::currentSettings() const {
  Settings s;
  for (int i = 0; i < kHotKeys; ++i) s.captions[static_cast<std::size_t>(i)] = latin1(terminal_->hotKeyCaption(i));
  s.cycleStr = latin1(terminal_->cycleText());
  s.cycle = latin1(terminal_->cycleIntervalText());
  s.left = x();
  s.top = y();
  s.width = width();
  s.height = height();
  // The host field's text rather than the socket's Host, so that a port typed after the
  // host comes back with it.
  s.host = latin1(eIP->text());
  s.baudIndex = rgBaud->checkedId();
  s.fileName = engine_.hexFileName;
  const QFont font = terminalFont();
  s.fontName = latin1(font.family());
  s.fontSize = font.pointSize() > 0 ? font.pointSize() : QFontInfo(font).pointSize();
  s.bold = font.bold();
  return s;
}

void TForm1::SaveSettings() {
  // The program ends all the same; the earlier file stays as it was.
  if (const auto failure = saveSettings(currentSettings()))
    dialogs_.error(this, QString::fromStdString(*failure), false);
}

}  // namespace velkorn::ui
