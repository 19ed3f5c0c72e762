#include "qdemu/unlock.h"

namespace qdemu {

UnlockAnswer unlock_answer(Challenge p) {
  unsigned i = 0, j = 1, k = 2;
  for (int pass = 0; pass < 31; ++pass) {
    p[i] = static_cast<std::uint8_t>(p[i] ^ p[j]);
    p[k] = static_cast<std::uint8_t>((p[k] << 1) | (p[k] >> 7));
    i = (i + 1) % 6;
    j = (j + i) % 6;
    k = (k + j) % 6;
  }
  return {static_cast<std::uint8_t>(p[0] + p[4]), static_cast<std::uint8_t>(p[2] + p[1]),
          static_cast<std::uint8_t>(p[3] + p[5] + p[0])};
}

} // namespace qdemu
