#include "terminal/BridgeName.h"

QString BridgePortName(const QString& mainPortName) {
  qsizetype digitsStart = mainPortName.size();
  while (digitsStart > 0) {
    const QChar c = mainPortName.at(digitsStart - 1);
    if (c < u'0' || c > u'9') break;
    --digitsStart;
  }
  // Only n modulo 256 matters, so an arbitrarily long number cannot overflow.
  unsigned n = 1;
  if (digitsStart < mainPortName.size()) {
    n = 0;
    for (qsizetype i = digitsStart; i < mainPortName.size(); ++i)
      n = (n * 10 + static_cast<unsigned>(mainPortName.at(i).unicode() - u'0')) % 256;
  }
  return mainPortName.left(digitsStart) + QString::number((n + 1) % 256);
}
