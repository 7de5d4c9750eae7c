#pragma once
// What the window shows when a command ends: from the command and its outcome to the closing
// box, the result panel, the hand-back to the terminal or the lost line. It holds no widget;
// the window carries out what it says.
#include <QString>
#include <optional>
#include <string>

#include "isp/outcome.h"

namespace velkorn::ui {

// The command that ended, by what the operator picked.
enum class Command {
  LoadFile,    // "&Load File" (and the load that "Verify File" runs first)
  ReadChip,    // "&Read Chip"
  VerifyFile,  // "Verify File"
  Program,     // "&Program && Verify"
  Reload,      // "Reload"
  BootConfig,  // "Program SSB+&BSB"
  Erase,       // "Full Chip &Erase"
  Sync,        // the Device tab's "Sync"
  DeviceInfo,  // a double click on the identification box
};

// A box without owner window: its caption and text.
struct SuccessBox {
  QString caption;
  QString text;
  bool operator==(const SuccessBox&) const = default;
};

// The line failed during the command: once it has returned, the line is dropped and one box
// says `why`; the status bar adds `note` (where a read stopped).
struct LineLoss {
  std::string why;
  QString note;
  bool operator==(const LineLoss&) const = default;
};

struct Closing {
  std::optional<QString> errorBox;        // the error box, OK only
  std::optional<SuccessBox> successBox;   // shown after the result is noted
  std::optional<QString> result;          // the result panel's new text (the time is added)
  bool handBack = false;                  // the line goes back to the terminal and its tab
  std::optional<LineLoss> lineLost;
};

// `coverage` says where the chip data's last read stopped (empty when it got every byte);
// it is added to the result of a command that ended in its read-back.
Closing closingOf(Command command, const isp::Outcome& outcome, const QString& coverage);

// What the status bar keeps of a command that failed: "Verify FAILED at 4321", "Aborted",
// "Line lost: ..."; empty for a command that was done.
QString failureResult(const isp::Outcome& outcome);

}  // namespace velkorn::ui
