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
  // Silence after a record is no refusal: the board stopped answering (a reset, a loose
  // wire, power).
  if (o.answer.empty()) {
    switch (o.step) {
      case Step::Erase: return "the bootloader did not answer the erase";
      case Step::Program: return "the bootloader stopped answering: no answer to data record " + o.record;
      case Step::BootConfig: return "the bootloader did not answer the boot configuration (record " + o.record + ")";
      default: return "the bootloader did not answer record " + o.record;
    }
  }
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
        case isp::FileFault::PastChip:
          return {o.file + " holds data at " + hexAddress(o.address) + ", beyond the chip's size of " +
                  hexAddress(o.count) + " bytes: " +
                  (c.command == "program" ? "nothing was erased or programmed" : "the chip cannot hold it")};
        case isp::FileFault::NoData:
          return {o.file + " holds no data bytes: nothing was erased (erase clears a chip)"};
        case isp::FileFault::CannotOpen:
        case isp::FileFault::None: break;
      }
      return {"cannot open " + o.file + ": " + o.detail};
    case OutcomeKind::BadAnswer: {
      std::vector<std::string> lines;
      if (!o.record.empty()) {
        lines.push_back("the device information is incomplete: record " + o.record + " got no trusted answer (" +
                        (o.detail.empty() ? std::string("no answer") : "last answer \"" + printable(o.detail) + "\"") +
                        ")");
      } else {
        lines.push_back("the bootloader's answer '" + printable(o.detail) + "' is no hexadecimal number");
      }
      if (!o.lineError.empty()) lines.push_back("the line to the target failed: " + o.lineError);
      return lines;
    }
  }
  return {};
}

}  // namespace

std::string printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto control = [&out](unsigned char c) {
    out += '<';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    out += '>';
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // U+0080..U+009F in UTF-8 (C2 80..C2 9F) are control characters too: C2 9B starts an
    // escape sequence on many terminals.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      control(static_cast<unsigned char>(text[++i]));
    } else if (c < 0x20 || c == 0x7F) {
      control(c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string shortName(std::string_view name) {
  constexpr std::size_t kHead = 80, kTail = 40;
  std::string shown = printable(name);
  if (shown.size() <= kHead + kTail + 3) return shown;
  // Cut on character boundaries: never inside a UTF-8 sequence or a "<0D>".
  auto cut = [&shown](std::size_t at) {
    while (at > 0 && at < shown.size() && (static_cast<unsigned char>(shown[at]) & 0xC0) == 0x80) --at;
    const std::size_t open = shown.rfind('<', at);
    if (open != std::string::npos && at - open < 4 && shown.find('>', open) >= at) at = open;
    return at;
  };
  const std::size_t head = cut(kHead);
  const std::size_t tail = cut(shown.size() - kTail);
  return shown.substr(0, head) + "..." + shown.substr(tail);
}

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
