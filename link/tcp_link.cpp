#include "link/tcp_link.h"

namespace velkorn::link {

std::string rawRateNote(int rate) {
  return "rate changes are not possible over a raw TCP link; the server's port must run at " +
         std::to_string(rate) + " bit/s";
}

void TcpLink::setBaudRate(int rate) {
  if (!isOpen()) return reportRate(rate, RateResult::NoPort, {});
  reportRate(rate, RateResult::Applied, rawRateNote(rate));
}

}  // namespace velkorn::link
