// Frame checksums: the CRCs and sums firmware commonly appends to a frame,
// where they sit in it, and whether a received frame carries the right one.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

enum class ChecksumKind { None, Crc16Modbus, Crc16CcittFalse, Crc16Xmodem, Crc32, Crc8, Sum8, Xor8 };

// Every kind, in the order lists offer them.
inline constexpr ChecksumKind kChecksumKinds[] = {
    ChecksumKind::None,  ChecksumKind::Crc16Modbus, ChecksumKind::Crc16CcittFalse, ChecksumKind::Crc16Xmodem,
    ChecksumKind::Crc32, ChecksumKind::Crc8,        ChecksumKind::Sum8,            ChecksumKind::Xor8};

// Bytes the checksum occupies in a frame (0 for None).
int ChecksumWidth(ChecksumKind kind);
// "CRC-16/MODBUS", "8 位累加和", ...
QString ChecksumName(ChecksumKind kind);
// Short names for settings and the command line: "modbus", "ccitt", "xmodem",
// "crc32", "crc8", "sum8", "xor", "none". Unknown names give false.
QString ChecksumKey(ChecksumKind kind);
bool ChecksumFromKey(const QString& key, ChecksumKind* kind);

uint32_t ComputeChecksum(ChecksumKind kind, std::span<const uint8_t> bytes);

// The checksum as it is written into a frame. Little-endian puts the low byte
// first, as Modbus does.
std::vector<uint8_t> ChecksumBytes(ChecksumKind kind, uint32_t value, bool littleEndian);

// Where a frame's checksum sits: after the covered bytes, followed by `tail`
// bytes it does not cover (a terminator, say); the covered bytes start after
// `skipHead` bytes (a start mark, say).
struct ChecksumPlace {
  ChecksumKind kind = ChecksumKind::None;
  bool littleEndian = false;
  int skipHead = 0;
  int tail = 0;
};

enum class ChecksumVerdict { None, Good, Bad, TooShort };

ChecksumVerdict CheckFrame(const ChecksumPlace& place, std::span<const uint8_t> frame);

// `payload` with its checksum appended (the covered range starts at skipHead;
// tail is not used here).
std::vector<uint8_t> AppendChecksum(const ChecksumPlace& place, std::span<const uint8_t> payload);
