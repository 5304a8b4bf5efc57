// The per-user stand-in for the machine-wide settings key "Software\Vortana":
// a small typed key-value file, one value per line in registry-export style:
//   "Port"=dword:00000003
//   "FileName"="/home/me/fw/blink.hex"
// The key exists when the file exists. Writing replaces the file atomically.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

class SettingsStore {
 public:
  using Value = std::variant<uint32_t, QString>;

  // <config home>/Vortana/Software/Vortana.reg, where <config home> is
  // $VORTANA_CONFIG_HOME, else $XDG_CONFIG_HOME, else ~/.config.
  static QString KeyFilePath();

  explicit SettingsStore(QString path = KeyFilePath());

  bool KeyExists() const;
  // Creates the folders and an empty file; false when that is impossible.
  bool CreateKey();
  // Reads the file; false when it cannot be read (then nothing is held).
  bool Open();

  // nullopt when the value is missing or not stored as a 32-bit integer.
  std::optional<int32_t> ReadInteger(const QString& name) const;
  std::optional<bool> ReadBool(const QString& name) const;
  // Missing text reads as empty text; nullopt when stored as another type.
  std::optional<QString> ReadString(const QString& name) const;
  bool HasValue(const QString& name) const;

  void WriteInteger(const QString& name, int32_t value);
  void WriteBool(const QString& name, bool value);
  void WriteString(const QString& name, const QString& value);
  // Writes the values in the order they were written, then any others that
  // were read and not written again. False when the file cannot be written.
  bool Save();

  // Text form of one file; exposed for tests.
  static QString Escape(const QString& text);
  static std::optional<std::pair<QString, Value>> ParseLine(const QString& line);

 private:
  const Value* Find(const QString& name) const;
  QString path_;
  std::vector<std::pair<QString, Value>> values_;
  std::vector<QString> written_;
};
