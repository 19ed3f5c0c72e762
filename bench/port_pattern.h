// What a port sends in the benchmarks that move checked data: every byte value, in an order
// of the port's own, so that bytes that reach another port's reader are caught as well as
// lost or changed ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qdbench {

inline constexpr std::size_t kPortPatternSize = 1 << 20;

inline std::vector<std::byte> port_pattern(unsigned port) {
  std::vector<std::byte> pat(kPortPatternSize);
  // The port moves the sequence's start far along it: a small number added to the product
  // would reach the top byte only on a carry, leaving every port the same bytes.
  const std::uint64_t start = (port + 1ull) * 0xD6E8FEB86659FD93ull;
  for (std::size_t i = 0; i < pat.size(); ++i) {
    pat[i] = static_cast<std::byte>(((i + 1) * 0x9E3779B97F4A7C15ull + start) >> 56);
  }
  return pat;
}

} // namespace qdbench
