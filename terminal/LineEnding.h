// The line break the send area puts on the wire: its own line breaks and the
// one "发送新行" appends. CR LF is what the terminal always sent.
#pragma once

#include <QString>

enum class LineEnding { CrLf = 0, Lf = 1, Cr = 2 };

inline QString LineBreak(LineEnding e) {
  switch (e) {
    case LineEnding::Lf: return QStringLiteral("\n");
    case LineEnding::Cr: return QStringLiteral("\r");
    default: return QStringLiteral("\r\n");
  }
}

// `text` holds its line breaks as CR LF (as the send area gives it); each
// becomes the chosen break.
inline QString WithLineBreaks(const QString& text, LineEnding e) {
  if (e == LineEnding::CrLf) return text;
  QString out = text;
  out.replace(QStringLiteral("\r\n"), LineBreak(e));
  return out;
}
