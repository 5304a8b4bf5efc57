// Arrival times in the receive area: "[HH:MM:SS.mmm] " before a line.
#pragma once

#include <QString>
#include <cstdint>

inline constexpr int kStampWidth = 15;  // characters (and cells) of the prefix

// `msOfDay`: milliseconds since midnight, local time.
inline QString StampText(uint32_t msOfDay) {
  msOfDay %= 86400000u;
  char16_t buf[kStampWidth];
  const uint32_t v[4] = {msOfDay / 3600000u, msOfDay / 60000u % 60u, msOfDay / 1000u % 60u, msOfDay % 1000u};
  buf[0] = u'[';
  buf[1] = u'0' + v[0] / 10;
  buf[2] = u'0' + v[0] % 10;
  buf[3] = u':';
  buf[4] = u'0' + v[1] / 10;
  buf[5] = u'0' + v[1] % 10;
  buf[6] = u':';
  buf[7] = u'0' + v[2] / 10;
  buf[8] = u'0' + v[2] % 10;
  buf[9] = u'.';
  buf[10] = u'0' + v[3] / 100;
  buf[11] = u'0' + v[3] / 10 % 10;
  buf[12] = u'0' + v[3] % 10;
  buf[13] = u']';
  buf[14] = u' ';
  return QString(reinterpret_cast<const QChar*>(buf), kStampWidth);
}
