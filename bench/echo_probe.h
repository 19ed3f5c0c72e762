// A 1-byte echo in real time on a descriptor whose far end sends everything back (a port
// node with a loopback plug, a pty master with an echoing slave), written and read as a
// program does it.
#pragma once

#include <chrono>
#include <string>

namespace qdbench {

struct EchoTimes {
  bool ok = false;
  std::string error;
  int count = 0;
  double mean_ms = 0;
  double max_ms = 0;
  double first_after_idle_ms = 0; // the first echo after `idle` of silence
};

// One echo to settle the line, `count` back to back, then `idle` of silence and one more.
EchoTimes measure_echo(int fd, int count, std::chrono::milliseconds idle);

} // namespace qdbench
