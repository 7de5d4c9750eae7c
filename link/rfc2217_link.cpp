#include "link/rfc2217_link.h"

#include <algorithm>
#include <utility>

namespace velkorn::link {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using namespace telnet;

// Options we take on either side; every other one is refused.
bool wanted(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

std::string optionName(std::uint8_t option) {
  switch (option) {
    case kBinary: return "BINARY";
    case kSuppressGoAhead: return "SUPPRESS-GO-AHEAD";
    case kComPortOption: return "COM-PORT-OPTION";
    default: return "option " + std::to_string(option);
  }
}

std::string bigEndian32(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::uint32_t fromBigEndian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<std::uint8_t>(c);
  return value;
}

}  // namespace

Rfc2217Link::Rfc2217Link(NetAddress address, int fd, NetworkLimits limits)
    : NetworkLink(std::move(address), fd, limits) {
  us_.fill(Option::No);
  him_.fill(Option::No);
}

template <class Done>
Status Rfc2217Link::waitFor(milliseconds limit, Done done) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    // Ctrl+C ends the wait as a silent server would: the caller sees no answer.
    if (left.count() <= 0 || stopRaised(limits_.connect)) return {};
    if (Status pumped = pump(std::min(left, kStopSlice)); !pumped) return pumped;
  }
  return {};
}

void Rfc2217Link::ask(std::uint8_t verb, std::uint8_t option) {
  auto& side = (verb == kWill) ? us_ : him_;
  side[option] = Option::WantYes;
  replies_ += static_cast<char>(kIac);
  replies_ += static_cast<char>(verb);
  replies_ += static_cast<char>(option);
}

Status Rfc2217Link::negotiate() {
  auto fail = [](std::string text) { return makeError(ErrorCode::Failed, std::move(text)); };
  ask(kWill, kComPortOption);
  ask(kWill, kBinary);
  ask(kDo, kBinary);
  ask(kWill, kSuppressGoAhead);
  ask(kDo, kSuppressGoAhead);
  const std::string requests = std::exchange(replies_, {});
  if (Status sent = sendRaw(requests); !sent) return sent;
  const auto answered = [this] {
    for (std::uint8_t o : {kComPortOption, kBinary, kSuppressGoAhead}) {
      if (us_[o] == Option::WantYes) return false;
      if (o != kComPortOption && him_[o] == Option::WantYes) return false;
    }
    return true;
  };
  // The negotiation's own limit, or what is left of the open's when that ends first: the
  // message names the one that held.
  milliseconds limit = limits_.negotiation;
  std::string limitName;
  if (const auto end = deadline()) {
    const auto left = std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(*end - Clock::now()));
    if (left < limit) {
      limit = left;
      limitName = " (the rest of the connect limit of " + std::to_string(limits_.connect.total.count()) + " ms)";
    }
  }
  if (Status waited = waitFor(limit, answered); !waited) return waited;
  const std::string where = address().hostPort();
  if (us_[kComPortOption] == Option::WantYes) {
    const std::string within = " within " + std::to_string(limit.count()) + " ms" + limitName;
    if (heardCommand_) {
      return fail("no answer to the COM-PORT-OPTION (RFC 2217) from " + where + within +
                  ", only other Telnet commands");
    }
    return makeError(ErrorCode::TimedOut,
                     "no Telnet answer from " + where + within + " (a raw TCP port? then use tcp://" + where + ")");
  }
  if (us_[kComPortOption] == Option::No) {
    return makeError(ErrorCode::Unsupported, "the server " + where + " refuses the COM-PORT-OPTION (RFC 2217)");
  }

  // 8N1, no flow control, DTR and RTS on, as a local port is opened.
  using namespace comport;
  const std::pair<std::uint8_t, std::uint8_t> settings[] = {
      {kSetDataSize, 8}, {kSetParity, kParityNone}, {kSetStopSize, kStopSizeOne},
      {kSetControl, kControlNoFlowControl}, {kSetControl, kControlDtrOn}, {kSetControl, kControlRtsOn}};
  for (const auto& [command, value] : settings) {
    if (Status sent = sendComPort(command, std::string(1, static_cast<char>(value))); !sent) return sent;
  }
  // Their answers are read as they come, not waited for: a server on a port without modem
  // lines (a pseudo-terminal) leaves DTR and RTS unanswered.
  std::string note = "rfc2217 " + where + ": COM-PORT-OPTION on";
  for (std::uint8_t o : {kBinary, kSuppressGoAhead}) {
    if (us_[o] != Option::Yes || him_[o] != Option::Yes) note += ", " + optionName(o) + " not agreed both ways";
  }
  note += "; 8N1, no flow control, DTR and RTS on requested";
  setNote(std::move(note));
  return {};
}

