// Writing what was read out of a part to a file: Intel HEX when the name
// ends in ".hex" (any letter case), raw binary otherwise. The file appears
// whole or not at all (written beside it, then renamed), so a read that
// fails half way never leaves a file that looks like a good one.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

// Intel HEX text of `bytes` placed from `address`: extended linear address
// records wherever the upper 16 bits change, 16-byte data records, the end
// record.
QByteArray EncodeIntelHex(const QByteArray& bytes, uint32_t address);

// Writes the file; returns an empty string, or why it could not (Chinese,
// naming the file).
QString WriteFirmwareFile(const QString& path, const QByteArray& bytes, uint32_t address);
