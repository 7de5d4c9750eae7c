#include "ui/network_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <mutex>
#include <thread>

#include "link/net_address.h"
#include "link/tcp_link.h"

namespace velkorn::ui {

namespace {

// The wait for the helper thread looks at the event queue this often, as the socket
// component's waits do.
constexpr useconds_t kWaitSliceUs = 2000;

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
    ::usleep(kWaitSliceUs);
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

std::unique_ptr<link::NetworkLink> borrowModuleConnection(int socketFd, const std::string& host, int port) {
  if (socketFd < 0) return nullptr;
  const int fd = ::fcntl(socketFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  link::NetAddress address;
  address.scheme = link::NetScheme::Tcp;
  address.host = host;
  address.port = port;
  return std::make_unique<link::TcpLink>(std::move(address), fd);
}

}  // namespace velkorn::ui
