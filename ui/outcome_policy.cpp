#include "ui/outcome_policy.h"

#include "image/failures.h"

namespace velkorn::ui {

namespace {

using isp::OutcomeKind;

constexpr const char* kSuccessText = "completed successfully";

QString hex4(int value) { return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper(); }

// The error box of a command that failed; most failures have had their boxes while the
// command ran.
std::optional<QString> errorBoxOf(const isp::Outcome& o) {
  switch (o.kind) {
    case OutcomeKind::NoSync: return QStringLiteral("Can not synchronize target \"U\"");
    case OutcomeKind::BadAnswer: return QString::fromStdString(invalidIntegerText(o.detail));
    case OutcomeKind::FileError:
      if (o.fileFault == isp::FileFault::CannotOpen) return QString::fromStdString(fileOpenText(o.file));
      // Refused before the erase: the chip keeps what it held.
      if (o.fileFault == isp::FileFault::PastChip)
        return QStringLiteral("The file holds data at %1, past the end of this chip (%2 bytes): nothing was done")
            .arg(hex4(o.address), hex4(o.count));
      if (o.fileFault == isp::FileFault::NoData)
        return QStringLiteral("The file holds no data: the chip was not erased (Full Chip Erase clears it)");
      return std::nullopt;
    case OutcomeKind::Mismatch:
      if (o.step == isp::Step::FinalCompare) return QStringLiteral("Verify FAILED !!!");
      return std::nullopt;
    case OutcomeKind::Refused:
      if (o.step == isp::Step::BootConfig) return QStringLiteral("Programm BSB FAILED!");
      return std::nullopt;
    default: return std::nullopt;
  }
}

bool writesBootConfig(Command command) {
  return command == Command::Program || command == Command::Reload || command == Command::BootConfig;
}

}  // namespace

QString failureResult(const isp::Outcome& o) {
  switch (o.kind) {
    case OutcomeKind::Mismatch: return QStringLiteral("Verify FAILED at ") + hex4(o.address);
    case OutcomeKind::NotVerified: return QStringLiteral("Not verified: %1 lines not read from ").arg(o.count) + hex4(o.address);
    case OutcomeKind::Aborted: return QStringLiteral("Aborted");
    case OutcomeKind::NoSync: return QStringLiteral("Not synchronized");
    case OutcomeKind::LinkLost:
      return QStringLiteral("Line lost: ") + QString::fromStdString(o.detail.empty() ? "no reason given" : o.detail);
    case OutcomeKind::Refused:
      return o.step == isp::Step::BootConfig ? QStringLiteral("Programm BSB FAILED") : QStringLiteral("Refused");
    case OutcomeKind::FileError: return QStringLiteral("File not loaded");
    case OutcomeKind::BadAnswer: return QStringLiteral("Bad answer from the bootloader");
    case OutcomeKind::Done: break;
  }
  return {};
}

Closing closingOf(Command command, const isp::Outcome& o, const QString& coverage) {
  Closing c;
  if (writesBootConfig(command) && o.bootWritten) {
    // The closing record decides; a lock or boot-jump record that was not accepted is said
    // beside the result, so nobody takes the chip for locked.
    QString text = !o.done()                        ? failureResult(o)
                   : command == Command::BootConfig ? QStringLiteral("Boot configuration written")
                                                    : QStringLiteral("Programmed and verified");
    if (!o.settingRecord.empty())
      text += QStringLiteral("; record %1 not accepted").arg(QString::fromStdString(o.settingRecord));
    c.result = text;
    // A difference that only the read-back saw still leaves the configuration written: the
    // line goes back to the terminal, without the success box. Reload has none.
    if (o.done() && command != Command::Reload)
      c.successBox = SuccessBox{QStringLiteral("Programm BSB"), QString::fromLatin1(kSuccessText)};
    c.handBack = true;
    return c;
  }
  if (o.done()) {
    if (command == Command::ReadChip) c.result = QStringLiteral("Read");
    if (command == Command::VerifyFile) {
      c.result = QStringLiteral("Matched OK!!!");
      c.successBox = SuccessBox{QStringLiteral("Verifying..."), QStringLiteral("Matched OK!!!")};
    }
    if (command == Command::Erase) {
      c.result = QStringLiteral("Erased");
      c.successBox = SuccessBox{QStringLiteral("Erase"), QString::fromLatin1(kSuccessText)};
    }
    return c;
  }
  // After a read that stopped early the Chip Data view draws what it did not get apart; the
  // status bar says where.
  const QString note = o.step == isp::Step::ReadBack ? coverage : QString();
  // A line that failed ends the command with one box naming the cause, once the command has
  // returned and the line can be dropped.
  if (o.kind == OutcomeKind::LinkLost) {
    c.lineLost = LineLoss{o.detail, note};
    return c;
  }
  const QString result = failureResult(o);
  c.result = note.isEmpty() ? result : result + QStringLiteral("; ") + note;
  c.errorBox = errorBoxOf(o);
  return c;
}

}  // namespace velkorn::ui
