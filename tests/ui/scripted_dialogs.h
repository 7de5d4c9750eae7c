#pragma once
// Dialogs answered from a script, so no modal box ever blocks a window test. Every box is
// recorded as a short text event ("error|text|ok", "info|title|text", ...), and hooks run
// inside a box so a test can look at the window while the box would be open.
#include <QFont>
#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/dialogs.h"

namespace velkorn::testing {

class ScriptedDialogs final : public ui::Dialogs {
 public:
  std::deque<isp::Button> errorAnswers;               // default OK
  std::deque<bool> confirmAnswers;                    // default Yes
  std::deque<std::optional<QString>> fileAnswers;     // default: cancelled
  std::optional<QString> textAnswer;                  // default: cancelled
  std::optional<QFont> fontAnswer;                    // default: cancelled
  std::deque<ui::SaveTarget> saveAnswers;             // default: cancelled
  QFont fontShown;                                    // the font the font dialog started from
  std::function<void(const QString&)> onError;        // runs while the error box is "open"
  std::function<void()> onOpenFile;                   // runs while the open dialog is "open"
  std::vector<std::string> events;
  // Boxes given an owner window that is not on the screen: a window manager may then not
  // show the box at all.
  int hiddenOwners = 0;

  std::vector<std::string> of(const std::string& kind) const {
    std::vector<std::string> out;
    for (const auto& e : events)
      if (e.rfind(kind + "|", 0) == 0) out.push_back(e.substr(kind.size() + 1));
    return out;
  }

  isp::Button error(QWidget* owner, const QString& text, bool cancellable) override {
    noteOwner(owner);
    events.push_back("error|" + text.toStdString() + (cancellable ? "|okcancel" : "|ok"));
    if (onError) onError(text);
    isp::Button answer = isp::Button::Ok;
    if (!errorAnswers.empty()) {
      answer = errorAnswers.front();
      errorAnswers.pop_front();
    }
    return cancellable ? answer : isp::Button::Ok;  // a box without Cancel can only say OK
  }
  void information(QWidget* owner, const QString& title, const QString& text) override {
    noteOwner(owner);
    events.push_back("info|" + title.toStdString() + "|" + text.toStdString());
  }
  void message(const QString& caption, const QString& text) override {
    events.push_back("message|" + caption.toStdString() + "|" + text.toStdString());
  }
  bool confirm(QWidget*, const QString& caption, const QString& text) override {
    events.push_back("confirm|" + caption.toStdString() + "|" + text.toStdString());
    if (confirmAnswers.empty()) return true;
    const bool yes = confirmAnswers.front();
    confirmAnswers.pop_front();
    return yes;
  }
  std::optional<QString> openHexFile(QWidget*, const QString& remembered) override {
    events.push_back("open|" + remembered.toStdString());
    if (onOpenFile) onOpenFile();
    if (fileAnswers.empty()) return std::nullopt;
    // Taken apart rather than copied whole: an optimised build warns about the copy of an
    // optional QString.
    const bool chosen = fileAnswers.front().has_value();
    const QString name = chosen ? *fileAnswers.front() : QString();
    fileAnswers.pop_front();
    if (!chosen) return std::nullopt;
    return name;
  }
  std::optional<QFont> chooseFont(QWidget*, const QFont& current) override {
    events.push_back("font|");
    fontShown = current;
    return fontAnswer;
  }
  void beep() override { events.push_back("beep|"); }
  void connectFailed(const QString& text) override { events.push_back("connect|" + text.toStdString()); }
  std::optional<ui::SaveTarget> saveChipFile(QWidget*, const QString& suggested) override {
    events.push_back("save|" + suggested.toStdString());
    if (saveAnswers.empty()) return std::nullopt;
    ui::SaveTarget answer = saveAnswers.front();
    saveAnswers.pop_front();
    return answer;
  }
  std::optional<QString> askText(QWidget*, const QString& title, const QString&, const QString& text) override {
    events.push_back("ask|" + title.toStdString() + "|" + text.toStdString());
    return textAnswer;
  }

 private:
  void noteOwner(const QWidget* owner) {
    if (owner != nullptr && !owner->isVisible()) ++hiddenOwners;
  }
};

}  // namespace velkorn::testing