Status Rfc2217Link::sendComPort(std::uint8_t command, std::string_view value) {
  std::string sb = {static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPortOption),
                    static_cast<char>(command)};
  for (char c : value) {
    sb += c;
    if (static_cast<std::uint8_t>(c) == kIac) sb += c;
  }
  sb += static_cast<char>(kIac);
  sb += static_cast<char>(kSe);
  if (Status sent = sendRaw(sb); !sent) return sent;
  ++pending_[command];
  return {};
}

Status Rfc2217Link::setModemLine(ModemLine line, bool high) {
  using namespace comport;
  const std::uint8_t control = line == ModemLine::Dtr ? (high ? kControlDtrOn : kControlDtrOff)
                                                       : (high ? kControlRtsOn : kControlRtsOff);
  return sendComPort(kSetControl, std::string(1, static_cast<char>(control)));
}

Status Rfc2217Link::setBaudRate(int rate) {
  if (!isOpen()) return reportRate(rate, makeError(ErrorCode::Closed, "no connection is open"), {});
  using comport::kSetBaudRate;
  const std::string where = address().hostPort();
  // A refusal's note is the Error's message: what the log and the box show. A connection
  // lost on the way is a refusal too (the box says so), not a line that was never open.
  auto refused = [&](ErrorCode code, std::string note) {
    Error why = makeError(code, note);
    return reportRate(rate, std::move(why), std::move(note));
  };
  if (rate <= 0) return refused(ErrorCode::Invalid, "no rate " + std::to_string(rate));
  // Each synchronisation sets the rate again: the server's port keeps the one it
  // acknowledged, and asking again would only cost a round trip.
  if (rate == appliedRate_) return reportRate(rate, {}, "rate " + std::to_string(rate) + " set on " + where);
  const std::string request = bigEndian32(static_cast<std::uint32_t>(rate));
  if (Status sent = sendComPort(kSetBaudRate, request); !sent) {
    return refused(ErrorCode::Failed, "rate " + std::to_string(rate) + " not sent: " + sent.message());
  }
  // The answer to this request: the last one outstanding, or one that carries this rate (the
  // answer to an earlier request that timed out may still arrive first, or never).
  const int before = answers_[kSetBaudRate];
  const auto acknowledged = [&] {
    return answers_[kSetBaudRate] != before &&
           (pending_[kSetBaudRate] == 0 || answerValue_[kSetBaudRate] == request);
  };
  appliedRate_ = 0;
  // A server that let a rate go unanswered is not waited for again until it answers one:
  // its silence would otherwise come out of every synchronisation's time.
  const milliseconds limit = rateSilent_ ? milliseconds(0) : limits_.rateAnswer;
  if (Status waited = waitFor(limit, acknowledged); !waited) {
    return refused(ErrorCode::Failed, "rate " + std::to_string(rate) + " not set: " + waited.message());
  }
  if (!acknowledged()) {
    const bool silentBefore = std::exchange(rateSilent_, true);
    return refused(ErrorCode::TimedOut, "the server " + where + " did not acknowledge the rate " + std::to_string(rate) +
                                            (silentBefore ? " (not waited for: it left an earlier rate unanswered)"
                                                          : " within " + std::to_string(limit.count()) + " ms"));
  }
  pending_[kSetBaudRate] = 0;
  const std::string& value = answerValue_[kSetBaudRate];
  const auto applied = value.size() == 4 ? static_cast<long long>(fromBigEndian(value)) : -1;
  if (applied != rate) {
    return refused(ErrorCode::Failed, "the server " + where + " set the rate " + std::to_string(applied) +
                                          " instead of " + std::to_string(rate));
  }
  appliedRate_ = rate;
  return reportRate(rate, {}, "rate " + std::to_string(rate) + " set on " + where);
}

