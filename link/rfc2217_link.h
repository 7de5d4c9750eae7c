#pragma once
// `rfc2217://HOST:PORT`: Telnet with the COM-PORT-OPTION (RFC 2217), so that the rate, 8N1,
// flow control and the modem lines are set on the server's port as on a local one.
//
// The connection asks for COM-PORT-OPTION, BINARY both ways and SUPPRESS-GO-AHEAD and
// refuses every other option (RFC 854/855 and the loop-free negotiation of RFC 1143). Data
// bytes 0xFF go out doubled and come in doubled; every Telnet command and subnegotiation the
// server puts into the stream (line and modem state notifications included) is consumed and
// never handed out as data. Malformed or cut-off commands cost at most the bytes inside
// them: a subnegotiation that never ends is dropped after kMaxSubnegotiationBytes.
#include <array>
#include <cstdint>
#include <string>

#include "link/network_link.h"
#include "link/telnet.h"

namespace velkorn::link {


class Rfc2217Link final : public NetworkLink {
 public:
  // A subnegotiation longer than this is garbage: it is dropped and the stream reads as data
  // again. A COM-PORT answer is a handful of bytes; a server's signature text fits easily.
  static constexpr std::size_t kMaxSubnegotiationBytes = 512;

  Rfc2217Link(NetAddress address, int fd, NetworkLimits limits = {});

  // At open: negotiates the options, then asks for 8N1, no flow control, DTR and RTS on.
  // An Error when the server refuses the COM-PORT-OPTION (Unsupported) or does not answer
  // it within the negotiation limit (TimedOut). note() says what was agreed.
  Status negotiate();

  // Sends SET-BAUDRATE and waits for the server's acknowledgement before anything else goes
  // out, within the rate-answer limit; data arriving meanwhile is kept. Done when the
  // server acknowledges this rate; an Error (note() says the same) when it applies another
  // one, never answers (TimedOut), or the connection fails.
  Status setBaudRate(int rate) override;
  isp::LinkCapabilities capabilities() const override { return {true, true, false}; }
  // SET-CONTROL: the server drives the line on its port. Not waited for: a server on a port
  // without modem lines (a pseudo-terminal) may never acknowledge it.
  Status setModemLine(ModemLine line, bool high) override;

 protected:
  void decode(std::string_view received, std::string& data) override;
  std::string encode(std::string_view bytes) const override;

 private:
  // Where an option stands on one side (RFC 1143, without the queue bit: we never change
  // our mind while a request is out).
  enum class Option : std::uint8_t { No, Yes, WantYes };
  enum class State : std::uint8_t { Data, Iac, Negotiation, Sub, SubIac };

  void command(std::uint8_t byte, std::string& data);
  void negotiation(std::uint8_t verb, std::uint8_t option);
  void subnegotiation();
  void ask(std::uint8_t verb, std::uint8_t option);
  Status sendComPort(std::uint8_t command, std::string_view value);
  // Pumps the connection until `done` holds or `limit` passes; an Error on a failed
  // connection.
  template <class Done>
  Status waitFor(std::chrono::milliseconds limit, Done done);

  std::array<Option, 256> us_{};    // options on our side (WILL/WONT)
  std::array<Option, 256> him_{};   // options on the server's side (DO/DONT)
  State state_ = State::Data;
  std::uint8_t verb_ = 0;           // WILL/WONT/DO/DONT awaiting its option byte
  bool lastWasCr_ = false;          // NVT: a CR's NUL is dropped while BINARY is off
  bool heardCommand_ = false;       // the server sent a Telnet command (not a doubled 0xFF)
  std::string sub_;                 // the subnegotiation being read, IACs undoubled
  // Answers from the server, by COM-PORT command: how many arrived, and the last value.
  std::array<int, 256> answers_{};
  std::array<std::string, 256> answerValue_{};
  // Requests whose answers are still out, by command.
  std::array<int, 256> pending_{};
  // Replies the decoder owes the server (option answers); sent after each decode.
  std::string replies_;
  int appliedRate_ = 0;      // the rate the server last acknowledged as set; 0: none, or unsure
  bool rateSilent_ = false;  // the server left a rate request unanswered and has not answered since
};

}  // namespace velkorn::link
