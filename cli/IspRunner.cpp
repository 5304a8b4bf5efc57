#include "cli/IspRunner.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/BoardRecord.h"
#include "cli/Signals.h"
#include "firmware/FirmwareFile.h"
#include "firmware/ImageFile.h"
#include "isp/IspImageCheck.h"
#include "isp/lpc/LPC.h"
#include "isp/stc/STC.h"
#include "isp/stm32/Stm32Engine.h"

namespace {

constexpr int kWatchPollMs = 250;

}  // namespace

FileStamp StampOf(const QString& path) {
  FileStamp s;
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return s;
  s.exists = true;
  s.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  s.size = st.st_size;
  s.inode = st.st_ino;
  return s;
}

IspRunner::IspRunner(const CliOptions& options, Console& console)
    : options_(options), console_(console), host_(options, console) {
  switch (options_.family) {
    case IspFamily::Stm32:
      stm32_ = std::make_unique<Stm32Engine>(host_);
      engine_ = stm32_.get();
      break;
    case IspFamily::Lpc:
      lpc_ = std::make_unique<TLPCFrm>(host_);
      host_.ImageBytes = [this] { return static_cast<int64_t>(lpc_->LpcImage.size()); };
      engine_ = lpc_.get();
      break;
    case IspFamily::Stc:
      stc_ = std::make_unique<TSTCFrm>(host_);
      host_.ImageBytes = [this] { return static_cast<int64_t>(stc_->StcImage.size()); };
      engine_ = stc_.get();
      break;
  }
  host_.OnSessionEnded = [this] {
    // The engine may still be on its way out; look at the outcome once it
    // has returned.
    if (endPending_) return;
    endPending_ = true;
    QTimer::singleShot(0, this, &IspRunner::SessionEnded);
  };
  watchTimer_.setInterval(kWatchPollMs);
  connect(&watchTimer_, &QTimer::timeout, this, &IspRunner::PollFile);
}

IspRunner::~IspRunner() {
  // The engines hold the host; they go first.
  stc_.reset();
  lpc_.reset();
  stm32_.reset();
}

int IspRunner::Exec() {
  const int signalFd = SignalPipe(true);
  if (signalFd >= 0) {
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    connect(signalNotifier_.get(), &QSocketNotifier::activated, this, &IspRunner::Interrupted);
  }
  if (!engine_->Supports(options_.job.kind)) {
    console_.Error(QStringLiteral("%1 parts cannot do this job (%2)")
                       .arg(FamilyFacts(options_.family).Name(), IspJobName(options_.job.kind)));
    return kExitUsage;
  }
  const bool takesFile = options_.job.kind == IspJobKind::Download || options_.job.kind == IspJobKind::Verify;
  if (options_.job.kind == IspJobKind::Read) {
    // A whole part is read before anything is written: find out first.
    QString why;
    if (!CanWriteImageFile(options_.job.file, &why)) {
      console_.Line(why);
      return kExitUsage;
    }
  }
  if (!takesFile) {
    QTimer::singleShot(0, this, &IspRunner::StartSession);
    return QCoreApplication::exec();
  }
  // A file that is not there at all is most likely a typing error, even
  // when watching; anything else about it can be mended while we wait.
  const FirmwareFileRead file = CheckFirmwareFile(host_.FirmwareFileName());
  if (file.status == FirmwareFileStatus::Missing) {
    console_.Line(FirmwareFileProblem(options_.file, file));
    return kExitUsage;
  }
  if (options_.watch) {
    console_.Error(QStringLiteral("watching %1; Ctrl-C ends").arg(options_.file));
    watchTimer_.start();
  }
  QTimer::singleShot(0, this, &IspRunner::StartDownload);
  return QCoreApplication::exec();
}

