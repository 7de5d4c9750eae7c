#include "ui/module_socket.h"

#include <QString>
#include <exception>

#include "link/powersock.h"
#include "ui/dialogs.h"

namespace velkorn::ui {

ModuleSocket::ModuleSocket(Dialogs& dialogs, QWidget* owner) : dialogs_(dialogs) {
  try {
    sock_ = std::make_unique<link::TPowersock>();
    sock_->setObjectName(QStringLiteral("sock"));
    sock_->ReportLevel = 0;
    sock_->Port = 0;
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

bool ModuleSocket::connect() {
  if (sock_) {
    connecting_ = true;
    superseded_ = false;
    try {
      // The wait inside keeps the window alive; any handler may run meanwhile.
      sock_->Connect();
      connecting_ = false;
      return true;
    } catch (...) {
      // Every cause ends in the one box below; the socket's own text is not shown.
    }
    connecting_ = false;
    // The operator asked for what ended the wait: there is nothing to report.
    if (superseded_) return false;
  }
  dialogs_.connectFailed(QString::fromLatin1(kConnectFailedText));
  return false;
}

void ModuleSocket::giveWay() {
  if (!connecting_) return;
  superseded_ = true;
  sock_->Cancel();
}

void ModuleSocket::disconnect() {
  if (connected()) sock_->Disconnect();
}

bool ModuleSocket::connected() const { return sock_ && sock_->Connected(); }

void ModuleSocket::write(const std::string& text) {
  if (sock_) sock_->Write(text);
}

std::string ModuleSocket::read() { return sock_ ? sock_->Read(0) : std::string(); }

void ModuleSocket::onData(std::function<void()> handler) {
  if (sock_) sock_->OnDataAvailable = [handler = std::move(handler)](link::TPowersock&) { handler(); };
}

}  // namespace velkorn::ui
