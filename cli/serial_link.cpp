#include "cli/serial_link.h"

namespace velkorn::cli {

bool SerialLink::writeBytes(std::string_view bytes) {
  lastWritten_.assign(bytes);
  const bool ok = port_.write(bytes);
  if (!ok) ++failedWrites_;
  return ok;
}

isp::LinkRead SerialLink::readByte() {
  const link::ReadResult r = port_.readByte();
  return {r.ok, r.count, r.byte};
}

void SerialLink::setBaudRate(int rate) {
  if (!port_.isOpen()) return;
  if (!port_.setBaudRate(rate)) op_.showNotice("SetCommState failed");
}

}  // namespace velkorn::cli
