#pragma once
// The simulated bootloader behind a TCP port on 127.0.0.1, as a network serial server in raw
// mode presents a board's line: the bytes of one connection go to the chip as they are, and
// its answers come back on that connection. One programmer at a time: a new connection
// replaces the old one, as a programmer started again after a crash expects.
#include <cstdint>
#include <functional>
#include <string>

#include "sim/line_target.h"
#include "sim/telnet_decoder.h"

namespace velkorn::sim {

class TcpTarget final : public LineTarget {
 public:
  explicit TcpTarget(Bootloader& model) : LineTarget(model) {
    telnet_.onCommand = [this](std::uint8_t verb, std::uint8_t option) { command(verb, option); };
    telnet_.onSubnegotiation = [this](const std::string& sub) { subnegotiation(sub); };
  }
  ~TcpTarget() override;

  // Listens on 127.0.0.1:`port`; 0 takes a free port. False with `error` set when it cannot.
  bool listen(int port, std::string& error);
  int port() const { return port_; }
  // A fault: the connection is closed right after its n-th byte (1-based, counted over all
  // connections) came in; 0: never.
  void setHangUpAfter(int bytes) { hangUpAfter_ = bytes; }
  // Called when a programmer connects ("127.0.0.1:54321") and when its connection ends ("").
  std::function<void(const std::string& peer)> onConnection;

  // Serve the Telnet COM-PORT-OPTION (RFC 2217) as a network serial server does: options
  // negotiated, 0xFF doubled both ways, every COM-PORT request acknowledged.
  void serveRfc2217(bool on) { rfc2217_ = on; }
  // A board running its application: nothing reaches the bootloader until DTR has gone low
  // and high again (a reset through the modem lines, which only RFC 2217 carries here).
  void needReset(bool on) { runApplication(on); }
  // A rate the programmer set (SET-BAUDRATE), and each modem-line change ("dtr=0").
  std::function<void(int bitsPerSecond)> onRate;
  std::function<void(const std::string& step)> onModemLine;

 protected:
  int lineFd() const override { return client_; }
  ssize_t readLine(char* buffer, std::size_t size) override;
  int watchFd() const override { return listener_; }
  void onWatchReadable() override;
  bool onLineEnd() override;
  int lineRateNow() const override { return rate_; }
  bool programmerPresent() const override { return client_ >= 0; }

 private:
  void closeClient();
  // Telnet commands are answered.
  void command(std::uint8_t verb, std::uint8_t option);
  void subnegotiation(const std::string& sub);
  void reply(const std::string& bytes);
  std::string encodeOutput(std::string_view bytes) override;

  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  int hangUpAfter_ = 0;
  std::uint64_t received_ = 0;
  bool rfc2217_ = false;
  bool dtrWentLow_ = false;
  bool rtsHigh_ = false;  // the bootloader-entry pin, held while the reset ends
  int rate_ = 0;          // as the programmer set it (rfc2217), 0 until then
  TelnetDecoder telnet_;
};

}  // namespace velkorn::sim
