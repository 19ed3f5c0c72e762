// SIGTERM ends the daemon: its log line, then the shutdown. The handler does that itself
// only while the daemon sits in one of its blocking waits, where no lock of the C library
// is held; anywhere else it notes the signal, and the daemon acts on it at its next wait or
// before it reports a failed call (which the signal may have interrupted).
#pragma once

#include <csignal>

namespace kvetherd {

// Ignores SIGHUP, SIGINT, SIGQUIT and SIGPIPE; SIGTERM (without SA_RESTART, so that blocking calls
// return) notes itself or runs `on_term`, which must not return.
void install_signal_handlers(void (*on_term)());

// Set once a SIGTERM has arrived.
const volatile std::sig_atomic_t& termination_flag();

// Marks a blocking wait: a SIGTERM noted before it, or arriving during it, runs the
// shutdown at once.
class BlockingWait {
public:
  BlockingWait();
  ~BlockingWait();
  BlockingWait(const BlockingWait&) = delete;
  BlockingWait& operator=(const BlockingWait&) = delete;
};

} // namespace kvetherd
