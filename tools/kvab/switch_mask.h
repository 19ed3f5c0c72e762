// kvab's switch mask: which SCSI bus each of a redundant unit's eight port groups is on.
// Bit 7 is port 1 ... bit 0 port 8; a set bit means bus A.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvab {

struct Switch {
  std::uint8_t mask = 0;
  int write_flag = 0; // switching actions so far; the mask is written when not 0
};

// get_current_state: the mask the unit reports through the printer node's modem bits.
// DSR set: ports 1-4 on bus B; CTS set: ports 5-8 on bus A.
std::uint8_t mask_from_modem(int tiocm_bits);

enum class Action {
  kSwitched, // the mask changed (or was set again)
  kShow,     // "stat": show the mask as it stands
  kNotRecognized,
};
// process_option: one action word, matched exactly, or a port digit 1-8 followed by a bus
// letter (either case; characters after it are ignored).
Action process_option(std::string_view word, Switch& s);

// show_stat: the assignment of the two halves, for standard output.
std::string show_stat(std::uint8_t mask);

// The usage text for standard error; prog is the program name as invoked.
std::string usage_text(const char* prog);

} // namespace kvab
