#pragma once
// The engine's view of the line to the bootloader. One adapter on the serial port serves
// the window and the command line (link/serial_link.h); tests use the in-process
// simulated target.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velkorn::isp {

struct LinkRead {
  bool ok = false;         // the read call itself succeeded (a time-out is still ok)
  int count = 0;           // bytes read: 0 or 1
  std::uint8_t byte = 0;   // valid when count == 1
};

class Link {
 public:
  virtual ~Link() = default;
  // A serial port counts as open exactly when the handle is not none.
  virtual bool isOpen() const = 0;
  // WriteLinkBytes: one write of the whole string; returns the success flag.
  virtual bool writeBytes(std::string_view bytes) = 0;
  // ReadLinkByte: at most one byte, within the line's read time-outs (20 ms at most).
  virtual LinkRead readByte() = 0;
  // SetBaudRate: apply the rate to the open port (and show it); no port: nothing is applied.
  virtual void setBaudRate(int rate) = 0;
  // The next `count` bytes are due back to back at the line's rate (a record's echo, a read
  // answer of known length). A transport may let several of them gather before it wakes up
  // for them, as they cannot come sooner; each byte is still handed out in order, and each
  // read still returns within the read time-outs.
  virtual void expectBytes(std::size_t /*count*/) {}
  // Why the last write or read call failed (the system's text); empty when unknown.
  virtual std::string lastError() const { return {}; }
  // How long the answer to a record may take to start when it ends at a pause; zero: the
  // engine's gap limit. A network server's round trip can be far longer than a serial
  // line's, and the answer's first byte (the echo) comes only after it.
  virtual std::chrono::milliseconds answerStartLimit() const { return std::chrono::milliseconds(0); }
};

}  // namespace velkorn::isp
