#include "platform/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringConverter>
#include <QTextStream>

#include <algorithm>

QString SettingsStore::KeyFilePath() {
  QString home = qEnvironmentVariable("VORTANA_CONFIG_HOME");
  if (home.isEmpty()) home = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.config");
  return home + QStringLiteral("/Vortana/Software/Vortana.reg");
}

SettingsStore::SettingsStore(QString path) : path_(std::move(path)) {}

bool SettingsStore::KeyExists() const { return QFileInfo(path_).isFile(); }

bool SettingsStore::CreateKey() {
  if (KeyExists()) return true;
  if (!QDir().mkpath(QFileInfo(path_).absolutePath())) return false;
  QFile f(path_);
  if (!f.open(QIODevice::WriteOnly)) return false;
  return true;
}

QString SettingsStore::Escape(const QString& text) {
  QString out;
  out.reserve(text.size() + 8);
  for (QChar c : text) {
    switch (c.unicode()) {
      case '\\': out += QStringLiteral("\\\\"); break;
      case '"': out += QStringLiteral("\\\""); break;
      case '\r': out += QStringLiteral("\\r"); break;
      case '\n': out += QStringLiteral("\\n"); break;
      case '\t': out += QStringLiteral("\\t"); break;
      default: out += c;
    }
  }
  return out;
}

// Reads a quoted string starting at `pos` (on the opening quote); returns the
// position after the closing quote, or -1 when it is not a complete string.
static qsizetype ReadQuoted(const QString& line, qsizetype pos, QString* out) {
  if (pos >= line.size() || line[pos] != u'"') return -1;
  ++pos;
  out->clear();
  while (pos < line.size()) {
    QChar c = line[pos];
    if (c == u'"') return pos + 1;
    if (c == u'\\') {
      if (pos + 1 >= line.size()) return -1;
      QChar e = line[pos + 1];
      switch (e.unicode()) {
        case '\\': *out += u'\\'; break;
        case '"': *out += u'"'; break;
        case 'r': *out += u'\r'; break;
        case 'n': *out += u'\n'; break;
        case 't': *out += u'\t'; break;
        default:
          // Not an escape ("C:\fw\blink.hex" typed by hand): the
          // backslash stays as it stands.
          *out += u'\\';
          pos += 1;
          continue;
      }
      pos += 2;
      continue;
    }
    *out += c;
    ++pos;
  }
  return -1;
}

std::optional<std::pair<QString, SettingsStore::Value>> SettingsStore::ParseLine(const QString& line) {
  QString name;
  qsizetype pos = ReadQuoted(line, 0, &name);
  if (pos < 0 || pos >= line.size() || line[pos] != u'=') return std::nullopt;
  ++pos;
  const QString rest = line.mid(pos);
  if (rest.startsWith(u'"')) {
    QString text;
    qsizetype end = ReadQuoted(rest, 0, &text);
    if (end != rest.size()) return std::nullopt;
    return std::make_pair(name, Value(text));
  }
  static const QString kDword = QStringLiteral("dword:");
  if (rest.startsWith(kDword) && rest.size() == kDword.size() + 8) {
    bool ok = false;
    uint32_t v = rest.mid(kDword.size()).toUInt(&ok, 16);
    if (!ok) return std::nullopt;
    return std::make_pair(name, Value(v));
  }
  return std::nullopt;
}

bool SettingsStore::Open() {
  values_.clear();
  written_.clear();
  QFile f(path_);
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QString text = QString::fromUtf8(f.readAll());
  for (QString line : text.split(u'\n')) {
    if (line.endsWith(u'\r')) line.chop(1);
    auto parsed = ParseLine(line);
    if (!parsed) continue;  // a line that does not parse is ignored
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const auto& v) { return v.first == parsed->first; });
    if (it != values_.end()) it->second = parsed->second;
    else values_.push_back(*parsed);
  }
  return true;
}

const SettingsStore::Value* SettingsStore::Find(const QString& name) const {
  for (const auto& v : values_)
    if (v.first == name) return &v.second;
  return nullptr;
}

bool SettingsStore::HasValue(const QString& name) const { return Find(name) != nullptr; }

std::optional<int32_t> SettingsStore::ReadInteger(const QString& name) const {
  const Value* v = Find(name);
  if (!v || !std::holds_alternative<uint32_t>(*v)) return std::nullopt;
  return static_cast<int32_t>(std::get<uint32_t>(*v));
}

std::optional<bool> SettingsStore::ReadBool(const QString& name) const {
  auto v = ReadInteger(name);
  if (!v) return std::nullopt;
  return *v != 0;
}

std::optional<QString> SettingsStore::ReadString(const QString& name) const {
  const Value* v = Find(name);
  if (!v) return QString();
  if (!std::holds_alternative<QString>(*v)) return std::nullopt;
  return std::get<QString>(*v);
}

void SettingsStore::WriteInteger(const QString& name, int32_t value) {
  auto it = std::find_if(values_.begin(), values_.end(), [&](const auto& v) { return v.first == name; });
  if (it != values_.end()) it->second = static_cast<uint32_t>(value);
  else values_.emplace_back(name, static_cast<uint32_t>(value));
  written_.erase(std::remove(written_.begin(), written_.end(), name), written_.end());
  written_.push_back(name);
}

void SettingsStore::WriteBool(const QString& name, bool value) { WriteInteger(name, value ? 1 : 0); }

void SettingsStore::WriteString(const QString& name, const QString& value) {
  auto it = std::find_if(values_.begin(), values_.end(), [&](const auto& v) { return v.first == name; });
  if (it != values_.end()) it->second = value;
  else values_.emplace_back(name, value);
  written_.erase(std::remove(written_.begin(), written_.end(), name), written_.end());
  written_.push_back(name);
}

bool SettingsStore::Save() {
  QString out;
  auto put = [&](const QString& name, const Value& v) {
    out += u'"' + Escape(name) + QStringLiteral("\"=");
    if (std::holds_alternative<uint32_t>(v))
      out += QStringLiteral("dword:%1").arg(std::get<uint32_t>(v), 8, 16, QChar(u'0'));
    else
      out += u'"' + Escape(std::get<QString>(v)) + u'"';
    out += u'\n';
  };
  for (const QString& name : written_) put(name, *Find(name));
  for (const auto& v : values_)
    if (std::find(written_.begin(), written_.end(), v.first) == written_.end()) put(v.first, v.second);
  // Same folder, then rename: a crash never leaves half a file.
  QSaveFile f(path_);
  if (!f.open(QIODevice::WriteOnly)) return false;
  f.write(out.toUtf8());
  return f.commit();
}
