#pragma once
// `tcp://HOST:PORT`: the bytes of the line go over the connection as they are, which is
// what a network serial server's raw mode (and most serial device servers) expect. The
// server's port settings belong to the server: a rate change cannot reach them.
#include "link/network_link.h"

namespace velkorn::link {

// What note() says after a rate change to `rate` on a raw connection.
std::string rawRateNote(int rate);

class TcpLink final : public NetworkLink {
 public:
  TcpLink(NetAddress address, int fd, NetworkLimits limits = {})
      : NetworkLink(std::move(address), fd, limits) {}

  // A rate cannot reach the server's port: Unsupported, and note() says what the port
  // must run at; onRate hears of it too. Closed when the connection is closed.
  Status setBaudRate(int rate) override;
  isp::LinkCapabilities capabilities() const override { return {}; }

 protected:
  void decode(std::string_view received, std::string& data) override { data.append(received); }
};

}  // namespace velkorn::link
