#include "ui/window_lines.h"

#include <QString>

#include "file/directories.h"
#include "link/net_address.h"
#include "link/port_names.h"
#include "link/powersock.h"
#include "ui/dialogs.h"

namespace velkorn::ui {

WindowLines::WindowLines(Dialogs& dialogs, QWidget* owner, std::function<bool()> commandRunning)
    : dialogs_(dialogs),
      owner_(owner),
      serialLink_(port_),
      module_(dialogs, owner),
      chip_(serialLink_),
      terminal_(port_, network_, module_, std::move(commandRunning)) {
  serialLink_.onRate = [this](int rate, const Status& result) {
    if (onRate) onRate(rate, result);
  };
  // The module's bytes belong to the bootloader while a chip command has its connection.
  module_.onData([this] {
    if (!borrowed_ && onModuleData) onModuleData();
  });
}

PortProbe WindowLines::probe(int n) {
  PortProbe result;
  result.path = link::comDevicePath(n);
  if (result.path.empty()) {
    result.reason = "no serial device";
    result.hint = "COM port without a serial device: none found, and no COMn link in " + file::configDirectory();
    return result;
  }
  if (port_.isOpen() && port_.path() == result.path) {
    result.opened = true;  // this window's own line
    return result;
  }
  link::SerialPort probe;
  const Status opened = probe.open(result.path);
  result.opened = opened.ok();
  if (!opened) result.reason = opened.message();
  probe.close();
  if (!result.opened) result.hint = result.path + ": " + result.reason + link::deviceAccessHint(result.path);
  return result;
}

void WindowLines::drop() {
  port_.close();
  // A connect still waiting (a choice made from inside its wait) gives way to the new one.
  module_.giveWay();
  module_.disconnect();
  network_.giveWay();
  network_.close();
  chip_.use(serialLink_);
  entry_ = -1;
}

std::optional<std::string> WindowLines::lostLine() {
  if (entry_ < 0 || borrowed_) return std::nullopt;
  if (port_.isOpen()) {
    const Status line = port_.checkLine();
    if (line) return std::nullopt;
    return line.message();
  }
  if (network_.link()) {
    if (network_.isOpen()) return std::nullopt;
    const std::string why = network_.link()->lostReason();
    return why.empty() ? std::string("the server closed the connection") : why;
  }
  if (entry_ == kNetworkEntry && !module_.connected())
    return module_.lost().empty() ? std::string("the module closed the connection") : module_.lost();
  return std::nullopt;
}

bool WindowLines::open(int n) {
  drop();
  why_.clear();
  bool opened = false;
  if (n == kNetworkEntry) {
    // The host field says which kind of server: a scheme names a network serial server,
    // anything else is the module.
    const std::string host = module_.address();
    if (link::isNetworkPort(host)) {
      opened = openNetworkServer(host);
    } else {
      opened = module_.connect();
      if (!opened) why_ = module_.failure();
      if (!why_.empty()) say("TCP: " + host + ": " + why_);
    }
  } else {
    opened = openSerial(n);
  }
  if (opened) entry_ = n;
  return opened;
}

bool WindowLines::openSerial(int n) {
  const std::string name = "COM" + std::to_string(n);
  const std::string path = link::comDevicePath(n);
  const Status opened = path.empty() ? Status(makeError(ErrorCode::NotFound, "no serial device")) : port_.open(path);
  if (!opened) {
    why_ = path.empty() ? opened.message() : path + ": " + opened.message();
    say(name + ": " + why_);
    dialogs_.error(owner_, QStringLiteral("Can not open COM %1").arg(n), false);
    return false;
  }
  // What the adapter's driver said to low latency: a late byte is easier to explain.
  say(name + ": " + path + ": " + port_.lowLatencyNote());
  return true;
}

bool WindowLines::openNetworkServer(const std::string& url) {
  if (!network_.open(url, &why_)) {
    if (why_.empty()) return false;  // another link choice or the close ended the wait
    say("TCP: " + why_);
    dialogs_.connectFailed(QString::fromStdString(connectFailedText(url, why_, false)));
    return false;
  }
  link::NetworkLink& line = *network_.link();
  lastRateNote_.clear();
  say("TCP: " + url + ": " + (line.note().empty() ? std::string("connected") : line.note()));
  line.onRate = [this, &line, url](int rate, const Status& result) {
    if (!link::rateRefused(result)) noteRate(url, line);
    if (onRate) onRate(rate, result);
  };
  chip_.use(line);
  return true;
}

void WindowLines::closeAll() {
  // The serial port is left to the end of the process. A connect still waiting for the
  // module would keep the closing window alive until the network gives up on it.
  module_.giveWay();
  network_.giveWay();
  network_.close();
  chip_.use(serialLink_);
  module_.disconnect();
}

// What it did reaches the window through onRate.
void WindowLines::setRate(int rate) { (void)chip_.setBaudRate(rate); }

Status WindowLines::setModemLine(link::ModemLine line, bool high) {
  if (port_.isOpen()) return port_.setModemLine(line, high);
  if (network_.link()) return network_.link()->setModemLine(line, high);
  if (entry_ == kNetworkEntry) return makeError(ErrorCode::Unsupported, "the module's connection carries no modem lines");
  return makeError(ErrorCode::Closed, "no line is open");
}

LineState WindowLines::state() const {
  LineState s;
  s.entry = entry_;
  s.why = why_;
  if (port_.isOpen()) {
    s.kind = LineKind::Serial;
    s.open = true;
  } else if (network_.link()) {
    s.kind = LineKind::NetworkServer;
    s.open = network_.isOpen();
  } else if (entry_ == kNetworkEntry) {
    s.kind = LineKind::Module;
    s.open = module_.connected();
  }
  return s;
}

std::string WindowLines::panelName() const {
  if (entry_ < 0) return kNoLinePanel;
  return entry_ == kNetworkEntry ? "TCP" : "COM" + std::to_string(entry_);
}

void WindowLines::noteRate(const std::string& where, const link::NetworkLink& line) {
  if (line.note().empty() || line.note() == lastRateNote_) return;
  lastRateNote_ = line.note();
  say("TCP: " + where + ": " + line.note());
}

WindowLines::Loan WindowLines::lend() {
  if (port_.isOpen() || network_.link() || !module_.connected() || borrowed_) return Loan(nullptr);
  borrowed_ = link::borrowConnection(*module_.socket());
  if (!borrowed_) return Loan(nullptr);
  const std::string where = "module " + borrowed_->address().hostPort();
  lastRateNote_.clear();
  // The module's line runs at the module's own rate: status panel 1 stays empty, as over
  // the module otherwise, and the log says once per command that no rate was set.
  borrowed_->onRate = [this, where, line = borrowed_.get()](int rate, const Status&) {
    noteRate(where, *line);
    if (onRate) onRate(rate, makeError(ErrorCode::Closed, "the module's line runs at the module's own rate"));
  };
  chip_.use(*borrowed_);
  return Loan(this);
}

void WindowLines::takeBack() {
  chip_.use(serialLink_);
  borrowed_.reset();
  // The socket gave its last arrival to the held handler: reading now shows what waits
  // and lets the next arrival through.
  if (module_.connected() && onModuleData) onModuleData();
}

void WindowLines::say(const std::string& line) const {
  if (log) log(line);
}

}  // namespace velkorn::ui
