// A model printer for tests: turns the bytes an ESC/POS printer would receive
// back into the dots it would print.
//
// Model: bit images (ESC * m nL nH data) go into a line buffer from the left;
// ESC J n prints the buffer at the current paper row and feeds the paper by
// the buffer's image height plus n dots; LF prints and feeds by the larger of
// the image height and the line spacing (ESC 3 n; 30 after ESC @). ESC @
// clears the buffer and the spacing. Every other byte is kept in otherBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct EscPosPage {
  int width = 0;   // widest printed line, in dots
  int height = 0;  // paper fed so far (and at least the last printed row + 1)
  std::vector<std::vector<uint8_t>> rows;  // rows[y][x], 1 = dot; rows may be shorter than width

  int initCount = 0;            // ESC @ seen
  int lineSpacing = 30;         // current ESC 3 value
  std::vector<int> imageModes;  // m of every ESC *
  std::vector<int> feeds;       // n of every ESC J
  std::vector<uint8_t> otherBytes;
  int pendingColumns = 0;  // image columns received but not printed yet
  bool truncated = false;  // the data ended inside a command

  bool Dot(int x, int y) const;
};

EscPosPage DecodeEscPos(const uint8_t* data, size_t size);
