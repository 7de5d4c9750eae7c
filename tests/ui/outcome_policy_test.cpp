// What the window shows when a command ends, for each command and outcome: the error box,
// the success box, the result panel, the hand-back to the terminal, the lost line.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ui/outcome_policy.h"

namespace velkorn::testing {
namespace {

using isp::FileFault;
using isp::Outcome;
using isp::OutcomeKind;
using isp::Step;
using ui::Command;

Outcome of(OutcomeKind kind, Step step = Step::None) { return Outcome::ofKind(kind, step); }
Outcome at(Outcome o, int address, int count = 0) {
  o.address = address;
  o.count = count;
  return o;
}
Outcome withDetail(Outcome o, std::string detail) {
  o.detail = std::move(detail);
  return o;
}
Outcome fileFault(FileFault fault, std::string file = {}) {
  Outcome o = of(OutcomeKind::FileError, Step::Load);
  o.fileFault = fault;
  o.file = std::move(file);
  return o;
}
// The boot configuration's closing record was accepted; `setting` is a record that was not.
Outcome bootWritten(Outcome o, std::string setting = {}) {
  o.bootWritten = true;
  o.settingRecord = std::move(setting);
  return o;
}

constexpr const char* kStopped = "Read stopped at 1200: 60928 bytes not read, shown grey";
constexpr const char* kIncomplete = "Read incomplete: 16 bytes not read, the first at 0000; shown grey";

TEST(OutcomePolicy, EachCommandAndOutcomeClosesAsTheWindowShowsIt) {
  struct Row {
    const char* name;
    Command command;
    Outcome outcome;
    const char* coverage;      // where the chip data's last read stopped
    const char* errorBox;      // nullptr: none
    const char* successBox;    // "caption|text"; nullptr: none
    const char* result;        // nullptr: the result panel stays
    bool handBack;
    const char* lineLostWhy;   // nullptr: the line stays
    const char* lineLostNote;
  };
  const Row rows[] = {
      {"load done", Command::LoadFile, of(OutcomeKind::Done), "", nullptr, nullptr, nullptr, false, nullptr, ""},
      {"load of a missing file", Command::LoadFile, fileFault(FileFault::CannotOpen, "missing.hex"), "",
       "Datei missing.hex kann nicht ge\xC3\xB6" "ffnet werden", nullptr, "File not loaded", false, nullptr, ""},
      {"load with a bad line (its box came during the load)", Command::LoadFile, fileFault(FileFault::BadLine), "",
       nullptr, nullptr, "File not loaded", false, nullptr, ""},
      {"reload of a file without data", Command::Reload, fileFault(FileFault::NoData), "",
       "The file holds no data: the chip was not erased (Full Chip Erase clears it)", nullptr, "File not loaded",
       false, nullptr, ""},
      {"reload of a file past the chip", Command::Reload, at(fileFault(FileFault::PastChip), 0x9003, 0x8000), "",
       "The file holds data at 9003, past the end of this chip (8000 bytes): nothing was done", nullptr,
       "File not loaded", false, nullptr, ""},
      {"read done", Command::ReadChip, of(OutcomeKind::Done), "", nullptr, nullptr, "Read", false, nullptr, ""},
      {"read aborted", Command::ReadChip, of(OutcomeKind::Aborted, Step::ReadBack), kStopped, nullptr, nullptr,
       "Aborted; Read stopped at 1200: 60928 bytes not read, shown grey", false, nullptr, ""},
      {"read on a line that failed", Command::ReadChip,
       withDetail(of(OutcomeKind::LinkLost, Step::ReadBack), "Input/output error"), kStopped, nullptr, nullptr,
       nullptr, false, "Input/output error", kStopped},
      {"sync on a line that failed, no reason", Command::Sync, of(OutcomeKind::LinkLost, Step::Sync), kStopped,
       nullptr, nullptr, nullptr, false, "", ""},
      {"sync without answer", Command::Sync, of(OutcomeKind::NoSync, Step::Sync), "",
       "Can not synchronize target \"U\"", nullptr, "Not synchronized", false, nullptr, ""},
      {"device information not a number", Command::DeviceInfo,
       withDetail(of(OutcomeKind::BadAnswer, Step::DeviceInfo), "XY"), "",
       "'XY' ist kein g\xC3\xBCltiger Integerwert", nullptr, "Bad answer from the bootloader", false, nullptr, ""},
      {"verify matched", Command::VerifyFile, of(OutcomeKind::Done), "", nullptr, "Verifying...|Matched OK!!!",
       "Matched OK!!!", false, nullptr, ""},
      {"verify differs", Command::VerifyFile, at(of(OutcomeKind::Mismatch, Step::FinalCompare), 0x4321, 3), "",
       "Verify FAILED !!!", nullptr, "Verify FAILED at 4321", false, nullptr, ""},
      {"verify with an unreadable line", Command::VerifyFile, at(of(OutcomeKind::NotVerified, Step::ReadBack), 0, 1),
       kIncomplete, nullptr, nullptr,
       "Not verified: 1 lines not read from 0000; Read incomplete: 16 bytes not read, the first at 0000; shown grey",
       false, nullptr, ""},
      {"program differs while programming", Command::Program, at(of(OutcomeKind::Mismatch, Step::Program), 0x100),
       "", nullptr, nullptr, "Verify FAILED at 0100", false, nullptr, ""},
      {"program aborted", Command::Program, of(OutcomeKind::Aborted, Step::Program), "", nullptr, nullptr, "Aborted",
       false, nullptr, ""},
      {"program done", Command::Program, bootWritten(of(OutcomeKind::Done)), "", nullptr,
       "Programm BSB|completed successfully", "Programmed and verified", true, nullptr, ""},
      {"program done, a lock record refused", Command::Program, bootWritten(of(OutcomeKind::Done), ":0300000A"), "",
       nullptr, "Programm BSB|completed successfully", "Programmed and verified; record :0300000A not accepted", true,
       nullptr, ""},
      {"program differs in the read-back, configuration written", Command::Program,
       bootWritten(at(of(OutcomeKind::Mismatch, Step::FinalCompare), 0x4321, 1)), "", nullptr, nullptr,
       "Verify FAILED at 4321", true, nullptr, ""},
      {"program differs, configuration not written", Command::Program,
       at(of(OutcomeKind::Mismatch, Step::FinalCompare), 0x4321, 1), "", "Verify FAILED !!!", nullptr,
       "Verify FAILED at 4321", false, nullptr, ""},
      {"reload done", Command::Reload, bootWritten(of(OutcomeKind::Done)), "", nullptr, nullptr,
       "Programmed and verified", true, nullptr, ""},
      {"boot configuration written", Command::BootConfig, bootWritten(of(OutcomeKind::Done)), "", nullptr,
       "Programm BSB|completed successfully", "Boot configuration written", true, nullptr, ""},
      {"boot configuration refused", Command::BootConfig, of(OutcomeKind::Refused, Step::BootConfig), "",
       "Programm BSB FAILED!", nullptr, "Programm BSB FAILED", false, nullptr, ""},
      {"erase done", Command::Erase, of(OutcomeKind::Done), "", nullptr, "Erase|completed successfully", "Erased",
       false, nullptr, ""},
      {"erase refused", Command::Erase, of(OutcomeKind::Refused, Step::Erase), "", nullptr, nullptr, "Refused", false,
       nullptr, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ui::Closing c = ui::closingOf(row.command, row.outcome, QString::fromUtf8(row.coverage));
    EXPECT_EQ(c.errorBox.value_or(QStringLiteral("-")).toStdString(), row.errorBox ? row.errorBox : "-");
    const std::string success = c.successBox ? (c.successBox->caption + '|' + c.successBox->text).toStdString() : "-";
    EXPECT_EQ(success, row.successBox ? row.successBox : "-");
    EXPECT_EQ(c.result.value_or(QStringLiteral("-")).toStdString(), row.result ? row.result : "-");
    EXPECT_EQ(c.handBack, row.handBack);
    EXPECT_EQ(c.lineLost.has_value(), row.lineLostWhy != nullptr);
    if (c.lineLost && row.lineLostWhy) {
      EXPECT_EQ(c.lineLost->why, row.lineLostWhy);
      EXPECT_EQ(c.lineLost->note.toStdString(), row.lineLostNote);
    }
  }
}

}  // namespace
}  // namespace velkorn::testing
