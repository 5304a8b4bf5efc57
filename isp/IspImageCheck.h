// The firmware a job names, read and judged once by the one HEX reader
// before any port is touched: a file that cannot be sent must not cost a
// reset pulse or a byte on the line. The session reads it again against
// the part it finds; this is the check that needs no part.
#pragma once

#include <QFileInfo>
#include <QString>

#include <cstdint>

#include "firmware/FirmwareFile.h"
#include "firmware/HexFault.h"
#include "firmware/IntelHex.h"

// The one-line cause, or empty when the file can be sent. `addressLimit`:
// no data at or above it (the family's largest image).
inline QString IspImageProblem(const QString& path, uint64_t addressLimit = uint64_t{1} << 32) {
  const bool hex = IsHexName(path);
  const FirmwareFileRead file = ReadFirmwareFile(path, hex ? ihex::kMaxFileBytes : 64ll * 1024 * 1024);
  if (file.status != FirmwareFileStatus::Ok) return FirmwareFileProblem(path, file);
  if (!hex) return {};
  const ihex::Result r = ihex::Read(file.bytes.constData(), static_cast<size_t>(file.bytes.size()), addressLimit);
  if (!r.Ok()) return HexFaultText(r, QFileInfo(path).fileName(), addressLimit);
  return {};
}
