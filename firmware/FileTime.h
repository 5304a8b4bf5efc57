// Last-write time of a file, for noticing that the firmware file changed.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>

// The caller has checked that the file exists; an unreadable entry gives an
// invalid QDateTime.
QDateTime GetFileWriteTime(const QString& path);

// A UTC file time in 100 ns units since 1601-01-01, as local date-time.
QDateTime FileTimeToLocalDateTime(uint64_t fileTime);
