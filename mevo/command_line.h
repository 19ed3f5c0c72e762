// mevo's command line: mevo [options] [rate] port.
#pragma once

#include <span>
#include <string>

#include "settings.h"

namespace mevo {

enum class Parsed {
  kRun,     // settings and port path taken
  kUsage,   // no arguments, or an option not in the list
  kNoPort,  // no port path among the arguments
  kLongName // a port path longer than kMaxTtyName
};

// args holds the whole argument vector, program name first. Fills session.line,
// session.init_port and session.tty_name.
Parsed parse_command_line(std::span<const char* const> args, Session& session);

// The usage text, line by line as it is printed.
extern const char* const kUsageLines[13];

// Writes the usage text on standard output.
void print_usage();

} // namespace mevo
