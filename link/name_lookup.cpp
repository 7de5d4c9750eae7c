#include "link/name_lookup.h"

#include <atomic>

#include "link/socket_compat.h"

namespace velkorn::link {
namespace {

int systemLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  return ::getaddrinfo(host, service, hints, result);
}

std::atomic<NameLookup> gLookup{nullptr};

}  // namespace

NameLookup nameLookup() {
  const NameLookup set = gLookup.load();
  return set ? set : &systemLookup;
}

void setNameLookup(NameLookup lookup) { gLookup.store(lookup); }

}  // namespace velkorn::link
