// Receive path of the terminal page, end to end: bytes written on the far side
// of a pseudo-terminal, read by the main port's poll, stored, counted and shown
// in Memo1 by the real main window on the offscreen platform.
//
// For text and hexadecimal display, with 0, 8 and 29 MiB already received
// (the last: the runs' 2 MiB bring the store up to the automatic clear at
// 31 MiB, the largest it ever holds):
//  - "timer": the far side writes as fast as it can and the driver's own 5 ms
//    poll reads it (at most 16 reads of 1024 bytes per tick, so the wall rate
//    is capped near 3.2 MB/s); the GUI thread's CPU time per byte gives the
//    rate the window could take ("capacity").
//  - "direct": the same path with the poll called back to back instead of
//    from its timer, so the wall rate is what the store and display sustain.
// Each line also shows the resident memory (now and the peak since the
// case began, against the goal of twice the store plus 150 MiB), the rows
// the output area holds and the bookkeeping beside the store, and how long a
// switch of display takes each way (the click on the display box and the
// paint that follows). All of it with arrival times off and on. Then the
// fastest line rate (1228800 bit/s) is paced in for a few seconds, once
// steady and once with the display switched between text and hexadecimal and
// a find (next match and the full count) in the middle, on the largest
// store, and the bytes waiting in the kernel are tracked: the poll must keep them far below what a serial port's input queue
// holds, and every byte must arrive. The line discipline holds 4095 bytes;
// before it a pty queues about 8 KB and then makes the writer wait, a serial
// port 64 KB (older kernels) or 640 KB and then drops.
//
// Usage: TerminalReceiveBench [MiB measured per run, default 1] [max history MiB] [quick]
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "app/MainForm.h"
#include "platform/Gbk.h"
#include "terminal/ReceiveRenderer.h"
#include "terminal/ReceiveRows.h"
#include "app/TerminalOptions.h"

namespace {

constexpr size_t kMiB = 1048576;
constexpr size_t kClearLimit = 32505856;
constexpr double kLineRate = 1228800.0 / 10.0;  // bytes/s at 8N1

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long StatusKb(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, key, n) == 0) {
      kb = std::atol(line + n);
      break;
    }
  }
  std::fclose(f);
  return kb;
}
double RssMiB() { return static_cast<double>(StatusKb("VmRSS:")) / 1024.0; }
double PeakMiB() { return static_cast<double>(StatusKb("VmHWM:")) / 1024.0; }
// Starts a new peak: the kernel resets VmHWM to the current RSS.
void ResetPeak() {
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

// A terminal's typical traffic: numbered lines of ASCII and GBK text with
// CR LF, and one byte of value 0 per line (left out of the text display).
std::vector<uint8_t> MakeStream(size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size + 128);
  const QByteArray middle = EncodeGbk(QStringLiteral(" 接收测试 quick brown fox 0123456789 数据"));
  for (unsigned line = 0; out.size() < size; ++line) {
    char num[16];
    std::snprintf(num, sizeof num, "%07u", line);
    out.insert(out.end(), num, num + 7);
    out.insert(out.end(), middle.begin(), middle.end());
    out.push_back(0);
    out.push_back('\r');
    out.push_back('\n');
  }
  out.resize(size);
  return out;
}

struct Pty {
  int master = -1;
  int slave = -1;  // kept open so the master never reads a hang-up
  std::string path;
  Pty() {
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(2);
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    path = name;
  }
  ~Pty() {
    close(slave);
    close(master);
  }
};

struct Bench {
  TMainForm& f;
  Pty& pty;
  const std::vector<uint8_t>& stream;
  std::atomic<uint64_t> received{0};  // bytes the driver has delivered, ever

  Bench(TMainForm& form, Pty& p, const std::vector<uint8_t>& s) : f(form), pty(p), stream(s) {
    // Count every delivery, then hand it to the window as the driver would.
    auto original = f.ComDriver_->OnReceiveData;
    f.ComDriver_->OnReceiveData = [this, original](TKRNCommDriver* d, const uint8_t* p, int32_t n) {
      received.fetch_add(static_cast<uint64_t>(n));
      original(d, p, n);
    };
  }

  void Settle() {
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  }

  // Clears, chooses the display and fills the history with `bytes` from the
  // stream through the receive handler in driver-sized blocks.
  double Prefill(bool hex, size_t bytes) {
    f.BitBtn5Click();
    f.SetCheckForTest(f.CheckHexRXD, hex);
    QElapsedTimer t;
    t.start();
    for (size_t at = 0; at < bytes; at += 1024) {
      const size_t n = std::min<size_t>(1024, bytes - at);
      f.ComDriverReceiveData(f.ComDriver_, stream.data() + at, static_cast<int32_t>(n));
    }
    const double s = static_cast<double>(t.nsecsElapsed()) * 1e-9;
    Settle();
    return s;
  }

