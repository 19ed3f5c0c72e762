#include <unistd.h>

#include "qdnet/vrn_exchange.h"

namespace qdnet {

int sock_read_with(const ReadFn& rd, int fd, unsigned char* buf, int n) {
  int got = 0;
  while (got < n) {
    const ssize_t r = rd(fd, buf + got, static_cast<std::size_t>(n - got));
    if (r <= 0) {
      return -1;
    }
    got += static_cast<int>(r);
  }
  return 0;
}

int sock_read(int fd, unsigned char* buf, int n) {
  return sock_read_with([](int f, void* b, std::size_t c) { return ::read(f, b, c); }, fd, buf, n);
}

} // namespace qdnet
