#include "cli/Console.h"

#include <algorithm>

#include "cli/Porcelain.h"

namespace {

constexpr int kBarWidth = 30;
constexpr int kRedrawMs = 100;      // a terminal needs no more than ten frames a second
constexpr int kStatusChars = 60;    // keeps a status text on one line of a narrow terminal

void Put(FILE* f, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), f);
}

}  // namespace

Console::Console(FILE* out, FILE* err, bool errIsTerminal) : out_(out), err_(err), tty_(errIsTerminal) {
  sinceDraw_.start();
}

void Console::Erase() {
  if (!drawn_) return;
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  drawn_ = false;
}

void Console::Draw(const QString& text) {
  Put(err_, QStringLiteral("\r\033[K") + text);
  std::fflush(err_);
  drawn_ = true;
  bottom_ = text;
  sinceDraw_.restart();
}

void Console::Emit(const QByteArray& line) {
  std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out_);
  std::fflush(out_);
}

void Console::Result(const IspResult& result, int exitStatus) {
  if (!porcelain_) return;
  resultSent_ = true;
  Emit(PorcelainResult(result, exitStatus));
}

void Console::ResultIfNone(int exitStatus) {
  if (!porcelain_ || resultSent_) return;
  IspResult r = IspResult::Failure(lastLine_);
  r.ok = exitStatus == 0;
  r.usageError = exitStatus == 2;
  Result(r, exitStatus);
}

void Console::Line(const QString& text) {
  if (porcelain_) {
    lastLine_ = text;
    Emit(PorcelainLog(text));
    return;
  }
  // The line goes above whatever stands on the bottom line, which is then
  // drawn again below it.
  const bool redraw = drawn_;
  Erase();
  Put(out_, text + QLatin1Char('\n'));
  std::fflush(out_);
  if (redraw) Draw(bottom_);
}

void Console::Error(const QString& text) {
  if (porcelain_) {
    lastLine_ = text;
    Emit(PorcelainError(text));
    return;
  }
  const bool redraw = drawn_;
  Erase();
  Put(err_, QStringLiteral("vortana-isp: ") + text + QLatin1Char('\n'));
  std::fflush(err_);
  if (redraw) Draw(bottom_);
}

void Console::Status(const QString& text) {
  if (porcelain_) {
    // Ten a second at most: a download shows a status per block.
    if (text.trimmed().isEmpty() || (sinceDraw_.elapsed() < kRedrawMs && text != lastLine_)) return;
    sinceDraw_.restart();
    Emit(PorcelainStatus(text));
    return;
  }
  if (!tty_ || barActive_ || text.trimmed().isEmpty()) return;
  if (drawn_ && sinceDraw_.elapsed() < kRedrawMs) {
    bottom_ = text.left(kStatusChars);  // drawn with the next line or frame
    return;
  }
  Draw(text.left(kStatusChars));
}

void Console::Progress(const ProgressSample& s) {
  if (s.percent <= 0) return;
  if (porcelain_) {
    if (s.percent == lastPercent_ || (sinceDraw_.elapsed() < kRedrawMs && s.percent < 100)) return;
    lastPercent_ = s.percent;
    sinceDraw_.restart();
    Emit(PorcelainProgress(std::min(s.percent, 100), s.doneBytes, s.totalBytes));
    return;
  }
  if (!tty_) {
    const int tenth = std::min(s.percent, 100) / 10;
    if (tenth < lastTenth_) lastTenth_ = 0;  // a second pass (read-back) counts again
    if (tenth == lastTenth_ || tenth == 0) return;
    lastTenth_ = tenth;
    Put(err_, ProgressLineText(s) + QLatin1Char('\n'));
    std::fflush(err_);
    return;
  }
  barActive_ = true;
  // The rate and time left change between steps too; the last step is
  // always drawn.
  if (drawn_ && sinceDraw_.elapsed() < kRedrawMs && (s.percent < 100 || s.percent == lastPercent_)) return;
  lastPercent_ = s.percent;
  Draw(ProgressBarText(s, kBarWidth));
}

void Console::EndProgress() {
  if (porcelain_) {
    lastPercent_ = -1;
    return;
  }
  Erase();
  barActive_ = false;
  lastPercent_ = -1;
  lastTenth_ = -1;
  bottom_.clear();
}
