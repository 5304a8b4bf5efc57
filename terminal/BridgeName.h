// Name of the bridge port that goes with a main port.
#pragma once

#include <QString>

// The main port's name with its trailing decimal number plus one, modulo 256:
// "ttyUSB0" -> "ttyUSB1", "COM3" -> "COM4", "COM255" -> "COM0",
// "/dev/pts/5" -> "/dev/pts/6". A name without a trailing number counts as
// number 1 and gets "2" appended ("ttyX" -> "ttyX2"). Leading zeros of the
// number are not kept ("ttyS09" -> "ttyS10").
QString BridgePortName(const QString& mainPortName);
