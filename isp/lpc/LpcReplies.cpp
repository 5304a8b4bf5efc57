#include "isp/lpc/LpcReplies.h"

// Whether the start of "Synchronized" is on its way, so that the next "?"
// must wait: it would land in the line the boot loader is about to expect.
bool LpcSyncReplyArriving(const QByteArray& text) {
  const QByteArray tail = text.mid(text.lastIndexOf('\n') + 1);
  const qsizetype s = tail.lastIndexOf('S');
  return s >= 0 && QByteArrayLiteral("Synchronized\r").startsWith(tail.mid(s));
}

// One uuencoded line back to its bytes (at most what its length character says).
std::vector<uint8_t> LpcUudecode(const QByteArray& line) {
  std::vector<uint8_t> out;
  if (line.isEmpty()) return out;
  const size_t n = static_cast<size_t>((line[0] - 32) & 63);
  for (qsizetype i = 1; i + 4 <= line.size() && out.size() < n; i += 4) {
    uint8_t v[4];
    for (int k = 0; k < 4; ++k) v[k] = static_cast<uint8_t>((line[i + k] - 32) & 63);
    out.push_back(static_cast<uint8_t>(v[0] << 2 | v[1] >> 4));
    out.push_back(static_cast<uint8_t>(v[1] << 4 | v[2] >> 2));
    out.push_back(static_cast<uint8_t>(v[2] << 6 | v[3]));
  }
  if (out.size() > n) out.resize(n);
  return out;
}

int LpcReturnCode(const QByteArray& line) {
  const QByteArray t = line.trimmed();
  if (t.isEmpty() || t.size() > 3) return -1;
  for (char c : t)
    if (c < '0' || c > '9') return -1;
  return t.toInt();
}
