#pragma once
// An engine wired to the simulated bootloader, and a link whose answers a test writes by
// hand for the cases the simulated chip never produces.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "isp/engine.h"
#include "sim/bootloader.h"
#include "support/fake_clock.h"
#include "support/scripted_operator.h"
#include "support/sim_link.h"

namespace velkorn::testing {

// Answers every write with respond(written); with `stream` set it never falls silent.
class ScriptLink final : public isp::Link {
 public:
  explicit ScriptLink(FakeClock& clock) : clock_(clock) {}
  std::function<std::string(const std::string&)> respond;
  bool stream = false;
  bool open = true;
  int reads = 0;
  std::string pending;

  bool isOpen() const override { return open; }
  Status writeBytes(std::string_view bytes) override {
    if (!open) return closed();
    if (respond) pending += respond(std::string(bytes));
    return {};
  }
  Result<isp::LinkRead> readByte() override {
    ++reads;
    if (!open) return closed();
    if (!pending.empty()) {
      const auto b = static_cast<std::uint8_t>(pending.front());
      pending.erase(0, 1);
      return isp::LinkRead{1, b};
    }
    if (stream) return isp::LinkRead{1, 'a'};
    clock_.advance(20);  // the read time-out
    return isp::LinkRead{};
  }
  Status setBaudRate(int) override { return {}; }
  isp::LinkCapabilities capabilities() const override { return {true, false, false}; }
  static Error closed() { return makeError(ErrorCode::Closed, "the line is closed"); }

 private:
  FakeClock& clock_;
};

// A chip that echoes each record and answers from a table keyed by the record without its
// checksum ("X" for records not in the table); "U" comes back as "U".
inline std::function<std::string(const std::string&)> tableChip(std::map<std::string, std::string> answers) {
  return [answers](const std::string& written) {
    if (written == "U") return written;
    const auto it = answers.find(written.substr(0, written.size() - 2));
    return written + (it == answers.end() ? std::string("X") : it->second);
  };
}

struct SimRig {
  explicit SimRig(sim::DeviceProfile profile = {}) : target(profile) {}
  FakeClock clock;
  sim::Bootloader target;
  ScriptedOperator op{clock};
  SimLink link{target, clock};
  isp::Engine engine{link, op, op, op, clock};

  // Synchronise, then forget what that sent and showed.
  void sync() {
    ASSERT_TRUE(engine.sync().done());
    target.clearRecords();
    op.events.clear();
    op.log.clear();
  }
  // A loaded file: erased everywhere except the given bytes.
  void loadFile(const std::map<int, std::uint8_t>& bytes, int lines = 10) {
    auto& im = engine.images();
    im.fileImage.fill(0xFF);
    for (const auto& [address, value] : bytes) im.fileImage[static_cast<std::size_t>(address)] = value;
    im.fileLoaded = true;
    im.hexLineCount = lines;
  }
  std::vector<std::string> recordsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& r : target.records())
      if (r.rfind(prefix, 0) == 0) out.push_back(r);
    return out;
  }
};

}  // namespace velkorn::testing
