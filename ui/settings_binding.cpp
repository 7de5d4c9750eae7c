#include "ui/settings_binding.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdint>
#include <limits>

#include "ui/dialogs.h"
#include "ui/latin1.h"
#include "ui/mainform.h"
#include "ui/module_socket.h"

namespace velkorn::ui {

namespace {

// A rectangle in 64 bits: the file's values are 32-bit, and left plus width may not be.
struct Span {
  std::int64_t left, top, right, bottom;  // right and bottom exclusive
};

Span spanOf(const QRect& r) {
  return {r.left(), r.top(), std::int64_t{r.left()} + r.width(), std::int64_t{r.top()} + r.height()};
}

std::int64_t overlapArea(const Span& a, const Span& b) {
  const std::int64_t w = std::min(a.right, b.right) - std::max(a.left, b.left);
  const std::int64_t h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return w > 0 && h > 0 ? w * h : 0;
}

// Squared distance between two rectangles that do not overlap (in doubles: the gaps may
// reach 2^32).
double gapSquared(const Span& a, const Span& b) {
  const double dx = static_cast<double>(std::max({b.left - a.right, a.left - b.right, std::int64_t{0}}));
  const double dy = static_cast<double>(std::max({b.top - a.bottom, a.top - b.bottom, std::int64_t{0}}));
  return dx * dx + dy * dy;
}

// The window's frame beside its inside, as far as the window system has said.
QMargins frameOf(const QWidget& window) {
  const QRect outer = window.frameGeometry();
  const QRect inner = window.geometry();
  return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
          outer.bottom() - inner.bottom()};
}

std::vector<QRect> freeScreenAreas() {
  std::vector<QRect> areas;
  if (const QScreen* primary = QGuiApplication::primaryScreen()) areas.push_back(primary->availableGeometry());
  for (const QScreen* screen : QGuiApplication::screens()) {
    if (screen != QGuiApplication::primaryScreen()) areas.push_back(screen->availableGeometry());
  }
  return areas;
}

}  // namespace

Placement fitOntoScreen(const Placement& wanted, const std::vector<QRect>& screens, const QMargins& frame,
                        const QSize& minimum) {
  const std::int64_t frameWidth = frame.left() + frame.right();
  const std::int64_t frameHeight = frame.top() + frame.bottom();
  const std::int64_t minWidth = std::max(minimum.width(), 1);
  const std::int64_t minHeight = std::max(minimum.height(), 1);
  std::int64_t width = std::max<std::int64_t>(wanted.width, minWidth);
  std::int64_t height = std::max<std::int64_t>(wanted.height, minHeight);
  if (screens.empty()) {
    return {wanted.left, wanted.top, static_cast<int>(width), static_cast<int>(height)};
  }

  const Span window{wanted.left, wanted.top, wanted.left + width + frameWidth, wanted.top + height + frameHeight};
  std::size_t best = 0;
  std::int64_t bestArea = 0;
  double bestGap = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < screens.size(); ++i) {
    const Span screen = spanOf(screens[i]);
    const std::int64_t area = overlapArea(window, screen);
    if (area > bestArea) {
      best = i;
      bestArea = area;
    } else if (bestArea == 0 && area == 0) {
      const double gap = gapSquared(window, screen);
      if (gap < bestGap) {
        best = i;
        bestGap = gap;
      }
    }
  }

  // The screen wins over the window's minimum: a window cut at its edge can still be
  // reached, moved and closed, one whose title bar stands off the screen cannot.
  const Span screen = spanOf(screens[best]);
  width = std::max<std::int64_t>(std::min(width, screen.right - screen.left - frameWidth), 1);
  height = std::max<std::int64_t>(std::min(height, screen.bottom - screen.top - frameHeight), 1);
  const std::int64_t left =
      std::max(std::min<std::int64_t>(wanted.left, screen.right - width - frameWidth), screen.left);
  const std::int64_t top =
      std::max(std::min<std::int64_t>(wanted.top, screen.bottom - height - frameHeight), screen.top);
  return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(width), static_cast<int>(height)};
}

Placement fittedPlacement(const QWidget& window, const Placement& wanted) {
  return fitOntoScreen(wanted, freeScreenAreas(), frameOf(window),
                       window.minimumSize().expandedTo(window.minimumSizeHint()));
}

void placeWindow(QWidget& window, const Placement& wanted) {
  const Placement fit = fittedPlacement(window, wanted);
  // On a screen smaller than the window's layout allows (a small screen at scale factor
  // 2), the window gives way, its contents cut at the right or lower edge.
  const QSize minimum = window.minimumSize().expandedTo(window.minimumSizeHint());
  if (fit.width < minimum.width() || fit.height < minimum.height()) {
    window.setMinimumSize(std::min(fit.width, minimum.width()), std::min(fit.height, minimum.height()));
  }
  window.resize(fit.width, fit.height);
  window.move(fit.left, fit.top);
}

namespace {

// Fits the window onto its screen once more when it first appears: only then has the
// window manager told how much its frame (the title bar) adds, and a window that fitted
// without it would stand out past the screen's lower edge by the title bar's height.
class FrameFit final : public QObject {
 public:
  explicit FrameFit(QWidget& window) : QObject(&window), window_(window) { window.installEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == &window_ && event->type() == QEvent::Show && window_.windowHandle() != nullptr) {
      window_.removeEventFilter(this);
      window_.windowHandle()->installEventFilter(this);
    } else if (watched == window_.windowHandle() && event->type() == QEvent::Expose &&
               window_.windowHandle()->isExposed()) {
      window_.windowHandle()->removeEventFilter(this);
      // From the event loop, once the expose itself has been handled.
      QTimer::singleShot(0, &window_, [window = &window_] {
        placeWindow(*window, {window->x(), window->y(), window->width(), window->height()});
      });
      deleteLater();
    }
    return false;
  }

