#include "link/net_address.h"

#include <cctype>

#include "link/name_lookup.h"
#include "link/socket_compat.h"

namespace velkorn::link {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kTcpPrefix = "tcp://";
constexpr std::string_view kRfc2217Prefix = "rfc2217://";

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Host names, IPv4 and IPv6 text: letters, digits and . - _ : % (an IPv6 zone).
bool plausibleHost(std::string_view host) {
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) && c != '.' && c != '-' && c != '_' && c != ':' && c != '%') return false;
  }
  return true;
}

// One non-blocking connect within `limit`: the descriptor, or -1 and the reason.
int connectOne(const addrinfo& ai, milliseconds limit, const ConnectLimits& limits, std::string& reason) {
  const int fd = sock::open(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
  if (fd < 0) {
    reason = sock::errorText(sock::lastError());
    return -1;
  }
  auto give_up = [&](std::string text) {
    sock::close(fd);
    reason = std::move(text);
    return -1;
  };
  if (sock::connect(fd, ai.ai_addr, ai.ai_addrlen) != 0) {
    const int code = sock::lastError();
    if (!sock::connecting(code)) return give_up(sock::errorText(code));
    const auto deadline = Clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return give_up("timed out");
      if (stopRaised(limits)) return give_up("interrupted");
      const int r = sock::waitWritable(fd, static_cast<int>(std::min(left, kStopSlice).count()));
      if (r < 0) {
        const int code = sock::lastError();
        if (sock::interrupted(code)) continue;
        return give_up(sock::errorText(code));
      }
      if (r == 0) continue;  // the deadline or the stop flag, looked at above
      break;
    }
    const int soError = sock::pendingError(fd);
    if (soError < 0) return give_up(sock::errorText(sock::lastError()));
    if (soError != 0) return give_up(sock::errorText(soError));
  }
  // Records are short and every one waits for its answer: Nagle's delay would hold each one.
  sock::setNoDelay(fd);
  return fd;
}

}  // namespace

std::string NetAddress::hostPort() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// A name from the command line as a message quotes it: one that would fill the screen keeps
// its start and its end.
std::string shown(std::string_view text) {
  constexpr std::size_t kHead = 60, kTail = 20;
  if (text.size() <= kHead + kTail + 3) return std::string(text);
  return std::string(text.substr(0, kHead)) + "..." + std::string(text.substr(text.size() - kTail));
}

// The longest name the name service takes (RFC 1035).
constexpr std::size_t kMaxHostName = 253;

}  // namespace

bool isNetworkPort(std::string_view name) {
  return startsWithNoCase(name, kTcpPrefix) || startsWithNoCase(name, kRfc2217Prefix);
}

std::optional<int> parsePortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

Result<HostPortText> splitHostPort(std::string_view text) {
  HostPortText split;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return makeError(ErrorCode::Invalid, "the IPv6 address lacks its closing ]");
    split.host = text.substr(1, close - 1);
    const auto after = text.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      return makeError(ErrorCode::Invalid, "a colon and the port must follow the ]");
    }
    split.hasPort = !after.empty();
    if (split.hasPort) split.port = after.substr(1);
    return split;
  }
  const auto colon = text.rfind(':');
  if (colon != std::string_view::npos && text.find(':') != colon) {
    split.host = text;
    split.bareIpv6 = true;
    return split;
  }
  split.hasPort = colon != std::string_view::npos;
  split.host = split.hasPort ? text.substr(0, colon) : text;
  if (split.hasPort) split.port = text.substr(colon + 1);
  return split;
}

Result<NetAddress> parseNetAddress(std::string_view url) {
  const std::string quoted = "\"" + shown(url) + "\"";
  auto bad = [&](const std::string& why) { return makeError(ErrorCode::Invalid, "bad network port " + quoted + ": " + why); };
  NetAddress a;
  std::string_view rest;
  if (startsWithNoCase(url, kTcpPrefix)) {
    a.scheme = NetScheme::Tcp;
    rest = url.substr(kTcpPrefix.size());
  } else if (startsWithNoCase(url, kRfc2217Prefix)) {
    a.scheme = NetScheme::Rfc2217;
    rest = url.substr(kRfc2217Prefix.size());
  } else {
    return bad("write tcp://HOST:PORT or rfc2217://HOST:PORT");
  }

  const auto split = splitHostPort(rest);
  if (!split) return bad(split.message());
  if (split->bareIpv6) return bad("an IPv6 address goes in brackets, e.g. tcp://[::1]:2000");
  const std::string_view host = split->host, port = split->port;
  const bool hasPort = split->hasPort;
  if (host.empty()) return bad("the host is missing");
  if (host.size() > kMaxHostName) return bad("the host name is longer than " + std::to_string(kMaxHostName) + " characters");
  if (!plausibleHost(host)) return bad("the host is no host name or address");
  if (!hasPort || port.empty()) return bad("the port is missing (HOST:PORT)");
  const auto number = parsePortNumber(port);
  if (!number) return bad("bad port \"" + shown(port) + "\" (a number from 1 to 65535)");
  a.host = std::string(host);
  a.port = *number;
  return a;
}

Result<int> connectTcp(const NetAddress& address, const ConnectLimits& limits) {
  if (Status started = sock::start(); !started) return started.error();
  const auto addresses = lookUpHost(address.host, address.port, limits.lookup, limits.stop, kStopSlice);
  if (!addresses) return addresses.error();
  const auto deadline = Clock::now() + limits.total;
  std::string reason = "no address";
  for (const addrinfo* ai = addresses->get(); ai != nullptr; ai = ai->ai_next) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      reason = "timed out";
      break;
    }
    const int fd = connectOne(*ai, std::min(left, limits.perAddress), limits, reason);
    if (fd >= 0) return fd;
    if (stopRaised(limits)) break;
  }
  return makeError(reason == "timed out" ? ErrorCode::TimedOut : ErrorCode::Failed,
                   "cannot reach " + address.hostPort() + ": " + reason);
}

}  // namespace velkorn::link
