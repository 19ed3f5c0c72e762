// The rates mevo can set, with the port's speed code and the speed extension index of each.
#pragma once

#include <array>

namespace mevo {

struct BaudRow {
  int rate;  // bits per second; 0 ends the table
  int speed; // the port's speed code (the System V B-values)
  int exten; // speed extension index, 0 to 7
};

// Speed codes the table uses, as the port's records define them (checked on the port side).
inline constexpr int kSpeedB38400 = 15;

inline constexpr std::array<BaudRow, 23> baudtab = {{
    {50, 1, 0},
    {75, 2, 0},
    {110, 3, 0},
    {134, 4, 0},
    {150, 5, 0},
    {200, 6, 0},
    {300, 7, 0},
    {600, 8, 0},
    {1200, 9, 0},
    {1800, 10, 0},
    {2400, 11, 0},
    {4800, 12, 0},
    {9600, 13, 0},
    {19200, 14, 0},
    {38400, kSpeedB38400, 0},
    {57600, kSpeedB38400, 1},
    {76800, kSpeedB38400, 2},
    {115200, kSpeedB38400, 3},
    {153600, kSpeedB38400, 4},
    {230400, kSpeedB38400, 5},
    {307200, kSpeedB38400, 6},
    {460800, kSpeedB38400, 7},
    {0, 0, 0},
}};

inline constexpr int kEndRow = static_cast<int>(baudtab.size()) - 1;

// The first row with this rate, or kEndRow when the table has none (rate 0 included).
int row_of_rate(int rate);
// The rate of the first row with this speed code, or 0.
int rate_of_speed(int speed);
// The row a rate step (+1 or -1) from `rate` lands on; a rate not in the table steps from
// the end row. Without the speed extension the row of 57600 is never chosen.
int stepped_row(int rate, int direction, bool exten_supported);

} // namespace mevo
