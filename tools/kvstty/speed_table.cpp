// kvstty's speed tables and the effective speed of a port.
#include "kvstty/speed_table.h"

#include <array>

#include "ksys/termios.h"
#include "qdio.h"

namespace kvstty {
namespace {

constexpr BaudRow kCommonRows[16] = {
    {0, 0, 0, 0, "0 (not supported)"},
    {50, 1, 0, 16, "50"},
    {75, 2, 0, 0, "75"},
    {110, 3, 0, 1, "110"},
    {134, 4, 0, 18, "134.5"},
    {150, 5, 0, 2, "150"},
    {200, 6, 0, 19, "200"},
    {300, 7, 0, 3, "300"},
    {600, 8, 0, 4, "600"},
    {1200, 9, 0, 5, "1200"},
    {1800, 10, 0, 6, "1800"},
    {2400, 11, 0, 8, "2400"},
    {4800, 12, 0, 9, "4800"},
    {9600, 13, 0, 10, "9600"},
    {19200, 14, 0, 11, "19200"},
    {38400, 15, 0, 12, "38400"},
};

struct HighRow {
  std::uint32_t rate;
  int fas_code;
  const char* name;
};
constexpr HighRow kHighRows[7] = {
    {57600, 13, "57600"},   {76800, 14, "76800"},   {115200, 15, "115200"}, {153600, 24, "153600"},
    {230400, 34, "230400"}, {307200, 41, "307200"}, {460800, 47, "460800"},
};

constexpr std::array<BaudRow, kBaudRows> build(Variant v) {
  std::array<BaudRow, kBaudRows> rows{};
  for (int i = 0; i < 16; ++i) {
    rows[i] = kCommonRows[i];
  }
  for (int i = 0; i < 7; ++i) {
    const HighRow& h = kHighRows[i];
    unsigned ext = static_cast<unsigned>(i + 1);
    rows[16 + i] = v == Variant::kCbaudext ? BaudRow{h.rate, 16 + i, 0, h.fas_code, h.name}
                                           : BaudRow{h.rate, 15, ext, h.fas_code, h.name};
  }
  return rows;
}

constexpr std::array<BaudRow, kBaudRows> kExtRows = build(Variant::kCbaudext);
constexpr std::array<BaudRow, kBaudRows> kNoExtRows = build(Variant::kSpeedExt);

} // namespace

std::span<const BaudRow, kBaudRows> baudtab(Variant v) {
  return v == Variant::kCbaudext ? std::span<const BaudRow, kBaudRows>(kExtRows)
                                 : std::span<const BaudRow, kBaudRows>(kNoExtRows);
}

std::optional<int> find_rate(Variant v, std::uint64_t rate) {
  auto rows = baudtab(v);
  for (int i = 0; i < kBaudRows; ++i) {
    if (rows[i].rate == rate) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<int> effective_row(Variant v, const termios& t, std::uint32_t control) {
  int code = static_cast<int>(t.c_cflag & CBAUD);
  if (v == Variant::kCbaudext && (t.c_cflag & CBAUDEXT) != 0) {
    code += 16;
  }
  auto rows = baudtab(v);
  for (int j = 0; j < kBaudRows; ++j) {
    if (rows[j].speed_code == code) {
      int eff = j + static_cast<int>((control & QDX_SPEED_EXT) >> QDX_SPEED_EXT_SHIFT);
      if (eff >= kBaudRows) {
        return std::nullopt;
      }
      return eff;
    }
  }
  return std::nullopt;
}

} // namespace kvstty
