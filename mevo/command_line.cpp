#include "command_line.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mevo {

const char* const kUsageLines[13] = {
    "usage: mevo [[-125678ENOhsi] [[baudrate]] [port]\n",
    "  -1           one stop bit\n",
    "  -2           two stop bits\n",
    "  -5           5 bit characters\n",
    "  -6           6 bit characters\n",
    "  -7           7 bit characters\n",
    "  -8           8 bit characters\n",
    "  -E           even parity\n",
    "  -N           no parity\n",
    "  -O           odd parity\n",
    "  -h           enable hardware flow control mode\n",
    "  -s           disable software flow control\n",
    "  -i           do not init port on start or reset port on exit\n",
};

void print_usage() {
  for (const char* line : kUsageLines) {
    std::fputs(line, stdout);
  }
  std::fflush(stdout);
}

namespace {

// Applies one option letter; false for a letter not in the list.
bool take_option(char opt, Session& s) {
  switch (opt) {
  case '1':
    s.line.cstopb = 0;
    return true;
  case '2':
    s.line.cstopb = 1;
    return true;
  case '5':
  case '6':
  case '7':
    s.line.csize = opt - '0';
    return true;
  case '8':
    // Accepted for symmetry; 8 is where the size starts.
    return true;
  case 'E':
    s.line.parity = 2;
    return true;
  case 'N':
    s.line.parity = 0;
    return true;
  case 'O':
    s.line.parity = 1;
    return true;
  case 'h':
    s.line.hwfc = 1;
    return true;
  case 's':
    s.line.swfc = 0;
    return true;
  case 'i':
    s.init_port = 0;
    return true;
  default:
    return false;
  }
}

// The decimal number at the start of text, as atoi reads it but without overflow.
int leading_rate(const char* text) {
  long v = 0;
  for (const char* p = text; std::isdigit(static_cast<unsigned char>(*p)) != 0; ++p) {
    v = v * 10 + (*p - '0');
    if (v > 99999999) {
      return 99999999; // no such rate: refused later as any unknown rate
    }
  }
  return static_cast<int>(v);
}

} // namespace

Parsed parse_command_line(std::span<const char* const> args, Session& s) {
  if (args.size() <= 1) {
    return Parsed::kUsage;
  }
  std::size_t i = 1;
  // Options come first, as getopt takes them: grouped letters, "--" ends them, and the
  // first argument that is not an option ends them too.
  for (; i < args.size(); ++i) {
    const char* a = args[i];
    if (a[0] != '-' || a[1] == '\0') {
      break;
    }
    if (std::strcmp(a, "--") == 0) {
      ++i;
      break;
    }
    for (const char* p = a + 1; *p != '\0'; ++p) {
      if (!take_option(*p, s)) {
        return Parsed::kUsage;
      }
    }
  }
  bool long_name = false;
  for (; i < args.size(); ++i) {
    const char* a = args[i];
    if (std::isdigit(static_cast<unsigned char>(a[0])) != 0) {
      s.line.baudrate = leading_rate(a);
    } else if (std::strlen(a) > kMaxTtyName) {
      long_name = true;
    } else {
      s.tty_name = a;
      long_name = false;
    }
  }
  if (long_name) {
    return Parsed::kLongName;
  }
  return s.tty_name.empty() ? Parsed::kNoPort : Parsed::kRun;
}

} // namespace mevo
