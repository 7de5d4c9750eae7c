#include "link/tcp_link.h"

namespace velkorn::link {

std::string rawRateNote(int rate) {
  return "rate changes are not possible over a raw TCP link; the server's port must run at " +
         std::to_string(rate) + " bit/s";
}

Status TcpLink::setBaudRate(int rate) {
  if (!isOpen()) return reportRate(rate, makeError(ErrorCode::Closed, "no connection is open"), {});
  std::string note = rawRateNote(rate);
  Error unsupported = makeError(ErrorCode::Unsupported, note);
  return reportRate(rate, std::move(unsupported), std::move(note));
}

}  // namespace velkorn::link
