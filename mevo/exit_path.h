// The one way out of mevo once the port is open: what the program took is given back.
#pragma once

#include "port.h"
#include "settings.h"
#include "user_terminal.h"

namespace mevo {

// Puts things back in order: the speed extension reset, the lock removed, the user's
// terminal restored (with "MEVO", a bell and " closing...\n" on the screen), DTR and RTS
// dropped unless option -i was given. port and user may be null when not yet there. Answers
// the status to exit with: `status`, or 1 when a step failed.
int leave_program(Session& session, Port* port, UserTerminal* user, int status);

// leave_program, then exit. A second entry (a failure or an exit signal on the way out)
// ends the process at once with status 1.
[[noreturn]] void bail(Session& session, Port* port, UserTerminal* user, int status);

} // namespace mevo
