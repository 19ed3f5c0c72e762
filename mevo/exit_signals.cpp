#include "exit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace mevo {
namespace {

constexpr int kSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGALRM};

volatile sig_atomic_t g_pending = 0;
volatile sig_atomic_t g_exiting = 0;
int g_wake[2] = {-1, -1};

void on_exit_signal(int sig) {
  if (g_exiting != 0) {
    ::_exit(1);
  }
  if (g_pending == 0) {
    g_pending = sig;
  }
  const int saved = errno;
  const char byte = 0;
  ssize_t ignored = ::write(g_wake[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

} // namespace

void install_exit_signals() {
  if (g_wake[0] < 0) {
    ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK);
  }
  struct sigaction sa {};
  sa.sa_handler = on_exit_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kSignals) {
    sigaddset(&sa.sa_mask, sig);
  }
  for (int sig : kSignals) {
    ::sigaction(sig, &sa, nullptr);
  }
}

void remove_exit_signals() {
  for (int sig : kSignals) {
    ::signal(sig, SIG_DFL);
  }
  g_pending = 0;
  g_exiting = 0;
  if (g_wake[0] >= 0) {
    char buf[64];
    while (::read(g_wake[0], buf, sizeof buf) > 0) {
    }
  }
}

int pending_exit_signal() {
  return g_pending;
}

int exit_signal_fd() {
  return g_wake[0];
}

bool enter_exit_path() {
  const bool was = g_exiting != 0;
  g_exiting = 1;
  return was;
}

} // namespace mevo
