#pragma once
// The one door to the machine's name service, and the one way a call that may hang (a
// name look-up, the way to a network server) runs beside its caller: on a helper thread
// whose answer the caller waits for as long as it chooses and may give up on. The network
// links and the socket component ask here for every host name; a test puts a stand-in
// here, so that a look-up that fails is tested without asking the network's resolver.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/result.h"

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

// Runs `work` on a helper thread of its own that nobody joins. An Error when the system
// gives no thread.
Status runDetached(std::function<void()> work);

// A call running on a helper thread. The caller waits for it (waitFor) or asks finished()
// between its own events; dropping the BackgroundCall gives it up, and the thread then
// finishes alone and its answer is thrown away.
template <class T>
class BackgroundCall {
 public:
  static Result<BackgroundCall> start(std::function<T()> call) {
    auto state = std::make_shared<State>();
    const Status started = runDetached([state, call = std::move(call)] {
      T answer = call();
      std::lock_guard lock(state->mutex);
      state->answer.emplace(std::move(answer));
      state->done = true;
      state->finished.notify_all();
    });
    if (!started) return started.error();
    return BackgroundCall(std::move(state));
  }

  bool finished() const { return state_->done; }
  // Waits until the call finished, `limit` passed, or `stop` (when given) was raised; stop
  // is looked at every `slice`. True when the call finished.
  bool waitFor(std::chrono::milliseconds limit, const std::atomic<bool>* stop, std::chrono::milliseconds slice) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(state_->mutex);
    while (!state_->done) {
      const auto now = Clock::now();
      if (now >= deadline || (stop && stop->load())) return false;
      state_->finished.wait_for(lock, std::min<Clock::duration>(slice, deadline - now));
    }
    return true;
  }
  // The answer, once finished(); taken out, so asked once.
  T take() {
    std::lock_guard lock(state_->mutex);
    return std::move(*state_->answer);
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<bool> done{false};
    std::optional<T> answer;
  };
  explicit BackgroundCall(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// What one look-up found: the addresses, released with freeaddrinfo when the last copy
// goes, or getaddrinfo's status.
struct LookupAnswer {
  int status = 0;       // getaddrinfo's result: 0 when the name was found
  int systemError = 0;  // the helper thread's errno, which EAI_SYSTEM refers to
  std::shared_ptr<const addrinfo> addresses;
};

// Starts looking up `host` for stream sockets of `family` (AF_INET, AF_UNSPEC), with the
// port `service` (decimal) or none (empty).
Result<BackgroundCall<LookupAnswer>> startLookup(std::string host, std::string service, int family);

// The bounded look-up of the network links: the addresses of `host` with `port` filled in,
// within `limit` (a look-up still running then is left to finish alone) and ending within
// `slice` of `stop` being raised. The Error says "unknown host HOST" (NotFound), "cannot
// resolve HOST: interrupted", "cannot resolve HOST: the name service did not answer within
// N ms" (TimedOut) or "cannot resolve HOST: <the name service's text>".
Result<std::shared_ptr<const addrinfo>> lookUpHost(const std::string& host, int port, std::chrono::milliseconds limit,
                                                   const std::atomic<bool>* stop, std::chrono::milliseconds slice);

}  // namespace velkorn::link
