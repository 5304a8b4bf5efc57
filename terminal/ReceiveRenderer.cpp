#include "terminal/ReceiveRenderer.h"

QString ReceiveRenderer::RenderTextIncrement(const uint8_t* data, size_t size) {
  QString out;
  if (data != nullptr) decoder_.Decode(data, size, out, /*skipZeros=*/true);
  return out;
}

QString ReceiveRenderer::RebuildText(const uint8_t* data, size_t size) {
  decoder_.Reset();
  return RenderTextIncrement(data, size);
}

QString ReceiveRenderer::RenderHex(const uint8_t* data, size_t size) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  QString out;
  if (data == nullptr || size == 0) return out;
  out.resize(static_cast<qsizetype>(size) * 3);
  char16_t* dst = reinterpret_cast<char16_t*>(out.data());
  for (size_t i = 0; i < size; ++i) {
    dst[0] = kDigits[data[i] >> 4];
    dst[1] = kDigits[data[i] & 0x0F];
    dst[2] = u' ';
    dst += 3;
  }
  return out;
}

QString RenderWholeText(const uint8_t* data, size_t size) {
  ReceiveRenderer renderer;
  return renderer.RebuildText(data, size);
}
