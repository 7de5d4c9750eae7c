#pragma once
// The window's line over the network, beside the serial port and the module socket.
//
// The host field tells which kind of server sits behind "&TCP/Winsock": `host[:port]` is the
// network module, reached through the socket component as the terminal always was;
// `tcp://HOST:PORT` (raw) or `rfc2217://HOST:PORT` is a network serial server, opened here
// as a link::NetworkLink that the terminal and the chip commands both use like a serial
// port. The module's own connection can carry a chip command too (link::borrowConnection).
#include <cstdint>
#include <memory>
#include <string>

#include "link/network_link.h"

namespace velkorn::ui {

class NetworkLine {
 public:
  NetworkLine() = default;
  NetworkLine(const NetworkLine&) = delete;
  NetworkLine& operator=(const NetworkLine&) = delete;

  // Opens the server `url` names. The name lookup, the connect and the RFC 2217 negotiation
  // run on a helper thread within their own bounds, while the window's events keep running
  // (as the module socket's connect waits), so a newer link choice or the closing window can
  // end the wait with giveWay(). False with `reason` set when the server cannot be reached,
  // or with `reason` empty when the wait was given up.
  bool open(const std::string& url, std::string* reason);
  // Ends a wait in open(); what that attempt brings later is closed unused.
  void giveWay() { ++attempt_; }
  void close() { link_.reset(); }

  // The open link (also after the server went away), or null.
  link::NetworkLink* link() const { return link_.get(); }
  // Open while the server keeps the connection.
  bool isOpen() const { return link_ && link_->isOpen(); }

 private:
  std::unique_ptr<link::NetworkLink> link_;
  std::uint64_t attempt_ = 0;  // the open() whose wait is still wanted
};

}  // namespace velkorn::ui
