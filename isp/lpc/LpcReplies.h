// Reading what an LPC boot loader sends: plain functions of the bytes, so
// that they can be tested and fuzzed without a port.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

// Whether the start of "Synchronized" is on its way at the end of `text`.
bool LpcSyncReplyArriving(const QByteArray& text);
// One uuencoded line back to its bytes (at most what its length character says).
std::vector<uint8_t> LpcUudecode(const QByteArray& line);
// The return code a reply line holds (0 ... 999), -1 when it is none.
int LpcReturnCode(const QByteArray& line);
