#include "firmware/FirmwareFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <QFileInfo>

FirmwareFileRead CheckFirmwareFile(const QString& path) {
  FirmwareFileRead r;
  struct stat st{};
  const QByteArray native = path.toLocal8Bit();
  if (path.isEmpty() || ::stat(native.constData(), &st) != 0) {
    r.status = (errno == ENOENT || errno == ENOTDIR || path.isEmpty()) ? FirmwareFileStatus::Missing
                                                                      : FirmwareFileStatus::Unreadable;
    return r;
  }
  if (!S_ISREG(st.st_mode)) {
    r.status = FirmwareFileStatus::NotRegular;
    return r;
  }
  r.size = st.st_size;
  r.status = FirmwareFileStatus::Ok;
  return r;
}

FirmwareFileRead ReadFirmwareFile(const QString& path, int64_t maxBytes) {
  FirmwareFileRead r = CheckFirmwareFile(path);
  if (r.status != FirmwareFileStatus::Ok) return r;
  if (maxBytes >= 0 && r.size > maxBytes) {
    r.status = FirmwareFileStatus::TooLarge;
    return r;
  }
  // O_NONBLOCK: should the name be swapped for a FIFO between the check and
  // the open, the open still returns at once; fstat then refuses it.
  const QByteArray native = path.toLocal8Bit();
  int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    r.status = errno == ENOENT ? FirmwareFileStatus::Missing : FirmwareFileStatus::Unreadable;
    return r;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    r.status = FirmwareFileStatus::NotRegular;
    return r;
  }
  r.size = st.st_size;
  if (maxBytes >= 0 && r.size > maxBytes) {
    ::close(fd);
    r.status = FirmwareFileStatus::TooLarge;
    return r;
  }
  r.bytes.resize(static_cast<qsizetype>(r.size));
  int64_t got = 0;
  while (got < r.size) {
    const ssize_t n = ::read(fd, r.bytes.data() + got, static_cast<size_t>(r.size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the file shrank while being read
    got += n;
  }
  ::close(fd);
  if (got != r.size) {
    r.bytes.clear();
    r.status = FirmwareFileStatus::Unreadable;
    return r;
  }
  r.status = FirmwareFileStatus::Ok;
  return r;
}

bool IsHexName(const QString& path) {
  return QFileInfo(path).suffix().compare(QLatin1String("hex"), Qt::CaseInsensitive) == 0 &&
         QFileInfo(path).fileName().contains(QLatin1Char('.'));
}

QString FirmwareFileProblem(const QString& path, const FirmwareFileRead& r) {
  switch (r.status) {
    case FirmwareFileStatus::Ok:
      return {};
    case FirmwareFileStatus::Missing:
      return QStringLiteral("文件不存在: %1").arg(path);
    case FirmwareFileStatus::NotRegular:
      return QStringLiteral("不是普通文件: %1").arg(path);
    case FirmwareFileStatus::TooLarge:
      return QStringLiteral("文件太大: %1 (%2 Byte)").arg(path).arg(r.size);
    case FirmwareFileStatus::Unreadable:
      break;
  }
  return QStringLiteral("文件无法读取: %1").arg(path);
}
