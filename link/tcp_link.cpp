#include "link/tcp_link.h"

namespace velkorn::link {

void TcpLink::setBaudRate(int rate) {
  if (!isOpen()) return reportRate(rate, RateResult::NoPort, {});
  reportRate(rate, RateResult::Applied, kRawRateNote);
}

}  // namespace velkorn::link
