// The adapter between the simulated chip and the programmer, on made-up times: what it holds,
// when it lets go, and that nothing is lost or reordered on the way.
#include "sim/adapter_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velkorn::sim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(AdapterBuffer, HoldsUntilTheTimerOrAFullPacket) {
  struct Put {
    int atUs;
    int bytes;
  };
  struct Take {
    int atUs;
    std::size_t passedSoFar;
  };
  struct Case {
    const char* name;
    int latencyMs;
    std::vector<Put> puts;
    std::vector<Take> takes;
  };
  const std::vector<Case> cases = {
      {"the timer runs from the first byte held", 16, {{0, 5}, {3000, 3}}, {{15999, 0}, {16000, 8}}},
      {"a burst over a packet goes on at once", 16, {{0, 70}}, {{0, 62}, {15999, 62}, {16000, 70}}},
      {"a byte after the timer ran out starts a new hold", 16, {{0, 1}, {20000, 1}},
       {{20000, 1}, {35999, 1}, {36000, 2}}},
      {"no latency passes each byte at once", 0, {{0, 3}}, {{0, 3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AdapterBuffer adapter(milliseconds(c.latencyMs), microseconds(0), 1);
    const AdapterBuffer::Clock::time_point start{};
    std::string sent, passed;
    std::size_t put = 0, take = 0;
    // Puts and takes in time order; a put and a take at the same time: the put first.
    while (put < c.puts.size() || take < c.takes.size()) {
      if (put < c.puts.size() && (take == c.takes.size() || c.puts[put].atUs <= c.takes[take].atUs)) {
        for (int i = 0; i < c.puts[put].bytes; ++i) {
          sent += static_cast<char>('!' + sent.size() % 90);
          adapter.put(sent.back(), start + microseconds(c.puts[put].atUs));
        }
        ++put;
      } else {
        passed += adapter.take(start + microseconds(c.takes[take].atUs));
        EXPECT_EQ(passed.size(), c.takes[take].passedSoFar) << "at " << c.takes[take].atUs << " us";
        ++take;
      }
    }
    EXPECT_EQ(passed, sent.substr(0, passed.size()));
  }
}

TEST(AdapterBuffer, JitterStaysInItsRangeAndRepeatsWithTheSeed) {
  auto holds = [](std::uint32_t seed) {
    AdapterBuffer adapter(milliseconds(16), milliseconds(8), seed);
    std::vector<long long> us;
    for (int i = 0; i < 50; ++i) {
      const AdapterBuffer::Clock::time_point at{std::chrono::seconds(i)};
      adapter.put('U', at);
      us.push_back(std::chrono::duration_cast<microseconds>(*adapter.deadline() - at).count());
    }
    return us;
  };
  const auto first = holds(7);
  for (long long h : first) {
    EXPECT_GE(h, 16000);
    EXPECT_LE(h, 24000);
  }
  EXPECT_EQ(holds(7), first);
  EXPECT_NE(holds(8), first);
}

}  // namespace
}  // namespace velkorn::sim
