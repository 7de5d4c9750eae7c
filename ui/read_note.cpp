#include "ui/read_note.h"

#include "isp/engine.h"

#include <algorithm>

namespace velkorn::ui {

ReadCoverage readCoverage(const std::bitset<kImageSize>& read, int chipSize) {
  const int end = std::clamp(chipSize, 0, kImageSize);
  ReadCoverage c;
  for (int at = 0; at < end; ++at) {
    if (read[static_cast<std::size_t>(at)]) {
      if (c.first >= 0) c.readPast = true;
    } else {
      if (c.first < 0) c.first = at;
      ++c.missing;
    }
  }
  return c;
}

QString readCoverageNote(const std::bitset<kImageSize>& read, int chipSize) {
  const ReadCoverage c = readCoverage(read, chipSize);
  if (c.first < 0) return {};
  const QString address = QStringLiteral("%1").arg(c.first, 4, 16, QChar(u'0')).toUpper();
  if (!c.readPast)
    return QStringLiteral("Read stopped at %1: %2 bytes not read, shown grey").arg(address).arg(c.missing);
  return QStringLiteral("Read incomplete: %1 bytes not read, the first at %2; shown grey").arg(c.missing).arg(address);
}

QString uncomparedDataNote(const MemoryImages& images, const QString& fileName) {
  const int end = std::clamp(images.chipSize, 0, kImageSize);
  const int limit = isp::comparisonLimit(end);
  const auto hex = [](int address) { return QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper(); };
  for (int at = limit; at < end; ++at) {
    if (images.fileImage[static_cast<std::size_t>(at)] == kErasedByte) continue;
    return QStringLiteral("%1 holds data at %2 and above (from %3): programmed, but not compared")
        .arg(fileName, hex(limit), hex(at));
  }
  return {};
}

}  // namespace velkorn::ui
