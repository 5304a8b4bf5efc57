// Opening a firmware file safely, shared by the three programmers' readers.
// A firmware is a regular file of bounded size: a device (/dev/zero), a FIFO
// or a directory named by mistake must be refused at once, before anything
// is read, or the window would block on it or run out of memory.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

enum class FirmwareFileStatus {
  Ok,
  Missing,     // no such file
  NotRegular,  // a device, FIFO, socket or directory
  TooLarge,    // larger than the reader's limit; nothing was read
  Unreadable,  // exists but cannot be opened or read whole
};

struct FirmwareFileRead {
  FirmwareFileStatus status = FirmwareFileStatus::Unreadable;
  int64_t size = 0;  // the file's size as stat saw it (also when too large)
  QByteArray bytes;  // the whole file when status is Ok
};

// Checks the file's type and size without opening it for reading (so a FIFO
// never blocks), then reads it whole. maxBytes < 0 means no limit.
FirmwareFileRead ReadFirmwareFile(const QString& path, int64_t maxBytes);

// Type check alone: Ok, Missing or NotRegular (size filled when Ok).
FirmwareFileRead CheckFirmwareFile(const QString& path);

// True for an Intel HEX name: the extension ".hex" in any letter case.
bool IsHexName(const QString& path);

// A short Chinese reason for a status other than Ok, naming the file.
QString FirmwareFileProblem(const QString& path, const FirmwareFileRead& r);
