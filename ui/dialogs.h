#pragma once
// Every modal box and dialog the main window can show, behind one seam: the window asks
// through Dialogs, the program answers with QtDialogs, tests answer from a script so that
// no modal box ever blocks them.
#include <QFont>
#include <QString>
#include <optional>

#include "isp/person.h"

class QWidget;

namespace velkorn::ui {

// Where "Save Chip As..." writes, and whether the binary filter was chosen.
struct SaveTarget {
  QString path;
  bool binaryFilter = false;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // The error box: caption "Error", error icon, OK or OK and Cancel; returns the button.
  virtual isp::Button error(QWidget* owner, const QString& text, bool cancellable) = 0;
  // A plain information box titled with the program's title ("SetCommState failed").
  virtual void information(QWidget* owner, const QString& title, const QString& text) = 0;
  // A box without owner window, with its own caption and an OK button ("completed
  // successfully", "Matched OK!!!").
  virtual void message(const QString& caption, const QString& text) = 0;
  // The Yes/No question; true for Yes.
  virtual bool confirm(QWidget* owner, const QString& caption, const QString& text) = 0;
  // The open dialog for a HEX file, starting on the remembered name; nullopt when cancelled.
  virtual std::optional<QString> openHexFile(QWidget* owner, const QString& remembered) = 0;
  // The font dialog loaded with the current font; nullopt when cancelled.
  virtual std::optional<QFont> chooseFont(QWidget* owner, const QFont& current) = 0;
  // The save dialog for the chip's contents (Intel HEX or binary), starting on `suggested`;
  // it has asked before replacing a file. nullopt when cancelled.
  virtual std::optional<SaveTarget> saveChipFile(QWidget* owner, const QString& suggested) = 0;
  // The box of a failed connection to the network module: caption "ERROR", no owner.
  virtual void connectFailed(const QString& text) = 0;
  // One line of text to edit, starting with `text`; nullopt when cancelled.
  virtual std::optional<QString> askText(QWidget* owner, const QString& title, const QString& label,
                                         const QString& text) = 0;
  // The system beep (a function key sent its line).
  virtual void beep();
};

// Passes every box on to the dialogs behind it, except while shut: then each box is
// answered at once without being shown (Cancel where offered, else OK; No; no file, no
// font). The window shuts it while a close request waits for the running command to end,
// so that the command's remaining boxes cannot flash up over a window that is going away.
class DialogsGate final : public Dialogs {
 public:
  explicit DialogsGate(Dialogs& inner) : inner_(inner) {}
  void shut(bool closed) { shut_ = closed; }
  bool isShut() const { return shut_; }

  isp::Button error(QWidget* owner, const QString& text, bool cancellable) override;
  void information(QWidget* owner, const QString& title, const QString& text) override;
  void message(const QString& caption, const QString& text) override;
  bool confirm(QWidget* owner, const QString& caption, const QString& text) override;
  std::optional<QString> openHexFile(QWidget* owner, const QString& remembered) override;
  std::optional<QFont> chooseFont(QWidget* owner, const QFont& current) override;
  void connectFailed(const QString& text) override;
  std::optional<SaveTarget> saveChipFile(QWidget* owner, const QString& suggested) override;
  std::optional<QString> askText(QWidget* owner, const QString& title, const QString& label,
                                 const QString& text) override;
  void beep() override;

 private:
  Dialogs& inner_;
  bool shut_ = false;
};

// The open dialog's fixed settings.
inline constexpr const char* kOpenHexTitle = "Open Hexfile";
inline constexpr const char* kOpenHexFilter = "Intel Hex Files (*.hex)";
inline constexpr const char* kOpenHexSuffix = "HEX";
inline constexpr const char* kOpenHexStartDir = ".";
// The save dialog's filters: Intel HEX first, the default.
inline constexpr const char* kSaveHexFilter = "Intel Hex Files (*.hex)";
inline constexpr const char* kSaveBinaryFilter = "Binary Files (*.bin)";

class QtDialogs final : public Dialogs {
 public:
  isp::Button error(QWidget* owner, const QString& text, bool cancellable) override;
  void information(QWidget* owner, const QString& title, const QString& text) override;
  void message(const QString& caption, const QString& text) override;
  bool confirm(QWidget* owner, const QString& caption, const QString& text) override;
  std::optional<QString> openHexFile(QWidget* owner, const QString& remembered) override;
  std::optional<QFont> chooseFont(QWidget* owner, const QFont& current) override;
  void connectFailed(const QString& text) override;
  std::optional<SaveTarget> saveChipFile(QWidget* owner, const QString& suggested) override;
  std::optional<QString> askText(QWidget* owner, const QString& title, const QString& label,
                                 const QString& text) override;
};

}  // namespace velkorn::ui
