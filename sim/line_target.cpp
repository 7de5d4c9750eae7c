#include "sim/line_target.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

namespace velkorn::sim {

namespace {

constexpr int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr std::size_t kReadChunkBytes = 4096;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

ssize_t LineTarget::readLine(char* buffer, std::size_t size) { return ::read(lineFd(), buffer, size); }

bool LineTarget::serve(const volatile std::sig_atomic_t& stop, const sigset_t* waitMask, std::string& error) {
  struct Timed {
    char byte;
    Clock::time_point due;
  };
  // From the programmer, crossing the network towards the chip.
  std::deque<Timed> inbound;
  // From the chip, leaving the line at their times; then held by the adapter; then crossing
  // the network; then ready for the programmer's end, not yet taken by it.
  std::deque<Timed> pending;
  std::deque<Timed> crossing;
  std::string outbound;
  // When the last queued byte leaves; paced bytes follow each other one byte time apart.
  Clock::time_point lastDue = Clock::now();
  std::uint64_t flashChanges = model_.flashChanges();
  Clock::time_point nextCare = Clock::now();

  // One byte reaches the chip at `at`; its answer is queued on the line.
  auto feed = [&](char byte, Clock::time_point at) {
    if (lastDue < at) lastDue = at;
    std::string out;
    int delayMs = 0;
    std::size_t delayFrom = 0;
    model_.receive(static_cast<std::uint8_t>(byte), out, &delayMs, &delayFrom);
    // The pace may have changed since the last byte: the programmer set another rate.
    const auto byteTime = paceBitsPerSecond_ > 0
                              ? std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                                    1000000000LL * kBitsPerByte / paceBitsPerSecond_))
                              : Clock::duration::zero();
    for (std::size_t i = 0; i < out.size(); ++i) {
      // The echo leaves at once, the answer when the chip is done; answers never overtake
      // what was sent before them.
      const auto release = i < delayFrom ? at : at + std::chrono::milliseconds(delayMs);
      const auto leaves = std::max(release, lastDue + byteTime);
      pending.push_back({out[i], leaves});
      lastDue = leaves;
    }
    if (model_.flashChanges() != flashChanges) {
      flashChanges = model_.flashChanges();
      if (onFlashChanged) onFlashChanged(model_);
    }
  };

  while (!stop) {
    auto now = Clock::now();
    if (lineChanged_) {
      lineChanged_ = false;
      pending.clear();
      crossing.clear();
      outbound.clear();
      adapter_ = freshAdapter_;
    }
    if (now >= nextCare) nextCare = housekeeping(now);
    while (!inbound.empty() && inbound.front().due <= now) {
      feed(inbound.front().byte, inbound.front().due);
      inbound.pop_front();
    }
    // What has come off the line goes into the adapter; what it passes on crosses the
    // network; what has crossed goes out in one write.
    while (!pending.empty() && pending.front().due <= now) {
      adapter_.put(pending.front().byte, pending.front().due);
      pending.pop_front();
    }
    for (char c : adapter_.take(now)) crossing.push_back({c, now + delay_});
    while (!crossing.empty() && crossing.front().due <= now) {
      outbound += encodeOutput(std::string_view(&crossing.front().byte, 1));
      crossing.pop_front();
    }
    const int line = lineFd();
    if (line < 0) outbound.clear();
    if (!outbound.empty()) {
      const ssize_t n = ::write(line, outbound.data(), outbound.size());
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // A connection the programmer dropped ends like its end of input; a pseudo-terminal
        // that fails is the end of the target.
        if (errno == EPIPE || errno == ECONNRESET) {
          if (!onLineEnd()) return true;
          continue;
        }
        error = errnoText("write to the programmer's end");
        return false;
      }
      if (n > 0) outbound.erase(0, static_cast<std::size_t>(n));
    }
    const bool blocked = !outbound.empty();

    pollfd fds[2] = {{line, POLLIN, 0}, {watchFd(), POLLIN, 0}};
    if (blocked) fds[0].events |= POLLOUT;
    // Wake exactly when the next byte reaches the chip, comes off the line, leaves the
    // adapter or crosses the network, or for the next care.
    auto wakeAt = nextCare;
    if (!inbound.empty()) wakeAt = std::min(wakeAt, inbound.front().due);
    if (!blocked) {
      if (!pending.empty()) wakeAt = std::min(wakeAt, pending.front().due);
      if (const auto held = adapter_.deadline()) wakeAt = std::min(wakeAt, *held);
      if (!crossing.empty()) wakeAt = std::min(wakeAt, crossing.front().due);
    }
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - now);
    const long long ns = wait.count() > 0 ? wait.count() : 0;
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    timeout.tv_nsec = static_cast<long>(ns % 1000000000LL);
    const int ready = ::ppoll(fds, 2, &timeout, waitMask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      error = errnoText("poll");
      return false;
    }
    if (ready == 0) continue;
    if (fds[1].revents & POLLIN) onWatchReadable();
    if (line < 0 || line != lineFd()) continue;
    if (fds[0].revents & POLLNVAL) {
      error = "the programmer's end was closed";
      return false;
    }
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;

    char buf[kReadChunkBytes];
    const ssize_t n = readLine(buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      if (!onLineEnd()) return true;
      continue;
    }
    onInput(std::string_view(buf, static_cast<std::size_t>(n)));
    now = Clock::now();
    for (ssize_t k = 0; k < n; ++k) inbound.push_back({buf[k], now + delay_});
  }
  return true;
}

}  // namespace velkorn::sim
