#include "echo_probe.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "qdev/qdev.h"

namespace qdbench {

namespace {

constexpr int kEchoLimitMs = 5000;

// Milliseconds for one byte out and back, or a negative value (error says why).
double one_echo(int fd, unsigned char value, std::string& error) {
  const auto start = std::chrono::steady_clock::now();
  if (qdev::write(fd, &value, 1) != 1) {
    error = std::string("write: ") + std::strerror(errno);
    return -1;
  }
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kEchoLimitMs) != 1) {
    error = "no echo within " + std::to_string(kEchoLimitMs) + " ms";
    return -1;
  }
  unsigned char back = 0;
  if (qdev::read(fd, &back, 1) != 1 || back != value) {
    error = "the echo did not come back as sent";
    return -1;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

} // namespace

EchoTimes measure_echo(int fd, int count, std::chrono::milliseconds idle) {
  EchoTimes t;
  if (one_echo(fd, 0xa5, t.error) < 0) {
    return t;
  }
  double sum = 0;
  for (int i = 0; i < count; ++i) {
    const double ms = one_echo(fd, static_cast<unsigned char>(i), t.error);
    if (ms < 0) {
      return t;
    }
    sum += ms;
    t.max_ms = std::max(t.max_ms, ms);
  }
  t.count = count;
  t.mean_ms = count > 0 ? sum / count : 0;
  std::this_thread::sleep_for(idle);
  t.first_after_idle_ms = one_echo(fd, 0x5a, t.error);
  t.ok = t.first_after_idle_ms >= 0;
  return t;
}

} // namespace qdbench
