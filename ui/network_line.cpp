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

using Opened = Result<std::unique_ptr<link::NetworkLink>>;

}  // namespace

bool NetworkLine::open(const std::string& url, std::string* reason) {
  link_.reset();
  reason->clear();
  const std::uint64_t mine = ++attempt_;
  auto attempt = link::BackgroundCall<Opened>::start([url] { return link::openNetworkLink(url); });
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
  if (!opened) {
    *reason = opened.message().empty() ? std::string("cannot reach ") + url : opened.message();
    return false;
  }
  link_ = std::move(*opened);
  return true;
}

}  // namespace velkorn::ui
