#pragma once
// The socket to the network module: it owns the TPowersock, keeps the address the host
// field gave it, and runs the TCP branch of the link selection (connect, give way to a
// newer choice, disconnect).
#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace velkorn::link {
class TPowersock;
}

namespace velkorn::ui {

class Dialogs;

// The host field's text at start: a short name of the module.
inline constexpr const char* kDefaultModuleHost = "IP";
// The fixed text of the failed TCP connect box, naming the module by its default host name.
inline constexpr const char* kConnectFailedText = "Can not connect to the module \"IP\"";

class ModuleSocket {
 public:
  // A socket layer that cannot start is reported in an error box owned by `owner`; the
  // TCP link then cannot come up, everything else still works.
  ModuleSocket(Dialogs& dialogs, QWidget* owner);
  ~ModuleSocket();
  ModuleSocket(const ModuleSocket&) = delete;
  ModuleSocket& operator=(const ModuleSocket&) = delete;

  // Null only when the socket layer could not be started.
  link::TPowersock* socket() const { return sock_.get(); }

  // Gives the socket the host and port of a host field text ("host" or "host:port").
  // Nothing is checked or connected here; the next connect uses it.
  void setAddress(const std::string& text);
  // The text last given, port included (the socket's Host holds only the host part).
  const std::string& address() const { return address_; }

  // Connects to the module; on failure shows the one "ERROR" box, unless another link
  // choice or the closing window ended the wait.
  bool connect();
  // Ends a connect still waiting for the module (the operator chose something else).
  void giveWay();
  void disconnect();

  bool connected() const;
  void write(const std::string& text);
  std::string read();
  // What arrives from the module.
  void onData(std::function<void()> handler);

 private:
  Dialogs& dialogs_;
  std::unique_ptr<link::TPowersock> sock_;
  std::string address_;
  bool connecting_ = false;   // Connect waits for the module
  bool superseded_ = false;   // another link choice or the close ended that wait
};

}  // namespace velkorn::ui
