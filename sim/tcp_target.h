#pragma once
// The simulated bootloader behind a TCP port on 127.0.0.1, as a network serial server in raw
// mode presents a board's line: the bytes of one connection go to the chip as they are, and
// its answers come back on that connection. One programmer at a time: a new connection
// replaces the old one, as a programmer started again after a crash expects.
#include <cstdint>
#include <functional>
#include <string>

#include "sim/line_target.h"

namespace velkorn::sim {

class TcpTarget final : public LineTarget {
 public:
  explicit TcpTarget(Bootloader& model) : LineTarget(model) {}
  ~TcpTarget() override;

  // Listens on 127.0.0.1:`port`; 0 takes a free port. False with `error` set when it cannot.
  bool listen(int port, std::string& error);
  int port() const { return port_; }
  // A fault: the connection is closed right after its n-th byte (1-based, counted over all
  // connections) came in; 0: never.
  void setHangUpAfter(int bytes) { hangUpAfter_ = bytes; }
  // Called when a programmer connects ("127.0.0.1:54321") and when its connection ends ("").
  std::function<void(const std::string& peer)> onConnection;

 protected:
  int lineFd() const override { return client_; }
  ssize_t readLine(char* buffer, std::size_t size) override;
  int watchFd() const override { return listener_; }
  void onWatchReadable() override;
  bool onLineEnd() override;

 private:
  void closeClient();

  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  int hangUpAfter_ = 0;
  std::uint64_t received_ = 0;
};

}  // namespace velkorn::sim