  // Writes stream[from, from + count) on the far side, as fast as the pty
  // takes it, or paced at `rate` bytes/s when rate > 0.
  std::thread Writer(size_t from, size_t count, double rate, std::atomic<bool>& writerStalled) {
    return std::thread([this, from, count, rate, &writerStalled] {
      const auto start = std::chrono::steady_clock::now();
      size_t done = 0;
      uint8_t sink[4096];
      while (done < count) {
        (void)!::read(pty.master, sink, sizeof sink);  // nothing should echo; never let it block us
        size_t want = count - done;
        if (rate > 0) {
          const double el = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          const size_t due = std::min(count, static_cast<size_t>(el * rate));
          if (due <= done) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            continue;
          }
          want = due - done;
        }
        const ssize_t n = ::write(pty.master, stream.data() + from + done, std::min<size_t>(want, 65536));
        if (n > 0) {
          done += static_cast<size_t>(n);
          continue;
        }
        // The kernel's queue is full: a real port would be dropping bytes now.
        if (rate > 0) writerStalled = true;
        pollfd p{pty.master, POLLOUT, 0};
        poll(&p, 1, 5);
      }
    });
  }

  bool TailMatches(size_t from, size_t count) const {
    const auto& s = f.ReceiveStore;
    if (s.size() < count) return false;
    return std::memcmp(s.data() + s.size() - count, stream.data() + from, count) == 0;
  }

  // The display shows the store: the rows from about 64 KiB before the end
  // render as the reference renderer renders those bytes (arrival times
  // off), and the view is at the end. The whole text is never built: at the
  // largest store it would take more memory than the display itself.
  bool ShowsWholeStore() const {
    const auto& s = f.ReceiveStore;
    ReceiveRows& rows = f.Terminal->Rows();
    if (f.Memo1->source() != &rows || rows.Hex() != f.CheckHexRXD->isChecked()) return false;
    const qsizetype first = rows.RowOfByte(s.size() > 65536 ? s.size() - 65536 : 0);
    const size_t from = rows.FirstByteOfRow(first);
    QString shown;
    rows.AppendRows(first, rows.RowCount(), shown, nullptr);
    bool same = true;
    if (!rows.Timestamps()) {
      const QString want = rows.Hex() ? ReceiveRenderer::RenderHex(s.data() + from, s.size() - from)
                                      : RenderWholeText(s.data() + from, s.size() - from);
      same = shown == want;
    }
    QScrollBar* bar = f.Memo1->verticalScrollBar();
    return same && bar->value() == bar->maximum();
  }

  struct Run {
    double wall = 0, cpu = 0;
    bool intact = false;
  };

  // Sends `count` bytes from stream offset `from` and waits until all of them
  // are stored; `direct` calls the poll back to back.
  Run Measure(size_t from, size_t count, bool direct) {
    const uint64_t target = received.load() + count;
    std::atomic<bool> stalled{false};
    QElapsedTimer t;
    const double cpu0 = ThreadCpuSeconds();
    t.start();
    std::thread w = Writer(from, count, 0, stalled);
    while (received.load() < target) {
      if (direct) {
        f.ComDriver_->PollReceive();
        QApplication::processEvents();
      } else {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
      }
    }
    Settle();  // the last paint belongs to the run
    Run r;
    r.wall = static_cast<double>(t.nsecsElapsed()) * 1e-9;
    r.cpu = ThreadCpuSeconds() - cpu0;
    w.join();
    r.intact = received.load() == target && TailMatches(from, count);
    return r;
  }

  // Paces `seconds` of the fastest line rate in through the driver's own
  // timer; with `toggleAt`, the display is switched to the other rendering
  // and back at those points. Reports the most bytes ever waiting unread.
  void Paced(size_t from, double seconds, bool toggle) {
    const size_t count = static_cast<size_t>(seconds * kLineRate);
    const uint64_t base = received.load();
    std::atomic<uint64_t> written{0};
    std::atomic<bool> stalled{false};
    std::atomic<bool> done{false};
    // The writer runs paced; a watcher samples how far the reader lags.
    std::thread w = Writer(from, count, kLineRate, stalled);
    std::atomic<int> maxQueued{0};
    std::thread watch([&] {
      while (!done) {
        int q = 0;
        ioctl(pty.slave, FIONREAD, &q);  // waiting in the line discipline
        if (q > maxQueued) maxQueued = q;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    QElapsedTimer t;
    t.start();
    double longestToggle = 0;
    int toggles = 0;
    double findMs = -1;
    bool findDone = false;
    QElapsedTimer countClock;
    qint64 countMs = -1;
    qint64 lastDelivery = 0;
    qint64 longestGap = 0;
    uint64_t lastSeen = base;
    while (received.load() < base + count) {
      QApplication::processEvents(QEventLoop::WaitForMoreEvents);
      const qint64 now = t.elapsed();
      if (received.load() != lastSeen) {
        if (lastDelivery != 0) longestGap = std::max(longestGap, now - lastDelivery);
        lastDelivery = now;
        lastSeen = received.load();
      }
      const double at = static_cast<double>(now) / 1000.0;
      if (toggle && toggles < 2 && at > seconds * (toggles + 1) / 3.0) {
        QElapsedTimer tt;
        tt.start();
        f.SetCheckForTest(f.CheckHexRXD, !f.CheckHexRXD->isChecked());
        longestToggle = std::max(longestToggle, static_cast<double>(tt.nsecsElapsed()) * 1e-6);
        ++toggles;
      }
      // A find after the switches: the next match, and the count that runs
      // in slices between polls until it has seen every row.
      if (toggle && !findDone && toggles == 2 && at > seconds * 0.7) {
        QElapsedTimer ft;
        ft.start();
        f.Memo1->showFindBar();
        f.Memo1->setFindText(f.CheckHexRXD->isChecked() ? QStringLiteral("71 75 69 63 6B") : QStringLiteral("quick"));
        countClock.start();
        f.Memo1->scrollToRow(0);
        f.Memo1->clearSelection();
        f.Memo1->findNext();
        findMs = static_cast<double>(ft.nsecsElapsed()) * 1e-6;
        findDone = true;
      }
      if (findDone && countMs < 0 && !f.Memo1->findStatus().contains(u'…')) countMs = countClock.elapsed();
      if (t.elapsed() > static_cast<qint64>(seconds * 1000) + 20000) break;
    }
    const QString findStatus = f.Memo1->findStatus();
    f.Memo1->hideFindBar();
    f.Memo1->scrollToEnd();
    Settle();
    done = true;
    w.join();
    watch.join();
    (void)written;
    const bool intact = received.load() == base + count && TailMatches(from, count) && ShowsWholeStore();
    std::printf("paced %-5s %.0f B/s for %.1f s, store %5.1f MiB%s: %s, longest gap between "
                "deliveries %lld ms, most bytes queued in the kernel %d, writer ever blocked: %s",
                f.CheckHexRXD->isChecked() ? "hex" : "text", kLineRate, seconds,
                static_cast<double>(f.ReceiveStore.size()) / kMiB, toggle ? " (display switched twice)" : "",
                intact ? "all bytes stored and shown" : "BYTES LOST OR DISPLAY WRONG", static_cast<long long>(longestGap), maxQueued.load(),
                stalled ? "YES" : "no");
    if (toggle)
      std::printf(", longest switch %.0f ms, find %.0f ms, count %s after %lld ms", longestToggle, findMs,
                  qPrintable(findStatus), static_cast<long long>(countMs));
    std::printf("\n");
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const size_t measured = (argc > 1 ? static_cast<size_t>(std::atof(argv[1]) * kMiB) : kMiB);
  // The largest history is what a session holds just before its automatic
  // clear: the measured bytes bring the store up to the clear limit.
  const size_t pacedBytes = static_cast<size_t>(5.0 * kLineRate) + 1;
  const size_t fullHistory = kClearLimit - 2 * measured;
  const size_t maxHistory =
      std::min(fullHistory, argc > 2 ? static_cast<size_t>(std::atof(argv[2]) * kMiB) : fullHistory);
  const bool quick = argc > 3 && std::strcmp(argv[3], "quick") == 0;  // no paced runs (profiling)
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config, noDevices;
  qputenv("VORTANA_CONFIG_HOME", config.path().toLocal8Bit());
  qputenv("VORTANA_SYS_CLASS_TTY", noDevices.path().toLocal8Bit());
  QApplication app(argc, argv);
  TMainForm::MessageSink = [](const QString&, const QString& text) {
    std::fprintf(stderr, "message: %s\n", qPrintable(text));
  };

  Pty pty;
  auto form = std::make_unique<TMainForm>();
  TMainForm& f = *form;
  f.ShowMessageHook = TMainForm::MessageSink;
  f.show();
  f.ComboBox1->addItem(QString::fromStdString(pty.path));
  f.ComboBox1->setCurrentIndex(f.ComboBox1->count() - 1);
  f.ComboBox2->setCurrentIndex(18);  // 1228800 bit/s
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  if (!f.PortOpen) {
    std::fprintf(stderr, "the port on %s did not open\n", pty.path.c_str());
    return 2;
  }

  const std::vector<uint8_t> stream = MakeStream(maxHistory + 4 * measured + static_cast<size_t>(8 * kLineRate));
  Bench b(f, pty, stream);
  b.Settle();
  std::printf("Memo1 %dx%d px, %d columns; measured %.1f MiB per run; goal %.1f MB/s\n",
              f.Memo1->viewport()->width(), f.Memo1->viewport()->height(), f.Memo1->columns(),
              static_cast<double>(measured) / kMiB, 10 * kLineRate / 1e6);
  const double startRss = RssMiB();
  std::printf("RSS at start %.1f MiB\n", startRss);
  std::fflush(stdout);

  bool allMet = true;
  const size_t histories[] = {0, 8 * kMiB, maxHistory};
  for (bool stamps : {false, true}) {
    f.Terminal->SetTimestamps(stamps);
    for (bool hex : {false, true}) {
      for (size_t history : histories) {
        if (history > maxHistory) continue;
        const double fill = b.Prefill(hex, history);
        ResetPeak();
        const Bench::Run timer = b.Measure(history, measured, false);
        const Bench::Run direct = b.Measure(history + measured, measured, true);
        // A switch to the other display and back, each with the paint after it.
        double switchMs[2] = {};
        for (double& ms : switchMs) {
          QElapsedTimer st;
          st.start();
          f.SetCheckForTest(f.CheckHexRXD, !f.CheckHexRXD->isChecked());
          (void)f.Memo1->viewport()->grab();
          ms = static_cast<double>(st.nsecsElapsed()) * 1e-6;
        }
        b.Settle();
        const bool shown = b.ShowsWholeStore();
        const double capacity = static_cast<double>(measured) / timer.cpu;
        const double directRate = static_cast<double>(measured) / direct.wall;
        const double storeMiB = static_cast<double>(f.ReceiveStore.size()) / kMiB;
        const double peak = PeakMiB();
        const bool met = capacity >= 10 * kLineRate && directRate >= 10 * kLineRate;
        allMet = allMet && met && timer.intact && direct.intact && shown;
        std::printf("%-4s %-8s history %5.1f MiB | timer %7.0f B/s wall, GUI CPU %.3f s -> capacity %9.0f B/s | "
                    "direct %9.0f B/s | store %5.1f MiB, %7d rows, %5.1f MiB beside the store | RSS %6.1f MiB, "
                    "peak %6.1f MiB (goal %6.1f) | prefill %.2f s, switch %3.0f / %3.0f ms | %s%s%s\n",
                    hex ? "hex" : "text", stamps ? "+times" : "", static_cast<double>(history) / kMiB,
                    static_cast<double>(measured) / timer.wall, timer.cpu, capacity, directRate, storeMiB,
                    f.Memo1->rowCount(), static_cast<double>(f.Terminal->Rows().MemoryBytes()) / kMiB, RssMiB(),
                    peak, 2 * storeMiB + 150, fill, switchMs[0], switchMs[1],
                    met ? "goal met" : "GOAL MISSED", timer.intact && direct.intact ? "" : ", BYTES LOST",
                    shown ? "" : ", DISPLAY WRONG");
        std::fflush(stdout);
      }
    }
  }
  f.Terminal->SetTimestamps(false);

  // The fastest line rate against the largest history, through the driver's timer.
  if (!quick) {
    const size_t pacedHistory = std::min(maxHistory + 2 * measured, kClearLimit - pacedBytes);
    const size_t pacedFrom = pacedHistory;
    b.Prefill(false, pacedHistory);
    // A wider window lays the whole store out again for the new width, a
    // slice at a time between polls; the old rows show meanwhile.
    auto widen = [&](int by) {
      QElapsedTimer wt;
      wt.start();
      f.resize(f.width() + by, f.height());
      f.Memo1->resize(f.Memo1->width() + by, f.Memo1->height());
      double longest = static_cast<double>(wt.nsecsElapsed()) * 1e-6;
      ReceiveRows& rows = f.Terminal->Rows();
      while (rows.LayoutPending()) {
        QElapsedTimer st;
        st.start();
        QApplication::processEvents();
        longest = std::max(longest, static_cast<double>(st.nsecsElapsed()) * 1e-6);
      }
      b.Settle();
      std::printf("width %+d at %.1f MiB: new rows in place after %.0f ms, longest pause of the window %.1f ms\n", by,
                  static_cast<double>(f.ReceiveStore.size()) / kMiB, static_cast<double>(wt.nsecsElapsed()) * 1e-6,
                  longest);
    };
    widen(80);
    widen(-80);
    ResetPeak();
    b.Paced(pacedFrom, 2.0, false);
    b.Paced(pacedFrom + static_cast<size_t>(2.0 * kLineRate) + 1, 3.0, true);
  }
  std::printf("peak RSS %.1f MiB%s\n", PeakMiB(), quick ? "" : " (during the paced runs)");
  std::printf("%s\n", allMet ? "all cases met the goal" : "some case missed the goal");

  f.BitBtn3Click();
  form.reset();
  TMainForm::MessageSink = nullptr;
  static_assert(kClearLimit == 31 * kMiB);
  return allMet ? 0 : 1;
}
