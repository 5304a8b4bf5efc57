#include "firmware/FileTime.h"

#include <sys/stat.h>

namespace {
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
}  // namespace

QDateTime FileTimeToLocalDateTime(uint64_t fileTime) {
  const int64_t ms = (static_cast<int64_t>(fileTime) - static_cast<int64_t>(kUnixEpochAsFileTime)) / 10000;
  return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toLocalTime();
}

QDateTime GetFileWriteTime(const QString& path) {
  struct stat st {};
  if (::stat(path.toLocal8Bit().constData(), &st) != 0) return QDateTime();
  const uint64_t ticks = kUnixEpochAsFileTime + static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ULL +
                         static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  return FileTimeToLocalDateTime(ticks);
}
