#include "isp/ResetSequence.h"

#include <QStringList>

namespace {

bool ParseSteps(const QString& text, ResetSequence& seq, std::vector<ResetStep>& out, QString* error) {
  auto fail = [error](const QString& why) {
    if (error) *error = why;
    return false;
  };
  const QStringList tokens = text.split(QLatin1Char(','));
  for (const QString& raw : tokens) {
    const QString t = raw.trimmed().toLower();
    if (t.isEmpty()) return fail(QStringLiteral("empty step in '%1'").arg(text.trimmed()));
    bool number = false;
    const int ms = t.toInt(&number, 10);
    if (number) {
      if (ms < 0 || ms > ResetSequence::kMaxPauseMs)
        return fail(QStringLiteral("pause '%1' is not 0 ... %2 ms").arg(t).arg(ResetSequence::kMaxPauseMs));
      out.push_back({ResetStep::Kind::Pause, false, ms});
      continue;
    }
    const QChar sign = t.front();
    const QString line = (sign == QLatin1Char('-') || sign == QLatin1Char('+') || sign == QLatin1Char('~')) ? t.mid(1) : t;
    ResetStep::Kind kind;
    if (line == QLatin1String("dtr")) kind = ResetStep::Kind::Dtr;
    else if (line == QLatin1String("rts")) kind = ResetStep::Kind::Rts;
    else return fail(QStringLiteral("unknown step '%1' (dtr, -dtr, rts, -rts, ~dtr, ~rts or a pause in ms)").arg(raw.trimmed()));
    if (sign == QLatin1Char('~')) {
      (kind == ResetStep::Kind::Dtr ? seq.invertDtr : seq.invertRts) = true;
      continue;
    }
    out.push_back({kind, sign != QLatin1Char('-'), 0});
  }
  return true;
}

QString StepsText(const std::vector<ResetStep>& steps) {
  QStringList parts;
  for (const ResetStep& s : steps) {
    if (s.kind == ResetStep::Kind::Pause) parts << QString::number(s.ms);
    else parts << QString::fromLatin1(s.on ? "" : "-") + QString::fromLatin1(s.kind == ResetStep::Kind::Dtr ? "dtr" : "rts");
  }
  return parts.join(QLatin1Char(','));
}

ResetStep Dtr(bool on) { return {ResetStep::Kind::Dtr, on, 0}; }
ResetStep Rts(bool on) { return {ResetStep::Kind::Rts, on, 0}; }
ResetStep Wait(int ms) { return {ResetStep::Kind::Pause, false, ms}; }

}  // namespace

std::optional<ResetSequence> ResetSequence::Parse(const QString& text, QString* error) {
  ResetSequence seq;
  const QStringList halves = text.split(QLatin1Char('/'));
  if (halves.size() > 2) {
    if (error) *error = QStringLiteral("a reset sequence has one '/' at most (entry/exit)");
    return std::nullopt;
  }
  if (!ParseSteps(halves[0], seq, seq.entry, error)) return std::nullopt;
  if (halves.size() == 2 && !ParseSteps(halves[1], seq, seq.exit, error)) return std::nullopt;
  // Inversions alone drive nothing: the adapter would never see a change.
  if (seq.entry.empty()) {
    if (error) *error = QStringLiteral("the reset sequence '%1' changes no line").arg(text.trimmed());
    return std::nullopt;
  }
  return seq;
}

QString ResetSequence::Text() const {
  QString out;
  if (invertDtr) out += QStringLiteral("~dtr,");
  if (invertRts) out += QStringLiteral("~rts,");
  out += StepsText(entry);
  if (!exit.empty()) out += QLatin1Char('/') + StepsText(exit);
  return out;
}

void RunResetSteps(const ResetSequence& seq, const std::vector<ResetStep>& steps, const ModemLineDriver& lines) {
  for (const ResetStep& s : steps) {
    switch (s.kind) {
      case ResetStep::Kind::Dtr: lines.setDtr(s.on != seq.invertDtr); break;
      case ResetStep::Kind::Rts: lines.setRts(s.on != seq.invertRts); break;
      case ResetStep::Kind::Pause: lines.pause(s.ms); break;
    }
  }
}

namespace ResetPresets {

ResetSequence Stm32() {
  ResetSequence s;
  s.entry = {Dtr(true), Rts(true), Wait(500), Dtr(false), Wait(100)};
  s.exit = {Rts(false), Dtr(true), Wait(500), Dtr(false)};
  return s;
}

ResetSequence Stm32Mode2() {
  ResetSequence s;
  s.entry = {Rts(true), Wait(100), Dtr(true), Wait(100)};
  s.exit = {Dtr(false), Wait(100), Rts(false)};
  return s;
}

ResetSequence Lpc() {
  ResetSequence s;
  s.entry = {Rts(true), Wait(50), Dtr(true), Wait(300), Dtr(false)};
  return s;
}

ResetSequence Stc(int ms) {
  ResetSequence s;
  s.entry = {Rts(true), Wait(ms < 0 ? 0 : ms), Rts(false)};
  return s;
}

}  // namespace ResetPresets
