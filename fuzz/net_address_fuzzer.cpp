// Network port names through parseNetAddress: what it takes is a scheme, a plausible host and
// a port in range; what hostPort() prints parses back to the same address; a refusal says why.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "link/net_address.h"

using namespace velkorn::link;

namespace {

bool hostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_' || c == ':' || c == '%';
}

std::string_view prefix(NetScheme scheme) { return scheme == NetScheme::Tcp ? "tcp://" : "rfc2217://"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  const auto address = parseNetAddress(url);
  if (!address) {
    FUZZ_CHECK(address.code() == velkorn::ErrorCode::Invalid && !address.message().empty());
    // Whatever names no network port is never taken for one.
    if (!isNetworkPort(url)) FUZZ_CHECK(address.message().find("tcp://HOST:PORT") != std::string::npos);
    return 0;
  }
  FUZZ_CHECK(isNetworkPort(url));
  FUZZ_CHECK(!address->host.empty() && address->host.size() <= 253);  // the name service's longest
  for (char c : address->host) FUZZ_CHECK(hostCharacter(c));
  FUZZ_CHECK(address->port >= 1 && address->port <= 65535);
  // The scheme the name starts with, in any letter case.
  FUZZ_CHECK((url.size() > 3 && (url[0] | 0x20) == 't') == (address->scheme == NetScheme::Tcp));

  // Printed as messages show it and read again: the same address.
  const std::string again = std::string(prefix(address->scheme)) + address->hostPort();
  const auto reparsed = parseNetAddress(again);
  FUZZ_CHECK(reparsed.ok());
  FUZZ_CHECK(reparsed->scheme == address->scheme);
  FUZZ_CHECK(reparsed->host == address->host);
  FUZZ_CHECK(reparsed->port == address->port);
  FUZZ_CHECK(reparsed->hostPort() == address->hostPort());
  // An IPv6 address is shown in brackets, anything else as it is.
  const bool v6 = address->host.find(':') != std::string::npos;
  FUZZ_CHECK(address->hostPort() ==
             (v6 ? "[" + address->host + "]" : address->host) + ":" + std::to_string(address->port));
  return 0;
}
