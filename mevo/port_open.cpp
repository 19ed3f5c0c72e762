// Opening the port: without waiting for carrier, under an alarm in case the open hangs.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kvutils.h"
#include "port_device.h"

namespace mevo {
namespace {

constexpr char kTimedOut[] = "Timed out: port busy or another process is blocked in open.\n";

void tty_open_timeout(int /*sig*/) {
  [[maybe_unused]] ssize_t n = ::write(1, kTimedOut, sizeof kTimedOut - 1);
  ::_exit(1);
}

} // namespace

int open_tty(const std::string& path, unsigned seconds) {
  // A parent that left SIGALRM blocked would take the time-out away: unblock it, with the
  // time-out's handler already in place for one that is pending.
  struct sigaction sa {};
  sa.sa_handler = tty_open_timeout;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGALRM, &sa, nullptr);
  sigset_t alarm_only, old_mask;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  ::sigprocmask(SIG_UNBLOCK, &alarm_only, &old_mask);

  const int fd = kv::open_under_alarm(path.c_str(), seconds, {.message = kTimedOut, .fd = 1});
  const int open_errno = errno;
  ::signal(SIGALRM, SIG_DFL);
  ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (fd < 0) {
    errno = open_errno;
    std::perror(path.c_str());
  }
  return fd;
}

} // namespace mevo
