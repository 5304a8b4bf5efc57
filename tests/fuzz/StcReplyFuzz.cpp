// Any bytes as an STC boot loader's answers: the frame reader, the status
// packet readers of every protocol and the hex-text readers of the older
// parts must neither read past what they were given nor crash.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "isp/stc/StcFrames.h"
#include "isp/stc/StcModern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  std::vector<uint8_t> payload;
  if (stc::ParseFrame16(bytes, payload) && payload.size() > bytes.size()) std::abort();
  const std::vector<uint8_t>& status = payload.empty() ? bytes : payload;
  for (stc::Protocol p : {stc::Protocol::Stc12, stc::Protocol::Stc15, stc::Protocol::Stc8}) {
    const stc::PartStatus s = stc::ParseStatus(p, status, 2400);
    if (s.valid) {
      (void)stc::VersionString(s);
      (void)stc::UsesGuardBytes(s);
    }
  }
  (void)stc::StatusMagic(status);

  // The older parts' replies travel as hex text.
  const QString hex = stc::BytesToHex(bytes);
  (void)stc::ModelCodeOf(hex);
  (void)stc::OscCodeOf(hex);
  (void)stc::MeasuredClockHz(hex, 1200);
  (void)stc::SixTModeOf(hex);
  (void)stc::BlockReplyMatches(hex, size ? data[0] : 0);
  // And as whatever text arrives.
  const QString text = QString::fromLatin1(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  (void)stc::HexToBytes(text);
  (void)stc::ModelCodeOf(text);
  (void)stc::MeasuredClockHz(text, 1200);
  (void)stc::SixTModeOf(text);
  return 0;
}
