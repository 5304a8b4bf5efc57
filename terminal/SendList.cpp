#include "terminal/SendList.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "terminal/HexText.h"

std::vector<uint8_t> EntryBytes(const SendEntry& e, TextEncoding enc, LineEnding end, QString* error) {
  std::vector<uint8_t> payload;
  if (e.hex) {
    payload = HexDigitsToBytes(e.data);
    if (payload.empty()) {
      if (error) *error = QStringLiteral("“%1”没有十六进制数据").arg(e.name);
      return {};
    }
  } else {
    QString text = e.data;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), LineBreak(end));
    const QByteArray b = EncodeText(text, enc);
    payload.assign(b.begin(), b.end());
  }
  if (e.checksum == ChecksumKind::None) return payload;
  return AppendChecksum({e.checksum, e.littleEndian, e.skipHead, 0}, payload);
}

QString SendListToJson(const std::vector<SendEntry>& list, bool indented) {
  QJsonArray a;
  for (const SendEntry& e : list) {
    QJsonObject o;
    o["name"] = e.name;
    o["data"] = e.data;
    o["hex"] = e.hex;
    o["checksum"] = ChecksumKey(e.checksum);
    o["littleEndian"] = e.littleEndian;
    o["skipHead"] = e.skipHead;
    o["delayMs"] = e.delayMs;
    o["shortcut"] = e.shortcut;
    a.append(o);
  }
  return QString::fromUtf8(QJsonDocument(QJsonObject{{"sendList", a}}).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact));
}

bool SendListFromJson(const QString& json, std::vector<SendEntry>* list, QString* error) {
  QJsonParseError pe;
  const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &pe);
  if (pe.error != QJsonParseError::NoError || !doc.isObject() || !doc.object().value("sendList").isArray()) {
    *error = pe.error != QJsonParseError::NoError ? QStringLiteral("不是发送列表文件：%1").arg(pe.errorString())
                                                  : QStringLiteral("不是发送列表文件");
    return false;
  }
  std::vector<SendEntry> out;
  for (const QJsonValue& v : doc.object().value("sendList").toArray()) {
    if (!v.isObject()) continue;
    const QJsonObject o = v.toObject();
    SendEntry e;
    e.name = o.value("name").toString();
    e.data = o.value("data").toString();
    e.hex = o.value("hex").toBool(true);
    ChecksumKind k = ChecksumKind::None;
    if (ChecksumFromKey(o.value("checksum").toString(), &k)) e.checksum = k;
    e.littleEndian = o.value("littleEndian").toBool(false);
    e.skipHead = std::clamp(o.value("skipHead").toInt(0), 0, 64);
    // A wait of zero would make a repeated sequence spin the window.
    e.delayMs = std::clamp(o.value("delayMs").toInt(100), 1, 3600000);
    e.shortcut = o.value("shortcut").toString();
    out.push_back(e);
  }
  *list = std::move(out);
  return true;
}
