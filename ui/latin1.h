#pragma once
// Widget text is 8-bit on the wire and in the settings file: Latin-1 both ways.
#include <QByteArray>
#include <QString>
#include <string>

namespace velkorn::ui {

inline std::string toLatin1(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

inline QString fromLatin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace velkorn::ui
