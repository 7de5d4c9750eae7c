#pragma once
// The line the engine holds for the window's whole life: it forwards to whichever transport
// is in use, the serial port's adapter by default, a network serial server's link, or the
// module's connection while a chip command borrows it. The engine keeps its link by
// reference, so the window switches what is behind it instead.
#include "isp/link.h"

namespace velkorn::ui {

class ChipLine final : public isp::Link {
 public:
  explicit ChipLine(isp::Link& line) : line_(&line) {}

  void use(isp::Link& line) { line_ = &line; }
  isp::Link& current() const { return *line_; }

  bool isOpen() const override { return line_->isOpen(); }
  bool writeBytes(std::string_view bytes) override { return line_->writeBytes(bytes); }
  isp::LinkRead readByte() override { return line_->readByte(); }
  void setBaudRate(int rate) override { line_->setBaudRate(rate); }
  std::string lastError() const override { return line_->lastError(); }
  std::chrono::milliseconds answerStartLimit() const override { return line_->answerStartLimit(); }

 private:
  isp::Link* line_;
};

}  // namespace velkorn::ui
