#include "link/serial_link.h"

namespace velkorn::link {

Status SerialLink::setBaudRate(int rate) {
  Status result = port_.setBaudRate(rate);
  if (onRate) onRate(rate, result);
  return result;
}

}  // namespace velkorn::link
