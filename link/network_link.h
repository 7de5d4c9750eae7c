#pragma once
// The engine's line to a network serial server: `tcp://HOST:PORT` (raw TCP) or
// `rfc2217://HOST:PORT` (Telnet COM-PORT-OPTION). Blocking calls with bounded waits, as the
// serial port's: used while a chip command runs, by the command line and the window alike,
// with no event loop behind them (the terminal's socket component is a separate thing).
//
// The owner opens one with openNetworkLink and, besides the isp::Link calls, listens to
// onRate as it does on the serial adapter, and writes note() into the debug log after the
// open and after each rate change.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "isp/link.h"
#include "link/modem_lines.h"
#include "link/net_address.h"
#include "link/serial_link.h"

namespace velkorn::link {

// How long an answer that ends at a pause may take to start over a network link: covers a
// round trip of a few hundred milliseconds (a server on another continent, a loaded VPN).
inline constexpr std::chrono::milliseconds kNetworkAnswerStart{1000};

struct NetworkLimits {
  ConnectLimits connect;
  // rfc2217: how long the server has to answer the option negotiation at open, and to
  // acknowledge a rate change.
  std::chrono::milliseconds negotiation{2000};
  std::chrono::milliseconds rateAnswer{2000};
};

class NetworkLink : public isp::Link {
 public:
  // Line data received and not yet read is kept up to this much; what a server sends beyond
  // it while nobody reads (during the open, a rate change) is dropped.
  static constexpr std::size_t kMaxUnreadBytes = 64 * 1024;
  static constexpr std::size_t kMaxOwedBytes = 4096;

  ~NetworkLink() override;
  NetworkLink(const NetworkLink&) = delete;
  NetworkLink& operator=(const NetworkLink&) = delete;

  // Open while the connection lasts; false once the server closed it or it failed.
  bool isOpen() const override { return fd_ >= 0 && !gone_; }
  // Why the connection ended (the server closed it, or it failed); empty while it lasts.
  const std::string& lostReason() const { return lost_; }
  // One send of the whole record within the serial port's write time-outs (100 ms per byte
  // plus 100 ms).
  Status writeBytes(std::string_view bytes) override;
  // At most one byte within 20 ms. Bytes the server sent before it closed are handed out
  // first; then the read fails (Closed) and says why.
  Result<isp::LinkRead> readByte() override;
  // An answer's echo comes a round trip after the record; over a network that can be far
  // more than the engine's gap between bytes.
  std::chrono::milliseconds answerStartLimit() const override { return kNetworkAnswerStart; }

  const NetAddress& address() const { return address_; }
  void close();
  // DTR or RTS on the server's port. A raw TCP link carries no modem lines: Unsupported.
  virtual Status setModemLine(ModemLine line, bool high);
  // Every send and wait of the link ends by this time (the open's limit); none: no deadline.
  void setDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) { deadline_ = deadline; }

  // What a rate change did, as on the serial adapter. Over raw TCP the rate cannot reach
  // the server's port: Unsupported (note() says so); over rfc2217 it is done once the server
  // acknowledged the rate, Failed when it set another rate or never answered.
  RateHandler onRate;
  const Status& lastRate() const { return lastRate_; }
  // One line for the debug log: what the open agreed on, or what the last rate change did.
  const std::string& note() const { return note_; }

 protected:
  NetworkLink(NetAddress address, int fd, NetworkLimits limits);

  // Turns the bytes as they came off the socket into line data (appended to `data`); the
  // raw link takes them as they are.
  virtual void decode(std::string_view received, std::string& data) = 0;
  // Turns a record into what goes on the socket.
  virtual std::string encode(std::string_view bytes) const { return std::string(bytes); }

  // Sends protocol bytes as they are, within the write time-outs for their length and never
  // past the deadline (when one is set); the bytes owed to the server go out first.
  Status sendRaw(std::string_view bytes);
  // Bytes the protocol owes the server (answers to its Telnet requests): sent as far as the
  // socket takes them now, the rest kept for the next send, at most kMaxOwedBytes. A server
  // that floods requests and never reads costs neither waits nor memory.
  void sendOwed(std::string_view bytes);
  std::optional<std::chrono::steady_clock::time_point> deadline() const { return deadline_; }
  // Waits up to `wait` for what the server sends and decodes it; an Error once the
  // connection failed or closed.
  Status pump(std::chrono::milliseconds wait);
  // Hands what a rate change did to lastRate(), note() and onRate, and returns it.
  Status reportRate(int rate, Status result, std::string note);
  void setNote(std::string note) { note_ = std::move(note); }

  const NetworkLimits limits_;

 private:
  // The connection ended: every later call fails with `reason` (Closed).
  Error lost(std::string reason);
  Error notOpen() const { return makeError(ErrorCode::Closed, "no connection is open"); }
  Error writeTimedOut() const;

  NetAddress address_;
  int fd_ = -1;
  bool gone_ = false;  // the server closed the connection or it failed
  std::string lost_;   // why
  std::string note_;
  Status lastRate_ = makeError(ErrorCode::Closed, "no rate set yet");
  // Line data decoded and not yet handed out.
  std::string rx_;
  std::size_t rxPos_ = 0;
  std::string owed_;  // protocol answers the socket did not take yet
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Opens `tcp://HOST:PORT` or `rfc2217://HOST:PORT` (isNetworkPort tells these names from a
// device or COM name). The Error is one line for the person: the parse error, "unknown host
// HOST", "cannot reach HOST:PORT: Connection refused", "cannot reach HOST:PORT: timed
// out", or why the rfc2217 negotiation failed.
Result<std::unique_ptr<NetworkLink>> openNetworkLink(const std::string& url, const NetworkLimits& limits = {});

}  // namespace velkorn::link
