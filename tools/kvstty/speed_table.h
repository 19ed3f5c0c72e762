// kvstty's own speed table, in its two builds: one for systems with the extended-speed flag
// CBAUDEXT, one for systems without it, where speeds above 38400 are 38400 plus the port
// record's speed extension.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

struct termios;

namespace kvstty {

enum class Variant {
  kCbaudext, // speeds above 38400 through CBAUDEXT
  kSpeedExt, // no CBAUDEXT: speeds above 38400 as B38400 plus extension 1-7
};

struct BaudRow {
  std::uint32_t rate;
  int speed_code; // termios speed code; from 16 on, sent as CBAUDEXT plus code - 16
  unsigned ext;   // speed extension of the port record
  int fas_code;   // the unit's speed code, checked against the model
  const char* name;
};

inline constexpr int kBaudRows = 23;
std::span<const BaudRow, kBaudRows> baudtab(Variant v);

// Index of the first row with this rate.
std::optional<int> find_rate(Variant v, std::uint64_t rate);

// Index of the row the port really runs at: the row of its termios speed code (with
// CBAUDEXT where the build has it) moved on by the record's speed extension. None when the
// code has no row or the extension leads past the table.
std::optional<int> effective_row(Variant v, const termios& t, std::uint32_t control);

} // namespace kvstty
