#include "cli/outcome_report.h"

#include <cstdio>

#include "cli/options.h"

namespace velkorn::cli {
namespace {

using isp::OutcomeKind;
using isp::Step;

// The window's closing boxes for the outcomes that have one.
constexpr const char* kNoSyncBox = "Can not synchronize target \"U\"";
constexpr const char* kFinalCompareBox = "Verify FAILED !!!";
constexpr const char* kBootConfigBox = "Programm BSB FAILED!";

std::string counted(int n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string answered(const std::string& answer) {
  return answer.empty() ? "no answer" : "answer \"" + answer + "\"";
}

std::string stepName(Step step, const std::string& command) {
  switch (step) {
    case Step::Sync: return "synchronisation";
    case Step::DeviceInfo: return "device information read";
    case Step::Load: return "load of the HEX file";
    case Step::BlankCheck: return "blank check";
    case Step::Erase: return "erase";
    case Step::Program: return "programming";
    case Step::ReadBack: return "read-back";
    case Step::FinalCompare: return "final comparison";
    case Step::BootConfig: return "boot configuration";
    case Step::None: break;
  }
  return command;
}

std::string refusal(const isp::Outcome& o) {
  switch (o.step) {
    case Step::Erase: return "the bootloader refused the erase (" + answered(o.answer) + ")";
    case Step::Program: return "the bootloader refused data record " + o.record + " (" + answered(o.answer) + ")";
    case Step::BootConfig:
      return "the bootloader refused the boot configuration (record " + o.record + ", " + answered(o.answer) + ")";
    default: return "the bootloader refused record " + o.record + " (" + answered(o.answer) + ")";
  }
}

std::vector<std::string> whatFailed(const isp::Outcome& o, const ReportContext& c) {
  const bool reading = c.command == "read" || c.command == "diff";
  switch (o.kind) {
    case OutcomeKind::Done: return {};
    case OutcomeKind::Refused:
      if (o.step == Step::BootConfig) return {kBootConfigBox, refusal(o)};
      return {refusal(o)};
    case OutcomeKind::Mismatch: {
      std::string what = "the chip does not match " + c.file + " at " + hexAddress(o.address) + " (" +
                         counted(o.count, "differing byte") + " seen)";
      if (o.step == Step::FinalCompare) return {kFinalCompareBox, what};
      return {what};
    }
    case OutcomeKind::NotVerified:
      return {std::string(reading ? "the chip could not be read completely: " : "the chip could not be verified: ") +
              counted(o.count, "line") + " of the read-back could not be read, the first at " +
              hexAddress(o.address)};
    case OutcomeKind::Aborted: return {"the " + stepName(o.step, c.command) + " was aborted"};
    case OutcomeKind::NoSync:
      if (c.interrupted) return {kNoSyncBox};  // cancelled by Ctrl+C, not timed out
      return {kNoSyncBox, "the target on " + c.port + " did not answer \"U\" within " +
                              std::to_string(c.syncTimeoutS) + " s"};
    case OutcomeKind::LinkLost: {
      std::string what = "the line to the target failed during the " + stepName(o.step, c.command) + ": " +
                         (o.detail.empty() ? "no reason given" : o.detail);
      if (o.step == Step::Sync) return {kNoSyncBox, what};
      return {what};
    }
    case OutcomeKind::FileError:
      switch (o.fileFault) {
        case isp::FileFault::TooLarge:
          return {o.file + " is too large for a HEX file of this chip (" + o.detail + ", at most 16 MiB)"};
        case isp::FileFault::BadLine:
          return {"cannot load " + o.file + ": error in line " + std::to_string(o.line)};
        case isp::FileFault::CannotOpen:
        case isp::FileFault::None: break;
      }
      return {"cannot open " + o.file + ": " + o.detail};
    case OutcomeKind::BadAnswer: {
      std::vector<std::string> lines = {"the bootloader's answer '" + o.detail + "' is no hexadecimal number"};
      if (!o.lineError.empty()) lines.push_back("the line to the target failed: " + o.lineError);
      return lines;
    }
  }
  return {};
}

}  // namespace

std::string hexAddress(int address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
  return text;
}

int exitStatus(const isp::Outcome& o) {
  switch (o.kind) {
    case OutcomeKind::Done: return kExitDone;
    case OutcomeKind::FileError: return kExitUsage;
    case OutcomeKind::NoSync: return kExitNoTarget;
    case OutcomeKind::LinkLost: return o.step == Step::Sync ? kExitNoTarget : kExitChipFailed;
    case OutcomeKind::Refused:
    case OutcomeKind::Mismatch:
    case OutcomeKind::NotVerified:
    case OutcomeKind::Aborted:
    case OutcomeKind::BadAnswer: break;
  }
  return kExitChipFailed;
}

std::vector<std::string> failureLines(const isp::Outcome& o, const ReportContext& c) {
  std::vector<std::string> lines = whatFailed(o, c);
  if (!o.done() && c.interrupted) lines.push_back("interrupted");
  return lines;
}

}  // namespace velkorn::cli
