// `velkorn-cli ports`: every serial port the machine offers, under the name that reaches it.
#include <chrono>
#include <ostream>

#include "cli/board.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/outcome_report.h"
#include "cli/terminal_operator.h"
#include "link/port_list.h"

namespace velkorn::cli {

int listPortsCommand(const Options& options, std::ostream& out, std::ostream& err) {
  const auto start = std::chrono::steady_clock::now();
  // Opening a port raises DTR and RTS, which resets a board wired for a DTR reset: only
  // --probe does it.
  const std::vector<link::PortEntry> ports = link::listPorts(options.probe);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (ports.empty() && !options.quiet) err << kStderrPrefix << "no serial ports found\n";
  if (options.json) {
    for (const link::PortEntry& p : ports) {
      JsonObject usb;
      if (p.usb) usb.add("vid", p.usb->vid).add("pid", p.usb->pid).add("serial", p.usb->serial).add("product", p.usb->product);
      JsonObject line;
      line.add("port", p.name.empty() ? p.path : p.name).add("command", "ports").add("ok", true).add("exit", 0)
          .add("outcome", "done").addNumber("seconds", seconds, 3)
          .add("name", p.name).add("path", p.path).add("device", p.device).add("by_id", p.byId);
      if (p.usb) line.add("usb", usb); else line.addNull("usb");
      line.add("available", p.available).add("reason", p.reason);
      out << line.str() << '\n';
    }
    out.flush();
    return kExitDone;
  }
  for (const link::PortEntry& p : ports) {
    std::string text = (p.name.empty() ? std::string("-") : p.name) + "  " + printable(p.device);
    if (p.path != p.device) text += " (" + printable(p.path) + ")";
    if (!p.byId.empty()) text += "  " + printable(p.byId);
    if (p.usb) {
      text += "  USB " + p.usb->vid + ":" + p.usb->pid;
      if (!p.usb->serial.empty()) text += " serial " + printable(p.usb->serial);
      if (!p.usb->product.empty()) text += " \"" + printable(p.usb->product) + "\"";
    }
    text += p.available ? "  available" : "  not available: " + printable(p.reason);
    out << printable(text) << '\n';
  }
  out.flush();
  return kExitDone;
}

}  // namespace velkorn::cli
