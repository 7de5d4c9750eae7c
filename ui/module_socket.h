#pragma once
// The socket to the network module: it owns the TPowersock, keeps the address the host
// field gave it, runs the TCP branch of the link selection (connect, give way to a newer
// choice, disconnect), and sends without ever holding the window: what the module does not
// take at once waits in a bounded queue that drains as the socket accepts it.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/result.h"

class QTimer;
class QWidget;

namespace velkorn::link {
class ESockError;
class TPowersock;
}

namespace velkorn::ui {

class Dialogs;

// The host field's text at start: a short name of the module.
inline constexpr const char* kDefaultModuleHost = "IP";
// The text of the failed TCP connect box: what the host field held and why it failed. The
// module is named as such; a network serial server by its URL.
std::string connectFailedText(const std::string& typed, const std::string& why, bool module);
// Bytes that may wait for a module that reads slowly or not at all.
inline constexpr std::size_t kSendQueueLimit = 1024 * 1024;
// How often waiting bytes are offered to the socket again.
inline constexpr int kSendDrainIntervalMs = 10;

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

  // Connects to the module; on failure shows the one "ERROR" box naming the address and the
  // cause (also in failure()), unless another link choice or the closing window ended the
  // wait.
  bool connect();
  const std::string& failure() const { return failure_; }
  // Ends a connect still waiting for the module (the operator chose something else).
  void giveWay();
  void disconnect();

  bool connected() const;
  // Why the connection ended under a read or a write (a module that restarted resets it),
  // once it has: the connection is then closed and shown so, with one box naming this.
  // Empty while it carries bytes, or when the module closed it in order.
  const std::string& lost() const { return lost_; }
  // Sends the text up to its first zero byte, as the socket's Write does (a text of 65,536
  // bytes or more fails its range check, std::out_of_range). What the socket does not take at once
  // is queued; a text that does not fit into the queue is dropped whole, never cut. A
  // failure of the socket itself ends the connection (lost()).
  void write(const std::string& text);
  std::string read();
  // Bytes waiting for the module.
  std::size_t queued() const { return queue_.size() - queueStart_; }
  // What arrives from the module.
  void onData(std::function<void()> handler);
  // Lines for the debug log (queue overflow totals, bytes lost with the connection).
  void onLog(std::function<void(const std::string&)> handler) { log_ = std::move(handler); }
  // Failures the operator is told of: the first overflow of the queue (with the bytes
  // dropped so far), and a socket failure while the queue drains.
  void onReport(std::function<void(const std::string&)> handler) { report_ = std::move(handler); }

 private:
  // Offers the waiting bytes to the socket until it takes no more; the socket's failure
  // when it failed (the queue is then dropped).
  Status pump();
  // Why a connect failed, in words the operator reads.
  std::string failureReason(const link::ESockError& e);
  void drainTick();
  void dropQueue(const char* why);
  void noteDropped(std::size_t bytes);
  void log(const std::string& line) const;
  // A read or a write failed: the connection is of no use any more.
  void connectionLost(const std::string& socketError);

  Dialogs& dialogs_;
  std::unique_ptr<link::TPowersock> sock_;
  std::string address_;
  std::string failure_;       // why the last connect failed
  std::string lost_;          // why the connection ended under a read or a write
  bool connecting_ = false;   // Connect waits for the module
  bool superseded_ = false;   // another link choice or the close ended that wait

  std::string queue_;           // bytes for the module; the first queueStart_ already went out
  std::size_t queueStart_ = 0;
  QTimer* drainTimer_ = nullptr;
  std::size_t dropped_ = 0;     // bytes dropped since the queue last ran empty
  bool overflowReported_ = false;  // since the connection was made
  bool reportPending_ = false;
  std::size_t reportedDrop_ = 0;    // what the pending report will say
  std::function<void(const std::string&)> log_;
  std::function<void(const std::string&)> report_;
};

}  // namespace velkorn::ui
