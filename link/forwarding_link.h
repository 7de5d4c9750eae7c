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
  bool writeBytes(std::string_view bytes) override {
    const bool ok = line_->writeBytes(bytes);
    if (!ok) writeFailed_ = true;
    return ok;
  }
  isp::LinkRead readByte() override { return line_->readByte(); }
  void setBaudRate(int rate) override { line_->setBaudRate(rate); }
  void expectBytes(std::size_t count) override { line_->expectBytes(count); }
  std::string lastError() const override { return line_->lastError(); }
  std::chrono::milliseconds answerStartLimit() const override { return line_->answerStartLimit(); }

 private:
  isp::Link* line_;
  bool writeFailed_ = false;
};

}  // namespace velkorn::link
