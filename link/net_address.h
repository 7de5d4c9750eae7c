#pragma once
// Network serial ports: the address forms `tcp://HOST:PORT` (a raw TCP connection to a
// network serial server) and `rfc2217://HOST:PORT` (the same with the Telnet COM-PORT-OPTION),
// and the bounded way there: a name lookup that cannot hang the caller and a connect that
// gives up after a limit, trying each address the name has.
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace velkorn::link {

enum class NetScheme { Tcp, Rfc2217 };

struct NetAddress {
  NetScheme scheme = NetScheme::Tcp;
  std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
  int port = 0;      // 1..65535
  // "HOST:PORT" as messages show it, an IPv6 address in brackets.
  std::string hostPort() const;
};

// True when the port name asks for the network (it starts with "tcp://" or "rfc2217://",
// in any case) rather than naming a device or a COM port. A name that says so but is
// malformed is still a network name: parseNetAddress then says what is wrong with it.
bool isNetworkPort(std::string_view name);

// "HOST:PORT", "HOST", "[IPV6]:PORT" or "[IPV6]" taken apart, the one reading of a host
// and port for the network links and the socket component. `host` is without brackets;
// `port` is the text after the colon, empty with `hasPort` false when none was given.
// Text with more than one colon and no brackets is a bare IPv6 address: all of it is the
// host, no port, and `bareIpv6` says so (a caller that needs the port refuses it, as
// "::1:23" reads both ways).
struct HostPortText {
  std::string_view host;
  std::string_view port;
  bool hasPort = false;
  bool bareIpv6 = false;
};
// Invalid when brackets are unbalanced or anything but ":PORT" follows the "]".
Result<HostPortText> splitHostPort(std::string_view text);
// A port number as text: 1 to 65535, decimal digits only (at most five).
std::optional<int> parsePortNumber(std::string_view text);

// Parses `tcp://HOST:PORT` or `rfc2217://HOST:PORT`; an IPv6 address goes in brackets
// (`tcp://[::1]:2000`). Invalid, with the reason, when it is neither.
Result<NetAddress> parseNetAddress(std::string_view url);

// How long the way to the server may take.
struct ConnectLimits {
  // The name lookup runs on a helper thread (lookUpHost); the caller waits this long at
  // most. A lookup still running then is left to finish on its own and its answer is
  // thrown away.
  std::chrono::milliseconds lookup{5000};
  // Each address the name has gets this long to accept the connection ...
  std::chrono::milliseconds perAddress{5000};
  // ... and all of them together this long.
  std::chrono::milliseconds total{10000};
  // When given and raised (Ctrl+C, SIGTERM), every wait on the way ends within kStopSlice
  // and the open fails with "interrupted".
  const std::atomic<bool>* stop = nullptr;
};

// How often a wait of the way to the server looks at ConnectLimits::stop.
inline constexpr std::chrono::milliseconds kStopSlice{50};

inline bool stopRaised(const ConnectLimits& limits) { return limits.stop && limits.stop->load(); }

// Opens a TCP connection to the address: non-blocking socket, TCP_NODELAY, close-on-exec.
// Returns the descriptor, or an Error whose message is a line such as "cannot reach
// HOST:PORT: Connection refused", "cannot reach HOST:PORT: timed out" (TimedOut) or
// "unknown host HOST" (NotFound).
Result<int> connectTcp(const NetAddress& address, const ConnectLimits& limits);

}  // namespace velkorn::link
