#include "cli/record.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "cli/outcome_report.h"
#include "cli/platform.h"
#include "cli/terminal_operator.h"
#include "file/locked_file.h"

namespace velkorn::cli {

std::string utcTime(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(at);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss time{ms - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
  return text;
}

std::string recordLine(const Options& options, const BoardResult& result, std::chrono::system_clock::time_point at) {
  JsonObject line = boardJson(options, result);
  line.add("time", utcTime(at)).add("station", options.station.empty() ? platform::hostName() : options.station);
  // info's object carries the device already.
  if (options.command != Command::Info) {
    if (result.facts.device) line.add("device", *result.facts.device); else line.addNull("device");
  }
  line.add("port_path", result.facts.portPath);
  if (const auto& usb = result.facts.usb) {
    line.add("usb", JsonObject().add("vid", usb->vid).add("pid", usb->pid).add("serial", usb->serial)
                        .add("product", usb->product));
  } else {
    line.addNull("usb");
  }
  return line.str();
}

void recordBoard(const Options& options, BoardResult& result, std::ostream& err) {
  if (options.record.empty()) return;
  const std::string line = recordLine(options, result, std::chrono::system_clock::now());
  const Status appended = file::appendLocked(options.record, line + "\n");
  if (appended) return;
  const std::string why =
      "the record of this board could not be written to " + options.record + ": " + appended.message();
  err << kStderrPrefix << printable(why) << '\n';
  err.flush();
  if (result.exit == kExitDone) {
    result.outcome = "record-error";
    result.message = why;
  } else {
    result.message += "; " + why;
  }
  result.exit = std::max(result.exit, static_cast<int>(kExitChipFailed));
}

}  // namespace velkorn::cli
