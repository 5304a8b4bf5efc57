#include "support/EventPump.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(500);
  }
  return true;
}

void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}