IspRunner::Check IspRunner::CheckFile() {
  // A device or a FIFO would block the read, or never end.
  const FirmwareFileRead file = CheckFirmwareFile(host_.FirmwareFileName());
  if (file.status != FirmwareFileStatus::Ok) {
    console_.Line(FirmwareFileProblem(options_.file, file));
    return file.status == FirmwareFileStatus::Missing ? Check::Missing : Check::Refused;
  }
  // The one reader, before anything goes to the port. The limits that
  // depend on the part are the session's; it reads the image again against
  // the part it finds.
  const QString problem =
      IspImageProblem(options_.file, FamilyFacts(options_.family).imageLimit);
  if (!problem.isEmpty()) {
    console_.Line(problem);
    return Check::Refused;
  }
  if (options_.serialStart && options_.serialAddress) {
    const QString why =
        SerialPlacementProblem(stm32_ != nullptr, host_.FirmwareFileName(), *options_.serialAddress,
                               static_cast<uint32_t>(SerialNumberBytes(*options_.serialStart, options_.serialFormat).size()));
    if (!why.isEmpty()) {
      console_.Line(why);
      return Check::Refused;
    }
  }
  return Check::Good;
}

void IspRunner::StartDownload() {
  if (running_) return;
  tried_ = seen_ = StampOf(host_.FirmwareFileName());
  switch (CheckFile()) {
    case Check::Good:
      break;
    case Check::Missing:
    case Check::Refused:
      status_ = kExitUsage;
      if (!options_.watch) Finish(status_);
      return;
  }

  StartSession();
}

void IspRunner::StartSession() {
  running_ = true;
  host_.BeginSession();
  IspJob job = host_.FillJob(options_.job);
  job.failFast = true;  // a board that said no holds no station
  if (options_.reset == ResetWiring::Custom) job.reset = options_.resetSequence;
  if (job.kind == IspJobKind::Download || job.kind == IspJobKind::Verify) job.file = host_.FirmwareFileName();
  // A board of a production run: its record names the chip.
  job.readUniqueId = options_.porcelain;
  if (options_.serialStart && options_.serialAddress)
    job.patches.push_back({*options_.serialAddress, SerialNumberBytes(*options_.serialStart, options_.serialFormat)});
  if (stc_) ++stcDepth_;
  engine_->Start(job);
  if (stc_) --stcDepth_;
  // Neither a result nor the button taken: nothing will come.
  if (!host_.HasResult() && !host_.Started()) SessionEnded();
}

void IspRunner::ReleasePort() {
  if (engine_ && engine_->Busy()) engine_->Abort();
  if (stc_) {
    stc_->SeekTimer.stop();
    stc_->ComPort1.ClosePort();
  }
  // An LPC run that lost its file leaves the port open for the next click;
  // here nobody clicks, and another program may want the port.
  host_.ComPort_Close();
}

void IspRunner::SessionEnded() {
  endPending_ = false;
  if (!running_) return;
  running_ = false;
  ReleasePort();
  console_.EndProgress();
  if (host_.HasResult()) {
    const IspResult& r = host_.Result();
    // The reason is the last line, whatever the engine printed before it.
    if (!r.cause.isEmpty() && r.cause != host_.LastLine()) console_.Line(r.cause);
    status_ = r.ok ? kExitInChip : r.usageError ? kExitUsage : kExitFailed;
    console_.Result(r, status_);
  } else {
    status_ = host_.Succeeded() ? kExitInChip : kExitFailed;
  }
  if (!options_.watch) Finish(status_);
}

void IspRunner::Finish(int status) {
  console_.ResultIfNone(status);
  QCoreApplication::exit(status);
}

void IspRunner::PollFile() {
  if (running_) return;
  const FileStamp now = StampOf(host_.FirmwareFileName());
  // Start only on a stamp that held still for one poll: a build that is
  // still writing the file gets the chance to finish.
  if (!now.exists || now == tried_ || now != seen_) {
    seen_ = now;
    return;
  }
  StartDownload();
}

void IspRunner::Interrupted() {
  DrainSignalPipe();
  watchTimer_.stop();
  if (running_) {
    running_ = false;
    ReleasePort();
    console_.EndProgress();
    console_.Error(QStringLiteral("interrupted; the port is released"));
    // The cause ends standard output too, not the step that was under way.
    console_.Line(QStringLiteral("操作被中断 (%1)，端口已释放").arg(QLatin1String(LastSignalName())));
    status_ = kExitFailed;
    if (stcDepth_ > 0) {
      // The STC session runs its own loop and would only give up after its
      // time-out; the port is closed, so leave from here.
      std::fflush(stdout);
      std::exit(status_);
    }
  }
  Finish(status_);
}
