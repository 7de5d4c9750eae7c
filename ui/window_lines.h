#pragma once
// The window's lines: the serial port, a network serial server's link and the socket to
// the network module. One of them at most is open; this class knows which, opens the one
// a menu entry names, sets the rate on it, lends it to a chip command, and gives the engine
// and the terminal each their one way to reach it. The window keeps the widgets and shows
// what it hears from here.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "link/forwarding_link.h"
#include "link/modem_lines.h"
#include "link/network_link.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "ui/module_socket.h"
#include "ui/network_line.h"
#include "ui/terminal_line.h"

class QWidget;

namespace velkorn::ui {

class Dialogs;

// The menu entry of the network link ("&TCP/Winsock"); the serial ports are 1 to 8.
inline constexpr int kNetworkEntry = 0;
// Status panel 0 while no line is open.
inline constexpr const char* kNoLinePanel = "---";
// A chip command's box while no line is open.
inline constexpr const char* kNoLineText = "No line is open: choose a COM port or \"TCP/Winsock\" in the \"Comport\" menu";

enum class LineKind {
  None,           // nothing chosen, or the last choice could not be opened
  Serial,         // COM1 to COM8
  NetworkServer,  // a network serial server (tcp://, rfc2217:// in the host field)
  Module,         // the network module through the socket component
};

struct LineState {
  LineKind kind = LineKind::None;
  int entry = -1;      // the menu entry of the line: 1..8, kNetworkEntry, or -1 for none
  bool open = false;   // the line still carries bytes (a server or module may have left)
  std::string why;     // why the last choice could not be opened; empty when it was
};

// What one COM entry of the menu can do.
struct PortProbe {
  std::string path;    // the device COMn stands for; empty when there is none
  bool opened = false; // it opens (or it is this window's own open line)
  std::string reason;  // why it does not open
  std::string hint;    // the whole story, for the entry's tool tip
};

class WindowLines {
 public:
  // `commandRunning` says whether a chip command or a HEX load owns the line, which keeps
  // the terminal off it. `owner` owns the boxes of failed opens.
  WindowLines(Dialogs& dialogs, QWidget* owner, std::function<bool()> commandRunning);
  WindowLines(const WindowLines&) = delete;
  WindowLines& operator=(const WindowLines&) = delete;

  // What the engine talks through, for the window's whole life.
  isp::Link& chipLink() { return chip_; }
  TerminalLink& terminalLink() { return terminal_; }

  // Whether COMn opens, on a port of its own: the line in use stays open meanwhile.
  PortProbe probe(int n);
  // Drops whatever line is open and opens entry n (1..8 a COM port, kNetworkEntry the host
  // field's server or module). A failure is told in the debug log and its box; false also
  // when a newer choice or the closing window ended a network wait (state().why empty).
  bool open(int n);
  // The closing window: every line is dropped and any network wait given up.
  void closeAll();
  // Drops whatever line is open: afterwards no line is.
  void drop();
  // Why the open line no longer carries bytes (a serial line hung up, a network server or
  // the module closed the connection); nothing while it does, or while no line is open.
  std::optional<std::string> lostLine();
  // Applies the rate on the line the engine talks through; onRate hears what it did.
  void setRate(int rate);
  // Drives DTR or RTS of the open line (a serial port, or a server through RFC 2217); an
  // Error on a line without modem lines (a raw TCP server, the module, a pseudo-terminal).
  Status setModemLine(link::ModemLine line, bool high);
  LineState state() const;
  // "COMn" or "TCP" for the open entry, else kNoLinePanel.
  std::string panelName() const;

  // A chip command over the module's connection: the engine gets a raw link on it, and
  // the module's arrivals wait for the terminal until the loan ends. Over any other line
  // the loan lends nothing and the engine keeps the line it has.
  class Loan {
   public:
    explicit Loan(WindowLines* lines) : lines_(lines) {}
    Loan(Loan&& other) noexcept : lines_(std::exchange(other.lines_, nullptr)) {}
    Loan& operator=(Loan&&) = delete;
    ~Loan() {
      if (lines_) lines_->takeBack();
    }

   private:
    WindowLines* lines_;
  };
  [[nodiscard]] Loan lend();

  // Lines for the debug log: what a port's driver said at open, a network link's notes.
  std::function<void(const std::string&)> log;
  // What a rate change did: done, Closed when no line of ours takes a rate (none is open,
  // or the module's connection, which runs at the module's rate), Unsupported when the line
  // cannot set it (a raw TCP server), or a refusal (link::rateRefused) with the line's reason.
  link::RateHandler onRate;
  // What arrives from the module while no chip command holds its connection.
  std::function<void()> onModuleData;

  link::SerialPort& serialPort() { return port_; }
  ModuleSocket& module() { return module_; }
  // The network serial server's link while one is open (also after the server left).
  link::NetworkLink* networkLink() const { return network_.link(); }

 private:
  bool openSerial(int n);
  bool openNetworkServer(const std::string& url);
  // A network link's note after a rate change, unless it says again what was logged last.
  void noteRate(const std::string& where, const link::NetworkLink& line);
  void takeBack();
  void say(const std::string& line) const;

  Dialogs& dialogs_;
  QWidget* owner_;
  link::SerialPort port_;
  link::SerialLink serialLink_;
  NetworkLine network_;
  ModuleSocket module_;
  link::ForwardingLink chip_;
  TerminalLine terminal_;
  std::unique_ptr<link::NetworkLink> borrowed_;  // the module's connection, lent
  int entry_ = -1;
  std::string why_;
  std::string lastRateNote_;  // the network link's note last logged
};

}  // namespace velkorn::ui
