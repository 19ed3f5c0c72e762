// The line settings and program state that every part of mevo shares. One Session lives for
// the whole run; the relay, the tilde commands and the exit path all work on it.
#pragma once

#include <string>

namespace mevo {

// Internal modem bits of `mdmsigs`, as the displays show them.
inline constexpr int MS_CAR = 16;
inline constexpr int MS_DTR = 8;
inline constexpr int MS_RTS = 4;
inline constexpr int MS_CTS = 2;
inline constexpr int MS_DSR = 1;

// The modem ioctl bits they stand for. Both the port's records and the host use these
// values; the port side checks that at compile time.
inline constexpr int kTiocmDtr = 0x002;
inline constexpr int kTiocmRts = 0x004;
inline constexpr int kTiocmCts = 0x020;
inline constexpr int kTiocmCar = 0x040;
inline constexpr int kTiocmDsr = 0x100;

// Internal bits for CAR, DTR, RTS, CTS and DSR of a modem ioctl word.
int internal_modem_bits(int tiocm);
// The modem ioctl word that raises exactly DTR and RTS as `mdmsigs` asks.
int tiocm_of(int mdmsigs);

// Line settings, all rebuilt into the port's termios by every set_tty_params.
struct Settings {
  int baudrate = 9600;
  int csize = 8;  // 5 to 8
  int parity = 0; // 0 none, 1 odd, 2 even
  int cstopb = 0; // 1: two stop bits
  int swfc = 1;   // IXON and IXOFF
  int hwfc = 0;   // CRTSCTS
};

// The longest port path taken from the command line.
inline constexpr std::size_t kMaxTtyName = 79;

struct Session {
  Settings line;
  int mdmsigs = MS_DTR | MS_RTS;
  int init_port = 1;
  int baud_exten_supported = 0;
  std::string tty_name;
  std::string lock_file; // empty: no lock held
  int screen_fd = 1;     // where displays and plain messages go
};

} // namespace mevo
