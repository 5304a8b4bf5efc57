#include "EscPosDecode.h"

#include <algorithm>

bool EscPosPage::Dot(int x, int y) const {
  if (y < 0 || x < 0 || static_cast<size_t>(y) >= rows.size()) return false;
  const std::vector<uint8_t>& row = rows[static_cast<size_t>(y)];
  return static_cast<size_t>(x) < row.size() && row[static_cast<size_t>(x)] != 0;
}

namespace {

struct LineBuffer {
  std::vector<uint32_t> columns;  // bit 23 = top row (8-dot images fill bits 23..16)
  int height = 0;                 // 8 or 24 once an image is in the buffer

  void Clear() {
    columns.clear();
    height = 0;
  }
};

void PrintBuffer(EscPosPage& page, LineBuffer& buf, int& paperRow) {
  for (int r = 0; r < buf.height; ++r) {
    const size_t y = static_cast<size_t>(paperRow + r);
    if (page.rows.size() <= y) page.rows.resize(y + 1);
    std::vector<uint8_t>& row = page.rows[y];
    if (row.size() < buf.columns.size()) row.resize(buf.columns.size(), 0);
    for (size_t x = 0; x < buf.columns.size(); ++x)
      if (buf.columns[x] & (1u << (23 - r))) row[x] = 1;
  }
  page.width = std::max(page.width, static_cast<int>(buf.columns.size()));
  page.height = std::max(page.height, paperRow + buf.height);
}

}  // namespace

EscPosPage DecodeEscPos(const uint8_t* data, size_t size) {
  EscPosPage page;
  LineBuffer buf;
  int paperRow = 0;
  size_t i = 0;
  const auto need = [&](size_t n) {
    if (size - i >= n) return true;
    page.truncated = true;
    return false;
  };
  while (i < size) {
    const uint8_t b = data[i];
    if (b == 0x1B && i + 1 < size) {
      const uint8_t cmd = data[i + 1];
      if (cmd == '@') {  // initialise
        ++page.initCount;
        page.lineSpacing = 30;
        buf.Clear();
        i += 2;
        continue;
      }
      if (cmd == '3') {  // line spacing n
        if (!need(3)) break;
        page.lineSpacing = data[i + 2];
        i += 3;
        continue;
      }
      if (cmd == 'J') {  // print and feed n dots
        if (!need(3)) break;
        page.feeds.push_back(data[i + 2]);
        PrintBuffer(page, buf, paperRow);
        paperRow += buf.height + data[i + 2];
        page.height = std::max(page.height, paperRow);
        buf.Clear();
        i += 3;
        continue;
      }
      if (cmd == '*') {  // bit image
        if (!need(5)) break;
        const int mode = data[i + 2];
        const size_t columns = data[i + 3] | (static_cast<size_t>(data[i + 4]) << 8);
        const int bytesPerColumn = (mode == 32 || mode == 33) ? 3 : 1;
        if (!need(5 + columns * bytesPerColumn)) break;
        page.imageModes.push_back(mode);
        buf.height = std::max(buf.height, bytesPerColumn * 8);
        const uint8_t* p = data + i + 5;
        for (size_t c = 0; c < columns; ++c) {
          uint32_t bits = 0;
          for (int k = 0; k < bytesPerColumn; ++k) bits = bits << 8 | *p++;
          buf.columns.push_back(bits << (8 * (3 - bytesPerColumn)));
        }
        i += 5 + columns * bytesPerColumn;
        continue;
      }
    }
    if (b == 0x0A) {  // print and line feed
      PrintBuffer(page, buf, paperRow);
      paperRow += std::max(buf.height, page.lineSpacing);
      page.height = std::max(page.height, paperRow);
      buf.Clear();
      ++i;
      continue;
    }
    if (b == 0x1B && i + 1 >= size) {
      page.truncated = true;
      break;
    }
    page.otherBytes.push_back(b);
    ++i;
  }
  page.pendingColumns = static_cast<int>(buf.columns.size());
  return page;
}
