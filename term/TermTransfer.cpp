#include "term/TermTransfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <unistd.h>

#include "platform/SerialDevice.h"
#include "platform/SerialOpenError.h"
#include "terminal/XModem.h"

namespace {

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Say(const QString& s) { std::fprintf(stderr, "%s\n", s.toUtf8().constData()); }

bool WriteOut(SerialPlatform& p, int fd, const std::vector<uint8_t>& out) {
  size_t done = 0;
  const int64_t until = NowMs() + 10000;
  while (done < out.size()) {
    const long n = p.Write(fd, out.data() + done, out.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (NowMs() > until) return false;
    pollfd w{fd, POLLOUT, 0};
    ::poll(&w, 1, 20);
  }
  return true;
}

}  // namespace

int RunTermTransfer(const TermOptions& o) {
  using T = TermOptions::Transfer;
  const bool sending = o.transfer == T::SendXmodem || o.transfer == T::SendYmodem;
  const bool ymodem = o.transfer == T::SendYmodem || o.transfer == T::ReceiveYmodem;

  std::unique_ptr<XferMachine> m;
  if (sending) {
    std::vector<XferFile> files;
    for (const QString& name : o.files) {
      QFile f(name);
      if (!f.open(QIODevice::ReadOnly)) {
        Say(QStringLiteral("无法打开文件 %1: %2").arg(name, f.errorString()));
        return 2;
      }
      const QByteArray d = f.readAll();
      files.push_back({QFileInfo(name).fileName().toStdString(), std::vector<uint8_t>(d.begin(), d.end())});
    }
    m = std::make_unique<XmodemSender>(std::move(files), ymodem, o.oneK);
  } else {
    if (ymodem && !QFileInfo(o.files.value(0)).isDir()) {
      Say(QStringLiteral("文件夹不存在: %1").arg(o.files.value(0)));
      return 2;
    }
    m = std::make_unique<XmodemReceiver>(ymodem, o.checksum);
  }

  SerialPlatform& p = SerialPlatform::System();
  const std::string port = o.port.toStdString();
  const int fd = p.Open(port);
  if (fd < 0) {
    Say(QString::fromStdString(SerialOpenFailureText(port)));
    return 2;
  }
  p.ApplyLine(fd, o.line);
  // No purge of the input: a receiver that started first has already asked
  // with 'C' or NAK, and throwing that away costs its whole retry wait.
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  std::signal(SIGPIPE, SIG_IGN);

  auto* receiver = dynamic_cast<XmodemReceiver*>(m.get());
  QString storeError;
  // Files are written as they complete, so a batch cut short keeps the ones done.
  auto store = [&]() {
    if (!receiver) return;
    for (XferFile& f : receiver->TakeFiles()) {
      const QString path = ymodem ? QDir(o.files[0]).filePath(QString::fromStdString(f.name)) : o.files[0];
      QFile out(path);
      if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
          out.write(reinterpret_cast<const char*>(f.data.data()), static_cast<qint64>(f.data.size())) !=
              static_cast<qint64>(f.data.size())) {
        storeError = QStringLiteral("无法写入文件 %1: %2").arg(path, out.errorString());
        m->Cancel();
        return;
      }
      Say(QStringLiteral("已接收 %1 (%2 字节)").arg(path).arg(f.data.size()));
    }
  };

  const bool showProgress = ::isatty(STDERR_FILENO) == 1;
  int64_t lastShown = 0;
  bool lineFailed = false;
  m->Start(NowMs());
  while (m->status() == XferMachine::Status::Running) {
    if (interrupted) m->Cancel();
    const auto out = m->TakeOutput();
    if (!out.empty() && !WriteOut(p, fd, out)) {
      lineFailed = true;
      break;
    }
    if (m->status() != XferMachine::Status::Running) break;
    pollfd r{fd, POLLIN, 0};
    const int64_t now = NowMs();
    const int wait = static_cast<int>(std::clamp<int64_t>(m->deadline() - now, 0, 50));
    ::poll(&r, 1, wait);
    uint8_t buf[4096];
    const long n = p.Read(fd, buf, sizeof buf);
    if (n > 0) m->Feed({buf, static_cast<size_t>(n)}, NowMs());
    if (r.revents & (POLLHUP | POLLERR) && n <= 0) {
      lineFailed = true;
      break;
    }
    m->Tick(NowMs());
    store();
    if (showProgress && NowMs() - lastShown > 250) {
      lastShown = NowMs();
      if (m->bytesTotal() > 0)
        std::fprintf(stderr, "\r%lld / %lld 字节", static_cast<long long>(m->bytesDone()), static_cast<long long>(m->bytesTotal()));
      else
        std::fprintf(stderr, "\r%lld 字节", static_cast<long long>(m->bytesDone()));
    }
  }
  // The last ACK or the CANs still have to reach the other side.
  const auto rest = m->TakeOutput();
  if (!lineFailed && !rest.empty()) WriteOut(p, fd, rest);
  p.Drain(fd, 2000);
  store();
  p.Close(fd);
  if (showProgress) std::fputs("\n", stderr);
  if (lineFailed) {
    Say(QStringLiteral("串口已断开，传输失败"));
    return 1;
  }
  if (!storeError.isEmpty()) {
    Say(storeError);
    return 1;
  }
  if (m->status() != XferMachine::Status::Done) {
    Say(m->cause());
    return 1;
  }
  Say(QStringLiteral("传输完成，%1 字节").arg(m->bytesDone()));
  return 0;
}
