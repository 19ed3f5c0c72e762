// The port's termios as mevo builds it from its settings. This header brings the port's
// System V records (qdev/tty.h): never include it beside the host's <termios.h>.
#pragma once

#include "port.h"
#include "qdev/tty.h"
#include "settings.h"

namespace mevo {

// The hardware flow-control bit of a port's termios.
bool is_hwfc(const termios& t);
void set_hwfc(termios& t);
void clr_hwfc(termios& t);

// current with every field mevo owns rebuilt from line, at speed code `speed` both ways.
termios make_port_termios(const termios& current, const Settings& line, speed_t speed);

// What option -i takes over from a port's termios.
PortReading reading_of(const termios& t);

} // namespace mevo