std::string Rfc2217Link::encode(std::string_view bytes) const {
  const bool binary = us_[kBinary] == Option::Yes;
  std::string out;
  out.reserve(bytes.size() + 8);
  for (char c : bytes) {
    out += c;
    if (static_cast<std::uint8_t>(c) == kIac) out += c;
    // Without BINARY a bare CR is written CR NUL (NVT).
    if (!binary && c == '\r') out += '\0';
  }
  return out;
}

void Rfc2217Link::decode(std::string_view received, std::string& data) {
  for (char c : received) {
    const auto b = static_cast<std::uint8_t>(c);
    switch (state_) {
      case State::Data:
        if (b == kIac) {
          state_ = State::Iac;
        } else if (!(b == 0 && lastWasCr_ && him_[kBinary] != Option::Yes)) {
          data += c;
        }
        lastWasCr_ = (b == '\r');
        break;
      case State::Iac:
        command(b, data);
        break;
      case State::Negotiation:
        negotiation(verb_, b);
        state_ = State::Data;
        break;
      case State::Sub:
        if (b == kIac) {
          state_ = State::SubIac;
        } else if (sub_.size() < kMaxSubnegotiationBytes) {
          sub_ += c;
        } else {
          // Garbage or a lost SE: give the stream back to the data.
          sub_.clear();
          state_ = State::Data;
        }
        break;
      case State::SubIac:
        if (b == kIac) {
          sub_ += c;
          state_ = State::Sub;
        } else if (b == kSe) {
          subnegotiation();
          state_ = State::Data;
        } else {
          // An IAC command inside a subnegotiation ends it unfinished; the command counts.
          sub_.clear();
          command(b, data);
        }
        break;
    }
  }
  if (!replies_.empty()) sendOwed(std::exchange(replies_, {}));
}

void Rfc2217Link::command(std::uint8_t byte, std::string& data) {
  state_ = State::Data;
  lastWasCr_ = false;
  if (byte != kIac) heardCommand_ = true;
  switch (byte) {
    case kIac:
      data += static_cast<char>(kIac);
      break;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = byte;
      state_ = State::Negotiation;
      break;
    case kSb:
      sub_.clear();
      state_ = State::Sub;
      break;
    default:
      // NOP, GA, DM, BRK, AYT, a stray SE, or garbage: no data in it.
      break;
  }
}

void Rfc2217Link::negotiation(std::uint8_t verb, std::uint8_t option) {
  const bool enable = verb == kWill || verb == kDo;
  // WILL/WONT speak about the server's side and are answered with DO/DONT; DO/DONT about ours.
  const bool serverSide = verb == kWill || verb == kWont;
  auto& side = serverSide ? him_ : us_;
  const std::uint8_t yes = serverSide ? kDo : kWill;
  const std::uint8_t no = serverSide ? kDont : kWont;
  auto reply = [&](std::uint8_t v) {
    replies_ += static_cast<char>(kIac);
    replies_ += static_cast<char>(v);
    replies_ += static_cast<char>(option);
  };
  if (enable) {
    if (side[option] == Option::Yes) return;  // already on: no answer, or we would loop
    if (!wanted(option)) return reply(no);
    if (side[option] == Option::No) reply(yes);
    side[option] = Option::Yes;
  } else {
    if (side[option] == Option::Yes) reply(no);
    side[option] = Option::No;
  }
}

void Rfc2217Link::subnegotiation() {
  if (sub_.size() < 2 || static_cast<std::uint8_t>(sub_[0]) != kComPortOption) return;
  const auto code = static_cast<std::uint8_t>(sub_[1]);
  // Answers to our settings; notifications (line and modem state, flow control) are read and
  // dropped: the engine works by its own time-outs.
  if (code <= comport::kServerCommandOffset) return;
  const auto command = static_cast<std::uint8_t>(code - comport::kServerCommandOffset);
  ++answers_[command];
  answerValue_[command] = sub_.substr(2);
  if (command == comport::kSetBaudRate) rateSilent_ = false;
  if (pending_[command] > 0) --pending_[command];
}

}  // namespace velkorn::link
