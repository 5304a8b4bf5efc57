// The words for a HEX file the reader refused: one text per fault, the same
// in the window and on the command line, whichever family the file is for.
#pragma once

#include <QString>

#include "firmware/IntelHex.h"

// `fileName` is named where the fault has no line; `limit` is the address
// limit the file was read with (AboveLimit names it).
QString HexFaultText(ihex::Fault fault, int line, int type, const QString& fileName, uint64_t limit);
inline QString HexFaultText(const ihex::Result& r, const QString& fileName, uint64_t limit) {
  return HexFaultText(r.fault, r.line, r.type, fileName, limit);
}
