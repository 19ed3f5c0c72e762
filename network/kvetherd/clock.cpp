#include "kvetherd/clock.h"

#include <sys/time.h>
#include <unistd.h>

#include "kvetherd/termination.h"

namespace kvetherd {

std::time_t SystemClock::now() {
  return std::time(nullptr);
}

int SystemClock::wait_readable(int nfds, fd_set* readable, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  const BlockingWait wait;
  return ::select(nfds, readable, nullptr, nullptr, &tv);
}

void SystemClock::pause(int seconds) {
  const BlockingWait wait;
  ::sleep(static_cast<unsigned>(seconds));
}

} // namespace kvetherd
