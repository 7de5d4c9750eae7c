#include "ui/module_socket.h"

#include <QString>
#include <QTimer>
#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "link/powersock.h"
#include "ui/dialogs.h"

namespace velkorn::ui {

ModuleSocket::ModuleSocket(Dialogs& dialogs, QWidget* owner) : dialogs_(dialogs) {
  try {
    sock_ = std::make_unique<link::TPowersock>();
    sock_->setObjectName(QStringLiteral("sock"));
    sock_->ReportLevel = 0;
    sock_->Port = 0;
    drainTimer_ = new QTimer(sock_.get());
    drainTimer_->setInterval(kSendDrainIntervalMs);
    QObject::connect(drainTimer_, &QTimer::timeout, sock_.get(), [this] { drainTick(); });
  } catch (const std::exception& failure) {
    sock_.reset();
    dialogs_.error(owner, QString::fromStdString(failure.what()), false);
  }
}

ModuleSocket::~ModuleSocket() {
  // The socket's own closing must not reach the terminal, which may already be gone.
  if (sock_) sock_->OnDataAvailable = nullptr;
}

void ModuleSocket::setAddress(const std::string& text) {
  address_ = text;
  if (!sock_) return;
  // A port that is no number leaves the whole text as the host, so that Connect fails.
  if (const auto split = link::TPowersock::SplitHostPort(text)) {
    sock_->Host = split->host;
    sock_->Port = split->port;
  } else {
    sock_->Host = text;
    sock_->Port = link::TPowersock::kDefaultModulePort;
  }
}

std::string connectFailedText(const std::string& typed, const std::string& why, bool module) {
  return std::string("Can not connect to ") + (module ? "the module " : "") + "\"" + typed + "\"" +
         (why.empty() ? std::string() : ": " + why);
}

std::string ModuleSocket::failureReason(const link::ESockError& e) {
  // The system's reason where the network gave one ("Connection refused").
  const std::string numbered = sock_->SocketErrorText(sock_->LastNotificationError());
  if (const auto colon = numbered.find(':'); colon != std::string::npos) return numbered.substr(colon + 1);
  switch (e.cause()) {
    case link::ESockError::Cause::NoAddress: return "no address for this host";
    case link::ESockError::Cause::LookupTimedOut: return "the host name lookup took too long";
    case link::ESockError::Cause::ConnectTimedOut: return "the module did not answer in time";
    default: return e.what();
  }
}

bool ModuleSocket::connect() {
  failure_.clear();
  lost_.clear();
  overflowReported_ = false;
  if (sock_) {
    connecting_ = true;
    superseded_ = false;
    try {
      // The wait inside keeps the window alive; any handler may run meanwhile.
      sock_->Connect();
      connecting_ = false;
      return true;
    } catch (const link::ESockError& e) {
      failure_ = failureReason(e);
    } catch (const std::exception& e) {
      failure_ = e.what();
    }
    connecting_ = false;
    // The operator asked for what ended the wait: there is nothing to report.
    if (superseded_) {
      failure_.clear();
      return false;
    }
  } else {
    failure_ = "the socket layer could not be started";
  }
  if (failure_.empty()) failure_ = "no reason given";
  dialogs_.connectFailed(QString::fromStdString(connectFailedText(address_, failure_, true)));
  return false;
}

void ModuleSocket::giveWay() {
  if (!connecting_) return;
  superseded_ = true;
  sock_->Cancel();
}

void ModuleSocket::disconnect() {
  dropQueue("the link was dropped");
  if (connected()) sock_->Disconnect();
}

bool ModuleSocket::connected() const { return sock_ && sock_->Connected(); }

void ModuleSocket::write(const std::string& text) {
  if (!sock_) return;
  const std::size_t length = std::min(text.find('\0'), text.size());
  if (length > link::TPowersock::kMaxTransferBytes) throw std::out_of_range(link::kRangeFailureText);
  if (length == 0) return;
  if (queued() + length > kSendQueueLimit) {
    noteDropped(length);
    return;
  }
  if (queueStart_ > 0) {
    queue_.erase(0, queueStart_);
    queueStart_ = 0;
  }
  queue_.append(text, 0, length);
  if (const Status pumped = pump(); !pumped) connectionLost(pumped.message());
}

Status ModuleSocket::pump() {
  // The window never waits for the module: what the socket does not take now waits here.
  while (queued() > 0) {
    const auto sent = sock_->SendWithoutWaiting(std::string_view(queue_).substr(queueStart_));
    if (!sent) {
      dropQueue(nullptr);
      return sent.error();
    }
    if (*sent == 0) break;
    queueStart_ += *sent;
  }
  if (queued() == 0) {
    dropQueue(nullptr);
  } else if (!drainTimer_->isActive()) {
    drainTimer_->start();
  }
  return {};
}

void ModuleSocket::drainTick() {
  if (!connected()) {
    dropQueue("the module closed the connection");
    return;
  }
  if (const Status pumped = pump(); !pumped) connectionLost(pumped.message());
}

void ModuleSocket::connectionLost(const std::string& socketError) {
  // "10054:Connection reset by peer": the system's words are the reason.
  const auto colon = socketError.find(':');
  lost_ = colon == std::string::npos ? socketError : socketError.substr(colon + 1);
  if (lost_.empty()) lost_ = "the connection failed";
  log("Connection to the module lost: " + socketError);
  dropQueue("the connection failed");
  if (sock_ && sock_->Connected()) sock_->Disconnect();
}

void ModuleSocket::dropQueue(const char* why) {
  if (why && queued() > 0) log(std::to_string(queued()) + " bytes for the module not sent: " + why);
  queue_.clear();
  queueStart_ = 0;
  if (drainTimer_) drainTimer_->stop();
  if (dropped_ > 0) log("Send queue to the module: " + std::to_string(dropped_) + " bytes dropped in all");
  dropped_ = 0;
}

void ModuleSocket::noteDropped(std::size_t bytes) {
  dropped_ += bytes;
  if (reportPending_) reportedDrop_ += bytes;
  if (overflowReported_) return;
  overflowReported_ = true;
  reportPending_ = true;
  reportedDrop_ = bytes;
  log("Send queue to the module full (" + std::to_string(kSendQueueLimit) + " bytes): dropping what does not fit");
  // Told once for the connection, outside whatever handler is sending, with what was
  // dropped by then (a flood overflows the queue again each time it has drained); each
  // total goes to the debug log when the queue has run empty again.
  QTimer::singleShot(0, sock_.get(), [this] {
    reportPending_ = false;
    if (report_)
      report_("The module does not take what is sent to it: " + std::to_string(reportedDrop_) +
              " bytes dropped so far (the total follows in the debug log)");
  });
}

void ModuleSocket::log(const std::string& line) const {
  if (log_) log_(line);
}

std::string ModuleSocket::read() {
  if (!sock_) return {};
  try {
    return sock_->Read(0);
  } catch (const link::ESockError& e) {
    connectionLost(e.what());
    return {};
  }
}

void ModuleSocket::onData(std::function<void()> handler) {
  if (sock_) sock_->OnDataAvailable = [handler = std::move(handler)](link::TPowersock&) { handler(); };
}

}  // namespace velkorn::ui
