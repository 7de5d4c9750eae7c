#include "ui/read_note.h"

#include <algorithm>

namespace velkorn::ui {

QString readCoverageNote(const std::bitset<kImageSize>& read, int chipSize) {
  const int end = std::clamp(chipSize, 0, kImageSize);
  int first = -1, missing = 0, lastRead = -1;
  for (int at = 0; at < end; ++at) {
    if (read[static_cast<std::size_t>(at)]) {
      lastRead = at;
    } else {
      if (first < 0) first = at;
      ++missing;
    }
  }
  if (first < 0) return {};
  const QString address = QStringLiteral("%1").arg(first, 4, 16, QChar(u'0')).toUpper();
  if (lastRead < first)
    return QStringLiteral("Read stopped at %1: %2 bytes not read, shown grey").arg(address).arg(missing);
  return QStringLiteral("Read incomplete: %1 bytes not read, the first at %2; shown grey").arg(missing).arg(address);
}

}  // namespace velkorn::ui
