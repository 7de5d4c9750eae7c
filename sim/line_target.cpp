#include "sim/line_target.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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

void LineTarget::runApplication(bool on) {
  appRunning_ = on;
  if (!on) return;
  app_.start();
  nextAppLine_ = Clock::now();  // the first line as the program starts
}

void LineTarget::sendFromApplication(const std::string& bytes, Clock::time_point at) {
  // What the application answers to a line the programmer just sent reaches it even when it
  // has not yet read the lines before: the question proves that it listens.
  constexpr std::chrono::seconds kListeningAfterInput{3};
  if (bytes.empty()) return;
  if (at - heardFromProgrammer_ > kListeningAfterInput && !programmerPresent()) return;
  if (lastDue_ < at) lastDue_ = at;
  const auto byteTime = paceBitsPerSecond_ > 0
                            ? std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                                  1000000000LL * kBitsPerByte / paceBitsPerSecond_))
                            : Clock::duration::zero();
  // Sampled at the wrong rate, each byte comes out as another; more than a few percent off
  // and not one of them is right.
  const int lineRate = lineRateNow();
  const bool mismatch = appRate_ > 0 && lineRate > 0 && std::abs(lineRate - appRate_) * 100 > appRate_ * 3;
  for (const char c : bytes) {
    lastDue_ += byteTime;
    pending_.push_back({mismatch ? static_cast<char>(static_cast<unsigned char>(c) ^ 0xA5u) : c, lastDue_});
  }
}

void LineTarget::feed(char byte, Clock::time_point at) {
  if (!present_) return;
  if (appRunning_) {
    heardFromProgrammer_ = at;
    sendFromApplication(app_.receive(std::string_view(&byte, 1)), at);
    return;
  }
  if (lastDue_ < at) lastDue_ = at;
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
    const auto leaves = std::max(release, lastDue_ + byteTime);
    pending_.push_back({out[i], leaves});
    lastDue_ = leaves;
  }
  if (model_.flashChanges() != flashChanges_) {
    flashChanges_ = model_.flashChanges();
    if (onFlashChanged) onFlashChanged(model_);
  }
}

void LineTarget::advance(Clock::time_point now) {
  while (!inbound_.empty() && inbound_.front().due <= now) {
    feed(inbound_.front().byte, inbound_.front().due);
    inbound_.pop_front();
  }
  // What has come off the line goes into the adapter; what it passes on crosses the
  // network; what has crossed goes out in one write.
  while (!pending_.empty() && pending_.front().due <= now) {
    adapter_.put(pending_.front().byte, pending_.front().due);
    pending_.pop_front();
  }
  for (char c : adapter_.take(now)) crossing_.push_back({c, now + delay_});
  while (!crossing_.empty() && crossing_.front().due <= now) {
    outbound_ += encodeOutput(std::string_view(&crossing_.front().byte, 1));
    crossing_.pop_front();
  }
}

LineTarget::Clock::time_point LineTarget::wakeAt(Clock::time_point nextCare, bool blocked, Clock::time_point now) const {
  // When the next byte reaches the chip, comes off the line, leaves the adapter or crosses
  // the network, or for the next care; bytes that cannot go out wait for the line. Paced
  // bytes come off the line together, at most one slice late: a wake for each byte (11,520
  // a second at 115200 bit/s) cost a core when 32 boards run at once, and a USB adapter
  // passes bytes on in bunches anyway.
  auto at = nextCare;
  if (appRunning_ && app_.present()) at = std::min(at, nextAppLine_);
  if (!inbound_.empty()) at = std::min(at, inbound_.front().due);
  if (!blocked) {
    if (!pending_.empty()) at = std::min(at, std::max(pending_.front().due, now + kPacedSlice));
    if (const auto held = adapter_.deadline()) at = std::min(at, *held);
    if (!crossing_.empty()) at = std::min(at, crossing_.front().due);
  }
  return at;
}

bool LineTarget::serve(const volatile std::sig_atomic_t& stop, const sigset_t* waitMask, std::string& error) {
  inbound_.clear();
  pending_.clear();
  crossing_.clear();
  outbound_.clear();
  lastDue_ = Clock::now();
  flashChanges_ = model_.flashChanges();
  Clock::time_point nextCare = Clock::now();
  while (!stop) {
    if (onWake) onWake();
    auto now = Clock::now();
    if (lineChanged_) {
      lineChanged_ = false;
      pending_.clear();
      crossing_.clear();
      outbound_.clear();
      adapter_ = freshAdapter_;
    }
    if (now >= nextCare) nextCare = housekeeping(now);
    if (appRunning_ && app_.present() && now >= nextAppLine_) {
      sendFromApplication(app_.nextLine(), now);
      // A line every period, and none made up for later when the target fell behind.
      nextAppLine_ = std::max(nextAppLine_ + app_.every(), now);
    }
    advance(now);
    const int line = lineFd();
    if (line < 0) outbound_.clear();
    if (!outbound_.empty()) {
      const ssize_t n = ::write(line, outbound_.data(), outbound_.size());
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
      if (n > 0) outbound_.erase(0, static_cast<std::size_t>(n));
    }
    const bool blocked = !outbound_.empty();

    pollfd fds[2] = {{line, POLLIN, 0}, {watchFd(), POLLIN, 0}};
    if (blocked) fds[0].events |= POLLOUT;
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt(nextCare, blocked, now) - now);
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
    for (ssize_t k = 0; k < n; ++k) inbound_.push_back({buf[k], now + delay_});
  }
  return true;
}

}  // namespace velkorn::sim
