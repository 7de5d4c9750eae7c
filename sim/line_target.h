#pragma once
// The simulated bootloader behind a byte stream: the loop that feeds the model what the
// programmer sends and sends the answers back at the line's pace, through a modelled USB
// adapter and a modelled network delay. Where the stream is comes from the subclass: a
// pseudo-terminal (PtyTarget) or a TCP connection (TcpTarget).
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "sim/adapter_buffer.h"
#include "sim/application.h"
#include "sim/bootloader.h"

namespace velkorn::sim {

class LineTarget {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LineTarget(Bootloader& model) : model_(model) {}
  virtual ~LineTarget() = default;
  LineTarget(const LineTarget&) = delete;
  LineTarget& operator=(const LineTarget&) = delete;

  // Output pacing: 0 sends every answer at once, otherwise rate / 10 bytes per second. May
  // change while serving: the bytes the chip sends from then on follow the new pace.
  void setPacing(int bitsPerSecond) { paceBitsPerSecond_ = bitsPerSecond; }
  int pacing() const { return paceBitsPerSecond_; }
  // The adapter between the line and the programmer; by default it passes every byte at once.
  void setAdapter(const AdapterBuffer& adapter) { adapter_ = freshAdapter_ = adapter; }
  // A network between the programmer and the adapter: every byte, either way, arrives
  // `oneWay` later than it left.
  void setDelay(std::chrono::milliseconds oneWay) { delay_ = oneWay; }
  // Called after each record that may have changed the flash.
  std::function<void(const Bootloader&)> onFlashChanged;
  // Called before each wait of serve(), also after a signal ended one: a board may be put in
  // or taken out there.
  std::function<void()> onWake;
  // A board in the socket. Without one the bytes from the programmer reach nothing and
  // nothing answers; what was on its way out is lost.
  void setBoardPresent(bool present) {
    present_ = present;
    if (!present) newLine();
  }
  bool boardPresent() const { return present_; }

  // The chip's application, whose UART runs at `bitsPerSecond` (0: whatever the line's rate
  // is). When the programmer set another rate on the line, its bytes arrive as the garbage a
  // real rate mismatch makes of them.
  void setApplication(Application app, int bitsPerSecond) {
    app_ = std::move(app);
    appRate_ = bitsPerSecond;
  }
  // The chip runs its application (from its start) instead of the bootloader, or the
  // bootloader again. Without an application it just ignores the programmer.
  void runApplication(bool on);
  bool applicationRunning() const { return appRunning_; }
  bool hasApplication() const { return app_.present(); }

  // Serves the model until `stop` becomes non-zero or the line ends for good. The waits run
  // with the signal mask `waitMask`, so a signal blocked outside them ends the wait at once.
  // Returns false with `error` set when the line failed.
  bool serve(const volatile std::sig_atomic_t& stop, const sigset_t* waitMask, std::string& error);

 protected:
  // The programmer's end of the stream, or -1 while no programmer is there (what the chip
  // sends then is lost).
  virtual int lineFd() const = 0;
  // Reads what the programmer sent; as read(2).
  virtual ssize_t readLine(char* buffer, std::size_t size);
  // A descriptor to watch besides the line (a listening socket), or -1; onWatchReadable()
  // runs when it is readable.
  virtual int watchFd() const { return -1; }
  virtual void onWatchReadable() {}
  // The programmer's end reached its end or failed. False ends serve(), as a success.
  virtual bool onLineEnd() = 0;
  // Bytes came in from the programmer (before they reach the chip).
  virtual void onInput(std::string_view /*bytes*/) {}
  // What the chip's bytes become on the programmer's end (a Telnet server doubles 0xFF).
  virtual std::string encodeOutput(std::string_view bytes) { return std::string(bytes); }
  // The rate the programmer set on the line, in bit/s; 0 when unknown.
  virtual int lineRateNow() const { return 0; }
  // Whether a programmer has the line open now: what the application prints while nobody
  // listens is lost, as on a real line.
  virtual bool programmerPresent() const { return true; }
  // Periodic care; returns when it wants to run next.
  virtual Clock::time_point housekeeping(Clock::time_point now) { return now + std::chrono::hours(1); }
  // The programmer's end changed (a new connection, or none): what the chip sent that has
  // not reached the old one is dropped.
  void newLine() { lineChanged_ = true; }

  Bootloader& model_;

 private:
  int paceBitsPerSecond_ = 0;
  AdapterBuffer adapter_;
  AdapterBuffer freshAdapter_;
  std::chrono::milliseconds delay_{0};
  bool lineChanged_ = false;
  bool present_ = true;

  Application app_;
  int appRate_ = 0;
  bool appRunning_ = false;
  Clock::time_point nextAppLine_{};
  // When the programmer last sent a byte: one that types is listening, however slowly it
  // reads (a client without a lock is otherwise judged by its queue, see programmerPresent).
  Clock::time_point heardFromProgrammer_{};
  // The application's bytes leave from `at` at the line's pace.
  void sendFromApplication(const std::string& bytes, Clock::time_point at);

  // The bytes in flight while serve() runs, each with the time it moves on.
  struct Timed {
    char byte;
    Clock::time_point due;
  };
  // One byte reaches the chip at `at`; its answer is queued on the line.
  void feed(char byte, Clock::time_point at);
  // Moves every byte due by `now` one stage on.
  void advance(Clock::time_point now);
  Clock::time_point wakeAt(Clock::time_point nextCare, bool blocked, Clock::time_point now) const;
  // Paced bytes that come off the line within this of each other leave in one write.
  static constexpr std::chrono::microseconds kPacedSlice{1000};

  // From the programmer, crossing the network towards the chip.
  std::deque<Timed> inbound_;
  // From the chip, leaving the line at their times; then held by the adapter; then crossing
  // the network; then ready for the programmer's end, not yet taken by it.
  std::deque<Timed> pending_;
  std::deque<Timed> crossing_;
  std::string outbound_;
  // When the last queued byte leaves; paced bytes follow each other one byte time apart.
  Clock::time_point lastDue_{};
  std::uint64_t flashChanges_ = 0;
};

}  // namespace velkorn::sim
