#include "cli/Porcelain.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

QByteArray Line(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n'; }

}  // namespace

QByteArray PorcelainLog(const QString& text) { return Line({{QStringLiteral("log"), text}}); }
QByteArray PorcelainStatus(const QString& text) { return Line({{QStringLiteral("status"), text}}); }
QByteArray PorcelainError(const QString& text) { return Line({{QStringLiteral("error"), text}}); }

QByteArray PorcelainProgress(int percent, int64_t done, int64_t total) {
  return Line({{QStringLiteral("progress"), percent},
               {QStringLiteral("done"), static_cast<double>(done)},
               {QStringLiteral("total"), static_cast<double>(total)}});
}

QByteArray PorcelainResult(const IspResult& r, int exitStatus) {
  QJsonObject o{{QStringLiteral("ok"), r.ok},
                {QStringLiteral("cause"), r.cause},
                {QStringLiteral("step"), r.step},
                {QStringLiteral("command"), r.command},
                {QStringLiteral("code"), r.code},
                {QStringLiteral("usage"), r.usageError},
                {QStringLiteral("answered"), r.partAnswered},
                {QStringLiteral("part"), r.partName},
                {QStringLiteral("partId"), r.partId},
                {QStringLiteral("uid"), r.uniqueId},
                {QStringLiteral("exit"), exitStatus}};
  return Line({{QStringLiteral("result"), o}});
}

PorcelainEvent ParsePorcelainLine(const QByteArray& line) {
  PorcelainEvent e;
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(line, &err);
  if (err.error != QJsonParseError::NoError || !doc.isObject()) {
    e.text = QString::fromUtf8(line);
    return e;
  }
  const QJsonObject o = doc.object();
  if (o.contains(QStringLiteral("log"))) {
    e.kind = PorcelainEvent::Kind::Log;
    e.text = o.value(QStringLiteral("log")).toString();
  } else if (o.contains(QStringLiteral("status"))) {
    e.kind = PorcelainEvent::Kind::Status;
    e.text = o.value(QStringLiteral("status")).toString();
  } else if (o.contains(QStringLiteral("error"))) {
    e.kind = PorcelainEvent::Kind::Error;
    e.text = o.value(QStringLiteral("error")).toString();
  } else if (o.contains(QStringLiteral("progress"))) {
    e.kind = PorcelainEvent::Kind::Progress;
    e.percent = o.value(QStringLiteral("progress")).toInt();
    e.done = static_cast<int64_t>(o.value(QStringLiteral("done")).toDouble());
    e.total = static_cast<int64_t>(o.value(QStringLiteral("total")).toDouble());
  } else if (o.value(QStringLiteral("result")).isObject()) {
    const QJsonObject r = o.value(QStringLiteral("result")).toObject();
    e.kind = PorcelainEvent::Kind::Result;
    e.result.ok = r.value(QStringLiteral("ok")).toBool();
    e.result.cause = r.value(QStringLiteral("cause")).toString();
    e.result.step = r.value(QStringLiteral("step")).toString();
    e.result.command = r.value(QStringLiteral("command")).toString();
    e.result.code = r.value(QStringLiteral("code")).toInt(-1);
    e.result.usageError = r.value(QStringLiteral("usage")).toBool();
    e.result.partAnswered = r.value(QStringLiteral("answered")).toBool();
    e.result.partName = r.value(QStringLiteral("part")).toString();
    e.result.partId = r.value(QStringLiteral("partId")).toString();
    e.result.uniqueId = r.value(QStringLiteral("uid")).toString();
    e.exitStatus = r.value(QStringLiteral("exit")).toInt(1);
  } else {
    e.text = QString::fromUtf8(line);
  }
  return e;
}
