#include "kvetherd/termination.h"

#include <signal.h>

#include <initializer_list>

namespace kvetherd {
namespace {

volatile std::sig_atomic_t g_pending = 0;
volatile std::sig_atomic_t g_in_wait = 0;
void (*g_on_term)() = nullptr;

extern "C" void on_sigterm(int) {
  g_pending = 1;
  if (g_in_wait != 0 && g_on_term != nullptr) {
    g_on_term();
  }
}

} // namespace

void install_signal_handlers(void (*on_term)()) {
  g_on_term = on_term;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // SIGPIPE too: a module that closes its end must cost a reconnect, not the daemon.
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE}) {
    ::sigaction(sig, &ignore, nullptr);
  }
  struct sigaction term {};
  term.sa_handler = on_sigterm;
  sigemptyset(&term.sa_mask);
  term.sa_flags = 0;
  ::sigaction(SIGTERM, &term, nullptr);
}

const volatile std::sig_atomic_t& termination_flag() {
  return g_pending;
}

BlockingWait::BlockingWait() {
  g_in_wait = 1;
  if (g_pending != 0 && g_on_term != nullptr) {
    g_on_term();
  }
}

BlockingWait::~BlockingWait() {
  g_in_wait = 0;
}

} // namespace kvetherd
