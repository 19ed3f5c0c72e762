#include "screen_text.h"

#include <cstdio>

namespace mevo {
namespace {

constexpr const char* kParityNames[] = {"NONE", "ODD ", "EVEN"};

const char* on_off(bool on) {
  return on ? "ON " : "OFF";
}

int digits(int v) {
  int d = 0;
  for (; v > 0; v /= 10) {
    ++d;
  }
  return d;
}

} // namespace

std::string status_line(const Settings& line) {
  const char* parity = line.parity >= 0 && line.parity <= 2 ? kParityNames[line.parity] : "????";
  char text[128];
  std::snprintf(text, sizeof text, "\r%6d BAUD %d %s %s SWFC=%s HWFC=%s           \r\n",
                line.baudrate, line.csize, parity, line.cstopb != 0 ? "2" : "1",
                on_off(line.swfc != 0), on_off(line.hwfc != 0));
  return text;
}

std::string caret_line(char key, const Settings& line) {
  int blanks = 0;
  int carets = 0;
  switch (key) {
  case '+':
  case '=':
  case 'b':
  case '-':
  case '_': {
    const int d = digits(line.baudrate);
    blanks = d < 6 ? 6 - d : 0;
    carets = d + 5;
    break;
  }
  case 'c':
    blanks = 11;
    carets = 3;
    break;
  case 'f':
    blanks = 18;
    carets = 3;
    break;
  case 'p':
    blanks = 14;
    carets = line.parity == 1 ? 3 : 4;
    break;
  case 's':
    blanks = 21;
    carets = line.swfc != 0 ? 7 : 8;
    break;
  case 'h':
    blanks = 30;
    carets = line.hwfc != 0 ? 7 : 8;
    break;
  default:
    return {};
  }
  return std::string(static_cast<std::size_t>(blanks), ' ') +
         std::string(static_cast<std::size_t>(carets), '^') + "\n\r";
}

std::string modem_display(int bits, ModemMemory& memory) {
  char text[128];
  std::snprintf(text, sizeof text, "\rCAR=%s DTR=%s RTS=%s CTS=%s DSR=%s         \r\n",
                on_off((bits & MS_CAR) != 0), on_off((bits & MS_DTR) != 0),
                on_off((bits & MS_RTS) != 0), on_off((bits & MS_CTS) != 0),
                on_off((bits & MS_DSR) != 0));
  std::string out = text;
  if (memory.initd == 0) {
    memory.last_mdm = bits;
    memory.initd = 1;
    return out;
  }
  const int changed = bits ^ memory.last_mdm;
  memory.last_mdm = bits;
  for (int bit : {MS_CAR, MS_DTR, MS_RTS, MS_CTS, MS_DSR}) {
    if ((changed & bit) == 0) {
      out += "        ";
    } else {
      out += (bits & bit) != 0 ? "^^^^^^  " : "^^^^^^^ ";
    }
  }
  out += "        \n\r";
  return out;
}

std::string banner(const std::string& tty_name) {
  const std::string text = " MEVO --- port=" + tty_name + " ";
  std::string out = "\n\r";
  if (text.size() < 40) {
    const std::string dashes((40 - text.size()) / 2, '-');
    out += dashes + text + dashes + "\a";
  } else {
    out += text;
  }
  out += "\n\r";
  return out;
}

} // namespace mevo
