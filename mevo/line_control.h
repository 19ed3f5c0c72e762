// Line settings and modem signals of the port, from the session's variables.
#pragma once

#include "port.h"
#include "settings.h"

namespace mevo {

// What a control step asks of the program.
enum class Step {
  kDone,    // applied
  kRefused, // the port or the table refused the setting; the variables keep it
  kFailed,  // the program must end with status 1 (messages already printed)
};

// Builds and applies the port's settings from session.line. A rate not in the table prints
// "Can't set baudrate %d\n" on the session's screen and is refused.
Step set_tty_params(Session& session, Port& port);
// Raises exactly DTR and RTS as `mdmsigs` asks.
Step set_modem(Session& session, Port& port);
// The port's modem signals as internal bits, or -1 after a failure.
int get_modem(Port& port);
// Takes over the port's speed and flow control (option -i); nothing is written to the port.
Step take_port_settings(Session& session, Port& port);

} // namespace mevo
