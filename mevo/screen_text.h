// The texts mevo shows on the user's screen: status line, caret lines, modem line, banner
// and help. Built here, written by the relay in one write each.
#pragma once

#include <string>

#include "settings.h"

namespace mevo {

// The help text `cmds` (the capital letter of each word is its key).
inline constexpr const char kHelpText[] =
    "\r\nMEVO tilde cmds:\n\r (+-)Baud Csize Dtr Framing Hwfc Info breaK Modem Oflush Parity Rts "
    "Swfc eXit\n\r";
inline constexpr const char kSignOnHint[] = "Type ~? for help.\n\r";
inline constexpr const char kOutputFlushed[] = "OUTPUT FLUSHED\n\r";

// The status line (show_tty_params).
std::string status_line(const Settings& line);

// The caret line under the field that the command key (lower case) changed; empty for a key
// that changes no field of the status line.
std::string caret_line(char key, const Settings& line);

// What the previous modem display showed.
struct ModemMemory {
  int initd = 0;
  int last_mdm = 0;
};

// The modem line for the internal bits, with the caret line of what changed since the last
// display (none on the first).
std::string modem_display(int bits, ModemMemory& memory);

// The banner's first lines, up to the status line.
std::string banner(const std::string& tty_name);

} // namespace mevo
