// Every name look-up of the link tests goes to this stand-in, never to the network's
// resolver: numeric addresses and "localhost" are answered here, a name ending in
// ".lookup-fails" fails as a name service that cannot be reached does, one ending in
// ".lookup-slow" is unknown only after a second (a name service that does not answer in
// time), one ending in ".lookup-unknown" (as every other name) is unknown.
#include <netdb.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "link/name_lookup.h"

namespace velkorn::link {
namespace {

int hermeticLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  const std::string name = host ? host : "";
  const std::string failing = ".lookup-fails";
  if (name.size() > failing.size() && name.compare(name.size() - failing.size(), failing.size(), failing) == 0)
    return EAI_AGAIN;
  const std::string slow = ".lookup-slow";
  if (name.size() > slow.size() && name.compare(name.size() - slow.size(), slow.size(), slow) == 0) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return EAI_NONAME;
  }
  const std::string unknown = ".lookup-unknown";
  if (name.size() > unknown.size() && name.compare(name.size() - unknown.size(), unknown.size(), unknown) == 0)
    return EAI_NONAME;
  addrinfo numeric{};
  if (hints) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  // The machine's own name, as /etc/hosts gives it, without asking anyone.
  const char* address = name == "localhost" ? "127.0.0.1" : host;
  return ::getaddrinfo(address, service, &numeric, result);
}

// Installed before any test runs.
const bool kInstalled = [] {
  setNameLookup(&hermeticLookup);
  return true;
}();

}  // namespace
}  // namespace velkorn::link
