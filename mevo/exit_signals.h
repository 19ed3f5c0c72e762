// The signals that end mevo (SIGHUP, SIGINT, SIGTERM, SIGALRM). Their handler only notes the
// signal and wakes the relay's select() through a pipe; the relay then leaves through the
// exit path with the signal's number, outside the handler, where the port and the user's
// terminal can be put back safely. Once the exit path has started, any of them ends the
// process at once with status 1.
#pragma once

namespace mevo {

// Installs the handler (without SA_RESTART, so a blocked call returns EINTR) and creates the
// wake-up pipe on first use.
void install_exit_signals();
// Puts the default actions back and forgets a pending signal (tests).
void remove_exit_signals();
// The first of the signals that arrived, or 0.
int pending_exit_signal();
// Readable once a signal has arrived; -1 before install_exit_signals.
int exit_signal_fd();
// Marks the exit path as entered; answers whether it already was.
bool enter_exit_path();

} // namespace mevo
