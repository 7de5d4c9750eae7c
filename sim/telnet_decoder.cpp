#include "sim/telnet_decoder.h"

#include "link/telnet.h"

namespace velkorn::sim {

using namespace link::telnet;

void TelnetDecoder::decode(const char* in, std::size_t size, std::string& data) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto b = static_cast<std::uint8_t>(in[i]);
    switch (state_) {
      case State::Data:
        if (b == kIac) state_ = State::Iac;
        else data += static_cast<char>(b);
        break;
      case State::Iac:
        state_ = State::Data;
        if (b == kIac) {
          data += static_cast<char>(b);
        } else if (b >= kWill && b <= kDont) {
          verb_ = b;
          state_ = State::Verb;
        } else if (b == kSb) {
          sub_.clear();
          state_ = State::Sub;
        }
        break;
      case State::Verb:
        state_ = State::Data;
        if (onCommand) onCommand(verb_, b);
        break;
      case State::Sub:
        if (b == kIac) state_ = State::SubIac;
        else if (sub_.size() < kMaxSubnegotiation) sub_ += static_cast<char>(b);
        break;
      case State::SubIac:
        if (b == kSe) {
          state_ = State::Data;
          if (onSubnegotiation) onSubnegotiation(sub_);
        } else {
          if (b == kIac && sub_.size() < kMaxSubnegotiation) sub_ += static_cast<char>(b);
          state_ = State::Sub;
        }
        break;
    }
  }
}

}  // namespace velkorn::sim
