#pragma once
// The engine's view of the line to the bootloader. One adapter on the serial port serves
// the window and the command line (link/serial_link.h); tests use the in-process
// simulated target. Every call that can fail says how in what it returns: a value or an
// Error (base/result.h), the one way a transport fails.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/result.h"

namespace velkorn::isp {

// What one read brought: a byte, or nothing within the read time-outs (count 0; not an
// error: a silent line answers so).
struct LinkRead {
  int count = 0;          // bytes read: 0 or 1
  std::uint8_t byte = 0;  // valid when count == 1
};

// What a link can do besides carrying bytes; callers ask here instead of trying.
struct LinkCapabilities {
  bool setRate = false;     // a rate change reaches the line (not so over a raw TCP link)
  bool modemLines = false;  // DTR and RTS can be driven
  bool lowLatency = false;  // the line can be asked to hand bytes on without holding them
};

class Link {
 public:
  virtual ~Link() = default;
  // A serial port counts as open exactly when the handle is not none.
  virtual bool isOpen() const = 0;
  // WriteLinkBytes: one write of the whole string.
  virtual Status writeBytes(std::string_view bytes) = 0;
  // ReadLinkByte: at most one byte, within the line's read time-outs (20 ms at most). An
  // Error when the read call itself failed (no port, a vanished adapter, a closed server).
  virtual Result<LinkRead> readByte() = 0;
  // SetBaudRate: applies the rate to the open line (and the owner shows it). Closed when no
  // line is open, Unsupported when the link cannot set a rate (capabilities().setRate),
  // Failed when the line refused it and kept its previous rate.
  virtual Status setBaudRate(int rate) = 0;
  virtual LinkCapabilities capabilities() const = 0;
  // The next `count` bytes are due back to back at the line's rate (a record's echo, a read
  // answer of known length). A transport may let several of them gather before it wakes up
  // for them, as they cannot come sooner; each byte is still handed out in order, and each
  // read still returns within the read time-outs.
  virtual void expectBytes(std::size_t /*count*/) {}
  // How long the answer to a record may take to start when it ends at a pause; zero: the
  // engine's gap limit. A network server's round trip can be far longer than a serial
  // line's, and the answer's first byte (the echo) comes only after it.
  virtual std::chrono::milliseconds answerStartLimit() const { return std::chrono::milliseconds(0); }
};

}  // namespace velkorn::isp
