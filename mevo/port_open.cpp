// Opening the port: without waiting for carrier, under an alarm in case the open hangs.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "port_device.h"
#include "qdev/qdev.h"

namespace mevo {
namespace {

void tty_open_timeout(int /*sig*/) {
  static const char text[] = "Timed out: port busy or another process is blocked in open.\n";
  ssize_t ignored = ::write(1, text, sizeof text - 1);
  (void)ignored;
  ::_exit(1);
}

} // namespace

int open_tty(const std::string& path, unsigned seconds) {
  struct sigaction sa {};
  sa.sa_handler = tty_open_timeout;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGALRM, &sa, nullptr);
  // A parent that left SIGALRM blocked would otherwise take the time-out away.
  sigset_t alarm_only, old_mask;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  ::sigprocmask(SIG_UNBLOCK, &alarm_only, &old_mask);

  ::alarm(seconds);
  const int fd = qdev::open(path.c_str(), O_RDWR | O_NDELAY);
  const int open_errno = errno;
  ::alarm(0);
  ::signal(SIGALRM, SIG_DFL);
  ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (fd < 0) {
    errno = open_errno;
    std::perror(path.c_str());
    return -1;
  }
  qdev::fcntl(fd, F_SETFL, 0);
  return fd;
}

} // namespace mevo
