#pragma once
// The serial port: exclusive open, raw 8N1 with DTR and RTS raised and no flow control, low
// latency where the driver allows it, a rate change that keeps the old settings when the
// driver refuses, one write of a whole string, and a one-byte read that gives up within 20 ms.
// One class, two implementations: POSIX termios (serial_port.cpp) and Win32 communications
// (win32_serial_port.cpp, `\\.\COMn`); callers never ask which one they have.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "isp/link.h"
#include "link/modem_lines.h"

namespace velkorn::link {

// One-byte read time-out: ReadIntervalTimeout 10 ms + ReadTotalTimeoutMultiplier 10 ms
// x 1 byte + ReadTotalTimeoutConstant 10 ms gives up after 20 ms.
inline constexpr std::chrono::milliseconds kReadByteTimeout{20};
// Write time-out: 100 ms per byte plus 100 ms.
inline constexpr std::chrono::milliseconds kWritePerByteTimeout{100};
inline constexpr std::chrono::milliseconds kWriteConstantTimeout{100};
// At most this many expected bytes are waited for in one go (expectBytes). Bytes cannot
// come faster than the line carries them, so the wait costs no time; a byte that was not
// announced (the "." after an echo) is handed out as soon as it comes.
inline constexpr std::size_t kGatherBytes = 48;

// What the driver said when the port asked for low latency on open. A USB adapter holds
// received bytes for its latency time (16 ms on common chips) unless told otherwise; a
// pseudo-terminal or an on-board UART has no such setting.
enum class LowLatency {
  NotAsked,      // no port is open
  On,            // the driver accepted it
  AlreadyOn,     // the driver had it on before we asked
  NotAvailable,  // the driver refused or ignored it (not an error: the port works as it is)
};

// The engine's read result: a port read hands its byte on unchanged.
using ReadResult = Result<isp::LinkRead>;

class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the device for exclusive use (POSIX: TIOCEXCL and flock; Windows: share mode 0),
  // raw 8N1, no flow control, DTR and RTS raised (a pseudo-terminal's refusal of modem lines
  // is ignored), and asks for low latency (see lowLatency()). The Error carries the system's
  // text: NotFound, Denied, Busy (another program holds it), Invalid (no terminal), Failed.
  Status open(const std::string& path);
  void close();
  bool isOpen() const;
  const std::string& path() const { return path_; }

  // Applies any rate the driver takes, standard or not (POSIX: termios2 with BOTHER;
  // Windows: the DCB). An Error when it refuses or sets another rate (Failed), when the rate
  // is no rate (Invalid) or no port is open (Closed); the port keeps its previous rate.
  Status setBaudRate(int rate);
  int baudRate() const { return rate_; }

  // Raises or lowers DTR or RTS (a board's reset circuit). An Error with the system's reason
  // when the port has no modem lines (a pseudo-terminal) or the call fails.
  Status setModemLine(ModemLine line, bool high);

  // One write of the whole string within the write time-outs; an Error on a closed port
  // (Closed) or a failed (Failed, Closed on a hang-up) or timed-out write (TimedOut).
  Status write(std::string_view bytes);
  // At most one byte within kReadByteTimeout; fails at once on a closed port.
  ReadResult readByte();
  // Closed ("the line hung up") when the other end hung up (an adapter unplugged, a
  // pseudo-terminal's master gone), seen without taking a byte. Windows tells only on a call.
  Status checkLine();
  // The next `count` bytes are due back to back at the port's rate: readByte lets them
  // gather (up to kGatherBytes at a time) instead of waking up for each one as it comes.
  // A write ends the expectation.
  void expectBytes(std::size_t count);

  // The answer to the low-latency request of the last open, and one line for the debug log:
  // "low latency on", "low latency already on" or "low latency not available: <reason>"
  // (empty while no port is open). Closing the port gives the driver back the setting it had.
  LowLatency lowLatency() const { return lowLatency_; }
  const std::string& lowLatencyNote() const { return lowLatencyNote_; }

#ifdef _WIN32
  void* handle() const { return handle_; }  // a HANDLE; INVALID_HANDLE_VALUE while closed
#else
  int fd() const { return fd_; }
#endif

 private:
  void askForLowLatency();

  int rate_ = 0;
  std::string path_;
  LowLatency lowLatency_ = LowLatency::NotAsked;
  std::string lowLatencyNote_;
#ifdef _WIN32
  void* handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));  // INVALID_HANDLE_VALUE
  // DTR and RTS as last asked for: every line setting carries them, so a rate change does
  // not undo a reset sequence.
  bool dtrHigh_ = true, rtsHigh_ = true;
#else
  int fd_ = -1;
  // Bytes the driver had ready beyond the one asked for: handed out one per readByte, so a
  // burst costs one system call instead of one per byte.
  std::array<std::uint8_t, 4096> rx_{};
  std::size_t rxPos_ = 0, rxLen_ = 0;
  std::size_t expected_ = 0;  // bytes still due back to back (expectBytes), not handed out
  // Until then the next readByte that finds nothing buffered sleeps: the expected bytes
  // that can have come by then come together.
  std::chrono::steady_clock::time_point gatherUntil_{};
  void planGather(std::chrono::steady_clock::time_point from);
#endif
};

}  // namespace velkorn::link
