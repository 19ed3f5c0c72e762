#include "baud_table.h"

namespace mevo {

int row_of_rate(int rate) {
  for (int i = 0; i < kEndRow; ++i) {
    if (baudtab[i].rate == rate) {
      return i;
    }
  }
  return kEndRow;
}

int rate_of_speed(int speed) {
  for (int i = 0; i < kEndRow; ++i) {
    if (baudtab[i].speed == speed) {
      return baudtab[i].rate;
    }
  }
  return 0;
}

int stepped_row(int rate, int direction, bool exten_supported) {
  int row = row_of_rate(rate) + direction;
  if (row < 0) {
    row = kEndRow - 1;
  }
  if (row >= kEndRow) {
    row = 0;
  }
  // Without the extension 57600 cannot be set: going up it wraps to the first row, going
  // down it falls to 38400 rather than to the bottom of the table.
  if (baudtab[row].rate == 57600 && !exten_supported) {
    row = direction > 0 ? 0 : row - 1;
  }
  return row;
}

} // namespace mevo
