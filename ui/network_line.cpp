#include "ui/network_line.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>


namespace velkorn::ui {

namespace {

// The wait for the helper thread looks at the event queue this often, as the socket
// component's waits do.
constexpr std::chrono::milliseconds kWaitSlice{2};

// What the helper thread hands back; shared, so a wait given up can leave it behind.
struct Attempt {
  std::mutex mutex;
  std::atomic<bool> done{false};
  std::unique_ptr<link::NetworkLink> link;
  std::string reason;
};

}  // namespace

bool NetworkLine::open(const std::string& url, std::string* reason) {
  link_.reset();
  reason->clear();
  const std::uint64_t mine = ++attempt_;
  auto attempt = std::make_shared<Attempt>();
  std::thread([attempt, url] {
    std::string why;
    auto opened = link::openNetworkLink(url, &why);
    const std::lock_guard lock(attempt->mutex);
    attempt->link = std::move(opened);
    attempt->reason = std::move(why);
    attempt->done = true;
  }).detach();
  while (!attempt->done && attempt_ == mine) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(kWaitSlice);
  }
  if (attempt_ != mine) return false;  // the operator chose something else meanwhile
  const std::lock_guard lock(attempt->mutex);
  if (!attempt->link) {
    *reason = attempt->reason.empty() ? std::string("cannot reach ") + url : attempt->reason;
    return false;
  }
  link_ = std::move(attempt->link);
  return true;
}

}  // namespace velkorn::ui
