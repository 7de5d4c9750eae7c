#pragma once
// The line an engine keeps for its whole life. The engine holds its link by reference, so
// the owner switches what stands behind this one instead: the serial port's adapter, a
// network serial server's link, or the module's connection while a chip command borrows it.
// A failed write is remembered: a port that fails one has gone away (a pulled adapter), and
// the synchronisation need not wait out its limit.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "isp/link.h"

namespace velkorn::link {

class ForwardingLink final : public isp::Link {
 public:
  explicit ForwardingLink(isp::Link& line) : line_(&line) {}

  void use(isp::Link& line) { line_ = &line; }
  isp::Link& current() const { return *line_; }
  // A write failed since this link was made, on whatever line stood behind it then.
  bool writeFailed() const { return writeFailed_; }

  bool isOpen() const override { return line_->isOpen(); }
  Status writeBytes(std::string_view bytes) override {
    Status written = line_->writeBytes(bytes);
    if (!written) writeFailed_ = true;
    return written;
  }
  Result<isp::LinkRead> readByte() override { return line_->readByte(); }
  Status setBaudRate(int rate) override { return line_->setBaudRate(rate); }
  isp::LinkCapabilities capabilities() const override { return line_->capabilities(); }
  void expectBytes(std::size_t count) override { line_->expectBytes(count); }
  std::chrono::milliseconds answerStartLimit() const override { return line_->answerStartLimit(); }

 private:
  isp::Link* line_;
  bool writeFailed_ = false;
};

}  // namespace velkorn::link
