#include "link/name_lookup.h"

#include <cerrno>
#include <system_error>
#include <thread>

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

Status runDetached(std::function<void()> work) {
  try {
    std::thread(std::move(work)).detach();
  } catch (const std::system_error& e) {
    return makeError(ErrorCode::Failed, e.what());
  }
  return {};
}

Result<BackgroundCall<LookupAnswer>> startLookup(std::string host, std::string service, int family) {
  return BackgroundCall<LookupAnswer>::start(
      [lookUp = nameLookup(), host = std::move(host), service = std::move(service), family] {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        // No AI_ADDRCONFIG: it drops ::1 on a machine whose only IPv6 address is the
        // loopback. An address family the machine cannot reach fails at once and the next
        // one is tried.
        if (!service.empty()) hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        LookupAnswer answer;
        answer.status = lookUp(host.c_str(), service.empty() ? nullptr : service.c_str(), &hints, &found);
        answer.systemError = errno;
        if (found) answer.addresses = std::shared_ptr<const addrinfo>(found, [](const addrinfo* list) {
          ::freeaddrinfo(const_cast<addrinfo*>(list));
        });
        return answer;
      });
}

Result<std::shared_ptr<const addrinfo>> lookUpHost(const std::string& host, int port, std::chrono::milliseconds limit,
                                                   const std::atomic<bool>* stop, std::chrono::milliseconds slice) {
  auto lookup = startLookup(host, std::to_string(port), AF_UNSPEC);
  if (!lookup) return makeError(ErrorCode::Failed, "cannot resolve " + host + ": " + lookup.message());
  if (!lookup->waitFor(limit, stop, slice)) {
    if (stop && stop->load()) return makeError(ErrorCode::Failed, "cannot resolve " + host + ": interrupted");
    return makeError(ErrorCode::TimedOut, "cannot resolve " + host + ": the name service did not answer within " +
                                              std::to_string(limit.count()) + " ms");
  }
  LookupAnswer answer = lookup->take();
  if (answer.status == EAI_NONAME
#ifdef EAI_NODATA
      || answer.status == EAI_NODATA
#endif
  ) {
    return makeError(ErrorCode::NotFound, "unknown host " + host);
  }
  if (answer.status != 0 || !answer.addresses) {
    return makeError(ErrorCode::Failed,
                     "cannot resolve " + host + ": " + sock::lookupErrorText(answer.status, answer.systemError));
  }
  return std::move(answer.addresses);
}

}  // namespace velkorn::link
