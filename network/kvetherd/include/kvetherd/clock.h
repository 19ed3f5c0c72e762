// The daemon's time and its two timed waits, behind one interface so that tests can run
// the 120-second silence rule and the 10-second reconnect pause on a clock of their own.
#pragma once

#include <sys/select.h>

#include <ctime>

namespace kvetherd {

class Clock {
public:
  virtual ~Clock() = default;
  // The time of day in whole seconds, as time() gives it.
  virtual std::time_t now() = 0;
  // select() for reading on the descriptors in `readable`, waiting at most `seconds`:
  // the count of ready descriptors (and `readable` holds them), 0 when the time ran out,
  // -1 with errno on failure.
  virtual int wait_readable(int nfds, fd_set* readable, int seconds) = 0;
  // The pause between two connection attempts.
  virtual void pause(int seconds) = 0;
};

// The real clock. Its waits are where a SIGTERM is acted on at once (see termination.h).
class SystemClock final : public Clock {
public:
  std::time_t now() override;
  int wait_readable(int nfds, fd_set* readable, int seconds) override;
  void pause(int seconds) override;
};

} // namespace kvetherd
