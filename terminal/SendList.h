// The send list: named entries, each text or hex, optionally with a
// checksum appended, sent on their own or in a sequence with delays. The list
// is kept as one JSON text in the settings and in exported files.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "terminal/Checksum.h"
#include "terminal/LineEnding.h"
#include "terminal/TextCodec.h"

struct SendEntry {
  QString name;
  QString data;
  bool hex = true;
  ChecksumKind checksum = ChecksumKind::None;
  bool littleEndian = false;  // order of the checksum's bytes
  int skipHead = 0;           // leading bytes the checksum leaves out
  int delayMs = 100;          // wait after it in a sequence
  QString shortcut;           // a key sequence, "Ctrl+1"; may be empty

  bool operator==(const SendEntry&) const = default;
};

// The bytes an entry sends: hex digits paired as the send area pairs them,
// or text in the chosen encoding with its line breaks as the chosen one;
// then the checksum. An error names why an
// entry cannot be sent (hex with no digits).
std::vector<uint8_t> EntryBytes(const SendEntry& e, TextEncoding enc, LineEnding end = LineEnding::CrLf,
                                QString* error = nullptr);

QString SendListToJson(const std::vector<SendEntry>& list, bool indented = true);
// False with a cause when the text is not a send list; then `list` is untouched.
// Unknown checksums and missing fields take the defaults.
bool SendListFromJson(const QString& json, std::vector<SendEntry>* list, QString* error);

// Steps of a sequence over `count` entries, once or repeated: the entry to
// send next and the wait after it.
class SendSequence {
 public:
  void Start(int count, bool repeat) {
    count_ = count;
    repeat_ = repeat;
    next_ = 0;
  }
  void Stop() { count_ = 0; }
  bool Running() const { return count_ > 0 && (repeat_ || next_ < count_); }
  // The entry to send now; -1 when the sequence is over.
  int Next() {
    if (!Running()) return -1;
    const int i = next_ % count_;
    next_ = repeat_ ? (next_ + 1) % count_ : next_ + 1;
    return i;
  }

 private:
  int count_ = 0;
  bool repeat_ = false;
  int next_ = 0;
};
