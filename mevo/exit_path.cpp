#include "exit_path.h"

#include <unistd.h>

#include <cstdlib>

#include "exit_signals.h"
#include "line_control.h"
#include "lock_file.h"

namespace mevo {

int leave_program(Session& s, Port* port, UserTerminal* user, int status) {
  if (port != nullptr && s.init_port != 0 && s.baud_exten_supported != 0) {
    port->set_baud_exten(0);
  }
  unlock_tty(s.lock_file);
  if (user != nullptr && user->user_setup_saved()) {
    if (user->restore_user_params() != 0) {
      return 1;
    }
    static const char text[] = "MEVO\a closing...\n";
    ssize_t ignored = ::write(s.screen_fd, text, sizeof text - 1);
    (void)ignored;
  }
  if (port != nullptr && s.init_port != 0) {
    s.mdmsigs &= ~(MS_DTR | MS_RTS);
    if (set_modem(s, *port) == Step::kFailed) {
      return 1;
    }
  }
  return status;
}

void bail(Session& s, Port* port, UserTerminal* user, int status) {
  if (enter_exit_path()) {
    ::_exit(1);
  }
  std::exit(leave_program(s, port, user, status));
}

} // namespace mevo