 private:
  QWidget& window_;
};

}  // namespace

SettingsBinding::SettingsBinding(TForm1& form, Dialogs& dialogs) : form_(form), dialogs_(dialogs) {
  new FrameFit(form_);
}

void SettingsBinding::load() {
  const file::LoadedSettings loaded = file::loadSettings();
  // The loading runs before the window is first shown. A box owned by a window that was
  // never mapped is transient for nothing on the screen, and window managers differ in
  // what they make of that (under openbox it was not seen at all); owned by nothing, it is
  // an ordinary window of its own that every window manager shows.
  QWidget* owner = form_.isVisible() ? &form_ : nullptr;
  if (!loaded.fileFound) {
    dialogs_.information(owner, QString::fromLatin1(kProgramTitle), QString::fromLatin1(file::kSettingsMissingText));
    return;
  }
  apply(loaded);
  // A value that is no number ended the loading; what came before it stays applied.
  if (loaded.failure) dialogs_.error(owner, QString::fromStdString(loaded.failure->message), false);
}

void SettingsBinding::apply(const file::LoadedSettings& loaded) {
  const file::Settings& v = loaded.values;
  TTerminal& terminal = *form_.terminal();
  // Each value of the placement line takes effect as it is read, always brought onto a
  // screen; what the file asked for is kept apart, so that a later value (the width after
  // the left) fits the whole request anew.
  Placement wanted{form_.x(), form_.y(), form_.width(), form_.height()};
  // Each value is applied as it is read, fitted onto the screen at once.
  auto place = [&](int Placement::*field, int value) {
    wanted.*field = value;
    placeWindow(form_, wanted);
  };
  QButtonGroup& rgBaud = *form_.rgBaud;
  for (const file::SettingsStep step : loaded.steps) {
    switch (step) {
      case file::SettingsStep::Caption1:
      case file::SettingsStep::Caption2:
      case file::SettingsStep::Caption3:
      case file::SettingsStep::Caption4:
      case file::SettingsStep::Caption5:
      case file::SettingsStep::Caption6: {
        const int index = static_cast<int>(step) - static_cast<int>(file::SettingsStep::Caption1);
        terminal.setHotKeyCaption(index, fromLatin1(v.captions[static_cast<std::size_t>(index)]));
        break;
      }
      case file::SettingsStep::CycleStr: terminal.setCycleText(fromLatin1(v.cycleStr)); break;
      case file::SettingsStep::Cycle: terminal.setCycleIntervalText(fromLatin1(v.cycle)); break;
      case file::SettingsStep::Left: place(&Placement::left, v.left); break;
      case file::SettingsStep::Top: place(&Placement::top, v.top); break;
      case file::SettingsStep::Width: place(&Placement::width, v.width); break;
      case file::SettingsStep::Height: place(&Placement::height, v.height); break;
      case file::SettingsStep::Host: form_.moduleSocket().setAddress(v.host); break;
      case file::SettingsStep::IpBox:
        // The field shows what the socket was given, port included; a change runs eIPChange.
        form_.eIP->setText(fromLatin1(form_.moduleSocket().address()));
        break;
      case file::SettingsStep::BaudNone:
        // No selection, and no click handler: the stored index that follows is then
        // always a change of selection.
        if (QAbstractButton* checked = rgBaud.checkedButton()) {
          rgBaud.setExclusive(false);
          checked->setChecked(false);
          rgBaud.setExclusive(true);
        }
        break;
      case file::SettingsStep::BaudIndex: {
        const file::BaudSelection selection = file::baudSelection(v.baudIndex);
        if (selection.runsClickHandler) form_.selectBaudIndex(selection.index);
        break;
      }
      case file::SettingsStep::FileName: form_.engine().hexFileName = v.fileName; break;
      case file::SettingsStep::FontName: {
        QFont font = form_.terminalFont();
        font.setFamily(fromLatin1(v.fontName));
        form_.setTerminalFont(font);
        break;
      }
      case file::SettingsStep::FontSize: {
        QFont font = form_.terminalFont();
        if (v.fontSize > 0) font.setPointSize(v.fontSize);  // Qt refuses sizes below 1
        form_.setTerminalFont(font);
        break;
      }
      case file::SettingsStep::FontStyle: {
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

file::Settings SettingsBinding::current() const {
  const TTerminal& terminal = *form_.terminal();
  file::Settings s;
  for (int i = 0; i < file::kHotKeyCount; ++i) s.captions[static_cast<std::size_t>(i)] = toLatin1(terminal.hotKeyCaption(i));
  s.cycleStr = toLatin1(terminal.cycleText());
  s.cycle = toLatin1(terminal.cycleIntervalText());
  // Where the window stands, brought onto its screen: a window dragged half off the screen
  // comes back whole at the next start.
  const Placement placement = fittedPlacement(form_, {form_.x(), form_.y(), form_.width(), form_.height()});
  s.left = placement.left;
  s.top = placement.top;
  s.width = placement.width;
  s.height = placement.height;
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
  if (const Status saved = file::saveSettings(current()); !saved)
    dialogs_.error(&form_, QString::fromStdString(saved.message()), false);
}

}  // namespace velkorn::ui
