#pragma once
// The one door to the machine's name service. The network links and the socket component
// ask it for every host name; a test puts a stand-in here, so that a look-up that fails is
// tested without asking the network's resolver.
struct addrinfo;

namespace velkorn::link {

// getaddrinfo's shape. A stand-in's results must come from getaddrinfo itself (for example
// with AI_NUMERICHOST), since they are released with freeaddrinfo.
using NameLookup = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);

// The look-up in use: getaddrinfo unless a stand-in was set.
NameLookup nameLookup();
// Sets a stand-in (nullptr: getaddrinfo again). Set it before any look-up starts: a
// look-up under way keeps the one it began with.
void setNameLookup(NameLookup lookup);

}  // namespace velkorn::link
