#include "link/serial_link.h"

namespace velkorn::link {

bool SerialLink::writeBytes(std::string_view bytes) { return port_.write(bytes); }

isp::LinkRead SerialLink::readByte() { return port_.readByte(); }

void SerialLink::setBaudRate(int rate) {
  RateResult result = RateResult::NoPort;
  if (port_.isOpen()) result = port_.setBaudRate(rate) ? RateResult::Applied : RateResult::Refused;
  if (onRate) onRate(rate, result);
}

}  // namespace velkorn::link
