// The frame view against a continuous stream at 1228800 bit/s (122880 bytes
// a second at 8N1), in 8-byte Modbus requests with their CRC — the shortest
// common frame, so the most rows a second.
//  - "log": the frame log alone splits and checks a full receive history
//    (31 MiB) handed over in the driver's 1024-byte blocks; the rate it
//    sustains against the line's.
//  - "window": the real main window on the offscreen platform with the frame
//    view open; the stream is handed to the receive handler every 5 ms as the
//    driver's poll does, for some seconds. The GUI thread's CPU share, the
//    longest stretch the event loop was held (a frozen window shows there),
//    and whether every frame came through.
// Usage: FramesBench [seconds of stream, default 5]
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <time.h>

#include "app/MainForm.h"
#include "terminal/Checksum.h"
#include "app/FramePanels.h"
#include "app/FrameWindow.h"
#include "terminal/Modbus.h"
#include "app/TerminalOptions.h"

namespace {
constexpr double kLineRate = 1228800.0 / 10.0;
constexpr size_t kHistory = 32505856;

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<uint8_t> Stream(size_t bytes) {
  std::vector<uint8_t> s;
  s.reserve(bytes);
  for (uint16_t i = 0; s.size() + 8 <= bytes; ++i) {
    const auto f = modbus::EncodeRequest({1, modbus::kReadHoldingRegisters, i, 10, {}});
    s.insert(s.end(), f.begin(), f.end());
  }
  return s;
}
}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;

  {
    const std::vector<uint8_t> all = Stream(kHistory);
    std::vector<uint8_t> store;
    store.reserve(all.size());
    FrameLog log(store);
    SplitRule r;
    r.mode = SplitRule::Mode::FixedLength;
    r.fixedLength = 8;
    log.SetRule(r);
    log.SetChecksum({ChecksumKind::Crc16Modbus, true, 0, 0});
    QElapsedTimer t;
    t.start();
    for (size_t at = 0; at < all.size(); at += 1024) {
      store.insert(store.end(), all.begin() + at, all.begin() + std::min(all.size(), at + 1024));
      log.Appended(static_cast<int64_t>(at), 0);
    }
    const double s = t.nsecsElapsed() * 1e-9;
    size_t good = 0;
    for (size_t i = 0; i < log.Count(); ++i) good += log.At(i).verdict == static_cast<uint8_t>(ChecksumVerdict::Good);
    std::printf("log: %.1f MiB in %.3f s = %.1f MB/s, %.0f x the line rate; %zu frames, %zu good, index %.1f MiB\n",
                all.size() / 1048576.0, s, all.size() / s / 1e6, all.size() / s / kLineRate, log.Count(), good,
                log.Count() * sizeof(FrameLog::Entry) / 1048576.0);
    QElapsedTimer t2;
    t2.start();
    r.mode = SplitRule::Mode::Terminator;  // a new rule splits the history again
    r.terminator = {0xC5, 0xCD};
    log.SetRule(r);
    std::printf("log: the full history split again under a new rule in %.3f s\n", t2.nsecsElapsed() * 1e-9);
  }

  TMainForm form;
  form.show();
  form.RzPageControl1->setCurrentIndex(1);
  FrameWindow* w = form.Terminal->Panels().ShowFrames();
  w->RuleEdit()->setText("fixed=8");
  w->ChecksumBox()->setCurrentIndex(w->ChecksumBox()->findData(static_cast<int>(ChecksumKind::Crc16Modbus)));
  w->ApplyChoices();
  const std::vector<uint8_t> s = Stream(static_cast<size_t>(kLineRate * seconds));
  size_t sent = 0;
  QElapsedTimer wall;
  wall.start();
  qint64 lastTick = 0, longest = 0;
  const double cpu0 = CpuSeconds();
  QTimer poll;
  poll.setInterval(5);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    const qint64 now = wall.elapsed();
    longest = std::max(longest, now - lastTick);
    lastTick = now;
    const size_t due = std::min(s.size(), static_cast<size_t>(kLineRate * now / 1000.0));
    while (sent < due) {
      const size_t n = std::min<size_t>(1024, due - sent);
      form.ComDriverReceiveData(form.ComDriver_, s.data() + sent, static_cast<int32_t>(n));
      sent += n;
    }
    if (sent == s.size()) app.quit();
  });
  poll.start();
  app.exec();
  QElapsedTimer settle;
  settle.start();
  while (settle.elapsed() < 300) app.processEvents();
  const double cpu = CpuSeconds() - cpu0;
  const double secs = wall.nsecsElapsed() * 1e-9;
  const FrameLog& log = form.Terminal->Panels().Log();
  std::printf("window: %zu bytes in %.2f s (%.0f bytes/s), GUI thread CPU %.1f%%, longest hold %lld ms, "
              "%zu frames of %zu, table rows %d, store %zu bytes\n",
              sent, secs, sent / secs, 100.0 * cpu / secs, static_cast<long long>(longest), log.Count(), s.size() / 8,
              w->Table()->model()->rowCount(), form.ReceiveStore.size());
  return log.Count() == s.size() / 8 && form.ReceiveStore.size() == s.size() ? 0 : 1;
}
