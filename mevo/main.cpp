// mevo: a terminal connection to one port, with tilde commands for its line settings.
#include <unistd.h>

#include <cstdio>
#include <span>

#include "command_line.h"
#include "exit_path.h"
#include "exit_signals.h"
#include "line_control.h"
#include "lock_file.h"
#include "port_device.h"
#include "relay.h"
#include "user_terminal.h"

using namespace mevo;

int main(int argc, char** argv) {
  Session s;
  switch (
      parse_command_line(std::span<const char* const>(argv, static_cast<std::size_t>(argc)), s)) {
  case Parsed::kRun:
    break;
  case Parsed::kNoPort:
    std::fputs("No port specified.\n", stdout);
    print_usage();
    bail(s, nullptr, nullptr, 1);
  case Parsed::kLongName:
    std::fputs("Port name too long.\n", stdout);
    print_usage();
    bail(s, nullptr, nullptr, 1);
  case Parsed::kUsage:
    print_usage();
    bail(s, nullptr, nullptr, 1);
  }

  const int fd = open_tty(s.tty_name);
  if (fd < 0) {
    return 1;
  }
  DevicePort port(fd);
  if (lock_tty(lock_dir(), s.tty_name, ::getpid(), &s.lock_file) != 0) {
    return 1; // leaves any lock of another process alone
  }

  if (port.set_baud_exten(0) == 0) {
    s.baud_exten_supported = 1;
  }
  if (s.init_port != 0) {
    switch (set_tty_params(s, port)) {
    case Step::kDone:
      break;
    case Step::kRefused:
      std::fflush(stdout);
      print_usage();
      bail(s, &port, nullptr, 1);
    case Step::kFailed:
      bail(s, &port, nullptr, 1);
    }
    if (set_modem(s, port) == Step::kFailed) {
      bail(s, &port, nullptr, 1);
    }
  } else if (take_port_settings(s, port) == Step::kFailed) {
    bail(s, &port, nullptr, 1);
  }

  UserTerminal user(1);
  if (user.save_user_params() != 0 || user.set_user_params() != 0) {
    bail(s, &port, &user, 1);
  }
  // From the sign-on on, the exit signals leave through the exit path.
  install_exit_signals();
  Relay relay(s, port, 0);
  if (Ending end = relay.sign_on()) {
    bail(s, &port, &user, *end);
  }
  bail(s, &port, &user, relay.loop());
}
