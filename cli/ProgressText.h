// The texts of the download progress on standard error: a bar redrawn in
// place on a terminal, plain lines in a log. Pure formatting, so the
// arithmetic (rate, time left, rounding) is tested on its own.
#pragma once

#include <QString>

#include <cstdint>

struct ProgressSample {
  int percent = 0;          // 0 ... 100
  int64_t doneBytes = 0;
  int64_t totalBytes = 0;   // 0: unknown
  double bytesPerSecond = 0;  // 0: not measured yet
};

// "[##########----------]  50%  12.0/24.0 KB  5.1 KB/s  0:03 left"
QString ProgressBarText(const ProgressSample& s, int barWidth);
// "50%  12288/24576 bytes  5.1 KB/s  0:03 left"
QString ProgressLineText(const ProgressSample& s);

// "812 B/s", "5.1 KB/s", "1.2 MB/s"; "--" when not measured.
QString RateText(double bytesPerSecond);
// "0:03", "12:05", "1:02:03"; "--:--" when it cannot be estimated.
QString TimeLeftText(const ProgressSample& s);
