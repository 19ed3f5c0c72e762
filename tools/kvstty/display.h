// kvstty's display of a port's settings as merged and sent (do_display).
#pragma once

#include <string>
#include <string_view>

#include "kvstty/options.h"
#include "kvstty/speed_table.h"

struct termios;
struct qd_ext_ctl;

namespace kvstty {

struct Display {
  bool ok = true;   // false: the effective speed is out of range; text is the error
  std::string text; // for standard error
};

// The short or verbose lines, and with -a all parameters. Empty when nothing is to be shown
// (display_default cleared and no -a).
Display do_display(const Request& req, Variant v, std::string_view tty_name, const termios& t,
                   const qd_ext_ctl& xc);

// Name of an error level (control bits 0-3).
const char* errlev_name(unsigned level);

} // namespace kvstty
