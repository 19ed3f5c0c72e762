#include "qdnet/vrn_exchange.h"

namespace qdnet {

void bitmash(unsigned char* p, unsigned char* answer) {
  unsigned i = 0, j = 1, k = 2;
  for (int pass = 0; pass < 31; ++pass) {
    p[i] = static_cast<unsigned char>(p[i] ^ p[j]);
    p[k] = static_cast<unsigned char>((p[k] << 1) | (p[k] >> 7));
    i = (i + 1) % 6;
    j = (j + i) % 6;
    k = (k + j) % 6;
  }
  answer[0] = static_cast<unsigned char>(p[0] + p[4]);
  answer[1] = static_cast<unsigned char>(p[2] + p[1]);
  answer[2] = static_cast<unsigned char>(p[3] + p[5] + p[0]);
}

} // namespace qdnet
