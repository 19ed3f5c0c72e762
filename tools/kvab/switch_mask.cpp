// kvab's actions on the switch mask.
#include "kvab/switch_mask.h"

#include <array>

#include "ksys/termios.h"

namespace kvab {
namespace {

constexpr std::array<std::uint8_t, 8> masktab = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

struct Named {
  const char* word;
  std::uint8_t mask; // the whole new mask
};

// allA, allB, AB and BA.
constexpr std::array<Named, 6> optab = {{
    {"alla", 0xFF},
    {"aa", 0xFF},
    {"allb", 0x00},
    {"bb", 0x00},
    {"ab", 0xF0},
    {"ba", 0x0F},
}};

constexpr std::uint8_t kPorts1to4 = 0xF0;
constexpr std::uint8_t kPorts5to8 = 0x0F;

} // namespace

std::uint8_t mask_from_modem(int tiocm_bits) {
  std::uint8_t mask = 0;
  if ((tiocm_bits & TIOCM_DSR) == 0) {
    mask |= kPorts1to4;
  }
  if ((tiocm_bits & TIOCM_CTS) != 0) {
    mask |= kPorts5to8;
  }
  return mask;
}

Action process_option(std::string_view word, Switch& s) {
  for (const Named& n : optab) {
    if (word == n.word) {
      s.mask = n.mask;
      ++s.write_flag;
      return Action::kSwitched;
    }
  }
  if (word == "stat") {
    return Action::kShow;
  }
  if (word.size() >= 2 && word[0] >= '1' && word[0] <= '8') {
    const std::uint8_t bit = masktab[static_cast<std::size_t>(word[0] - '1')];
    switch (word[1]) {
    case 'a':
    case 'A':
      s.mask |= bit;
      ++s.write_flag;
      return Action::kSwitched;
    case 'b':
    case 'B':
      s.mask &= static_cast<std::uint8_t>(~bit);
      ++s.write_flag;
      return Action::kSwitched;
    default:
      break;
    }
  }
  return Action::kNotRecognized;
}

std::string show_stat(std::uint8_t mask) {
  std::string out = "Ports 1-4:\t";
  out += (mask & 0x80) != 0 ? "SCSI A\n" : "SCSI B\n";
  out += "Ports 5-8:\t";
  out += (mask & 0x01) != 0 ? "SCSI A\n" : "SCSI B\n";
  return out;
}

std::string usage_text(const char* prog) {
  const std::string p = prog != nullptr ? prog : "kvab";
  std::string out;
  out += "\n\nUsage: " + p + " <device> [<action>]";
  out += "\n\n<device> is the LP device node of the redundant unit to control\n";
  out += "<action> is one of:\n\n";
  out += "   aa           Switch all ports to SCSI bus A\n";
  out += "   bb           Switch all ports to SCSI bus B\n";
  out += "   ab           Switch ports 1-4 to SCSI A, ports 5-8 to SCSI B\n";
  out += "   ba           Switch ports 1-4 to SCSI B, ports 5-8 to SCSI A\n";
  out += "   stat         Display status of ports\n";
  out += "\n\n";
  out += "EXAMPLE:\t" + p + " /dev/lpqmx0 aa\n\n";
  return out;
}

} // namespace kvab
