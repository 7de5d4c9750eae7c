#include "ui/network_line.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "link/name_lookup.h"

namespace velkorn::ui {

namespace {

// The wait for the helper thread looks at the event queue this often, as the socket
// component's waits do.
constexpr std::chrono::milliseconds kWaitSlice{2};

struct Opened {
  std::unique_ptr<link::NetworkLink> link;
  std::string reason;
};

}  // namespace

bool NetworkLine::open(const std::string& url, std::string* reason) {
  link_.reset();
  reason->clear();
  const std::uint64_t mine = ++attempt_;
  auto attempt = link::BackgroundCall<Opened>::start([url] {
    Opened opened;
    opened.link = link::openNetworkLink(url, &opened.reason);
    return opened;
  });
  if (!attempt) {
    *reason = "cannot reach " + url + ": " + attempt.message();
    return false;
  }
  while (!attempt->finished() && attempt_ == mine) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(kWaitSlice);
  }
  if (attempt_ != mine) return false;  // the operator chose something else meanwhile
  Opened opened = attempt->take();
  if (!opened.link) {
    *reason = opened.reason.empty() ? std::string("cannot reach ") + url : opened.reason;
    return false;
  }
  link_ = std::move(opened.link);
  return true;
}

}  // namespace velkorn::ui
