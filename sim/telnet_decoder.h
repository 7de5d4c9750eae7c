#pragma once
// The simulated server's reading of a Telnet stream: line data goes to the caller, commands
// and subnegotiations to the server's handlers. Cut-off commands cost the bytes inside them;
// a subnegotiation keeps at most kMaxSubnegotiation bytes, IACs undoubled.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace velkorn::sim {

class TelnetDecoder {
 public:
  static constexpr std::size_t kMaxSubnegotiation = 64;  // the server's requests are a handful of bytes

  // WILL/WONT/DO/DONT and its option.
  std::function<void(std::uint8_t verb, std::uint8_t option)> onCommand;
  // What stood between IAC SB and IAC SE.
  std::function<void(const std::string& sub)> onSubnegotiation;

  // Appends the data bytes of `in` to `data`; the state carries over to the next call.
  void decode(const char* in, std::size_t size, std::string& data);
  // A new connection starts in data.
  void reset() { state_ = State::Data; }

 private:
  enum class State { Data, Iac, Verb, Sub, SubIac } state_ = State::Data;
  std::uint8_t verb_ = 0;
  std::string sub_;
};

}  // namespace velkorn::sim
