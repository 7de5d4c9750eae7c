#include "ui/settings_binding.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFontInfo>
#include <QLineEdit>

#include "ui/dialogs.h"
#include "ui/latin1.h"
#include "ui/mainform.h"
#include "ui/module_socket.h"

namespace velkorn::ui {

void SettingsBinding::load() {
  const LoadedSettings loaded = loadSettings();
  if (!loaded.fileFound) {
    dialogs_.information(&form_, QString::fromLatin1(kProgramTitle), QString::fromLatin1(kSettingsMissingText));
    return;
  }
  apply(loaded);
  // A value that is no number ended the loading; what came before it stays applied.
  if (loaded.failure) dialogs_.error(&form_, QString::fromStdString(*loaded.failure), false);
}

void SettingsBinding::apply(const LoadedSettings& loaded) {
  const Settings& v = loaded.values;
  TTerminal& terminal = *form_.terminal();
  QButtonGroup& rgBaud = *form_.rgBaud;
  for (const SettingsStep step : loaded.steps) {
    switch (step) {
      case SettingsStep::Caption1:
      case SettingsStep::Caption2:
      case SettingsStep::Caption3:
      case SettingsStep::Caption4:
      case SettingsStep::Caption5:
      case SettingsStep::Caption6: {
        const int index = static_cast<int>(step) - static_cast<int>(SettingsStep::Caption1);
        terminal.setHotKeyCaption(index, fromLatin1(v.captions[static_cast<std::size_t>(index)]));
        break;
      }
      case SettingsStep::CycleStr: terminal.setCycleText(fromLatin1(v.cycleStr)); break;
      case SettingsStep::Cycle: terminal.setCycleIntervalText(fromLatin1(v.cycle)); break;
      case SettingsStep::Left: form_.move(v.left, form_.y()); break;
      case SettingsStep::Top: form_.move(form_.x(), v.top); break;
      case SettingsStep::Width: form_.resize(v.width, form_.height()); break;
      case SettingsStep::Height: form_.resize(form_.width(), v.height); break;
      case SettingsStep::Host: form_.moduleSocket().setAddress(v.host); break;
      case SettingsStep::IpBox:
        // The field shows what the socket was given, port included; a change runs eIPChange.
        form_.eIP->setText(fromLatin1(form_.moduleSocket().address()));
        break;
      case SettingsStep::BaudNone:
        // No selection, and no click handler: the stored index that follows is then
        // always a change of selection.
        if (QAbstractButton* checked = rgBaud.checkedButton()) {
          rgBaud.setExclusive(false);
          checked->setChecked(false);
          rgBaud.setExclusive(true);
        }
        break;
      case SettingsStep::BaudIndex: {
        const BaudSelection selection = baudSelection(v.baudIndex);
        if (selection.runsClickHandler) form_.selectBaudIndex(selection.index);
        break;
      }
      case SettingsStep::FileName: form_.engine().hexFileName = v.fileName; break;
      case SettingsStep::FontName: {
        QFont font = form_.terminalFont();
        font.setFamily(fromLatin1(v.fontName));
        form_.setTerminalFont(font);
        break;
      }
      case SettingsStep::FontSize: {
        QFont font = form_.terminalFont();
        if (v.fontSize > 0) font.setPointSize(v.fontSize);  // Qt refuses sizes below 1
        form_.setTerminalFont(font);
        break;
      }
      case SettingsStep::FontStyle: {
        QFont font = form_.terminalFont();
        font.setItalic(false);
        font.setUnderline(false);
        font.setStrikeOut(false);
        font.setBold(v.bold);
        form_.setTerminalFont(font);
        break;
      }
    }
  }
}

Settings SettingsBinding::current() const {
  const TTerminal& terminal = *form_.terminal();
  Settings s;
  for (int i = 0; i < kHotKeys; ++i) s.captions[static_cast<std::size_t>(i)] = toLatin1(terminal.hotKeyCaption(i));
  s.cycleStr = toLatin1(terminal.cycleText());
  s.cycle = toLatin1(terminal.cycleIntervalText());
  s.left = form_.x();
  s.top = form_.y();
  s.width = form_.width();
  s.height = form_.height();
  // What last passed through eIPChange (or the file), port included; not the field's
  // initial text, which never did and is no module's address.
  s.host = form_.moduleSocket().address();
  s.baudIndex = form_.rgBaud->checkedId();
  s.fileName = form_.engine().hexFileName;
  const QFont font = form_.terminalFont();
  s.fontName = toLatin1(font.family());
  s.fontSize = font.pointSize() > 0 ? font.pointSize() : QFontInfo(font).pointSize();
  s.bold = font.bold();
  return s;
}

void SettingsBinding::save() {
  // The program ends all the same; the earlier file stays as it was.
  if (const auto failure = saveSettings(current())) dialogs_.error(&form_, QString::fromStdString(*failure), false);
}

}  // namespace velkorn::ui
