// Terminal records, flags and ioctl codes with the classic System V values. The driver
// and the programs' device I/O use these, never the host's <termios.h>.
#pragma once

#include <cstdint>

using tcflag_t = std::uint32_t;
using cc_t = unsigned char;
using speed_t = std::uint32_t;

inline constexpr int NCCS = 19;
inline constexpr int NCC = 8;

struct termios {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_cc[NCCS];
};
static_assert(sizeof(termios) == 36);

struct termio {
  unsigned short c_iflag;
  unsigned short c_oflag;
  unsigned short c_cflag;
  unsigned short c_lflag;
  char c_line;
  unsigned char c_cc[NCC];
};
static_assert(sizeof(termio) == 18);

struct winsize {
  unsigned short ws_row;
  unsigned short ws_col;
  unsigned short ws_xpixel;
  unsigned short ws_ypixel;
};

// c_cc indexes. VMIN and VTIME share the slots of VEOF and VEOL (used when ICANON is off).
inline constexpr int VINTR = 0;
inline constexpr int VQUIT = 1;
inline constexpr int VERASE = 2;
inline constexpr int VKILL = 3;
inline constexpr int VEOF = 4;
inline constexpr int VEOL = 5;
inline constexpr int VMIN = 4;
inline constexpr int VTIME = 5;
// The start and stop characters, and their usual values.
inline constexpr int VSTART = 8;
inline constexpr int VSTOP = 9;
inline constexpr cc_t CSTART = 021; // ^Q
inline constexpr cc_t CSTOP = 023;  // ^S

// c_iflag
inline constexpr tcflag_t IGNBRK = 0x1;
inline constexpr tcflag_t BRKINT = 0x2;
inline constexpr tcflag_t IGNPAR = 0x4;
inline constexpr tcflag_t PARMRK = 0x8;
inline constexpr tcflag_t INPCK = 0x10;
inline constexpr tcflag_t ISTRIP = 0x20;
inline constexpr tcflag_t INLCR = 0x40;
inline constexpr tcflag_t IGNCR = 0x80;
inline constexpr tcflag_t ICRNL = 0x100;
inline constexpr tcflag_t IUCLC = 0x200;
inline constexpr tcflag_t IXON = 0x400;
inline constexpr tcflag_t IXANY = 0x800;
inline constexpr tcflag_t IXOFF = 0x1000;

// c_oflag
inline constexpr tcflag_t OPOST = 0x1;
inline constexpr tcflag_t OLCUC = 0x2;
inline constexpr tcflag_t ONLCR = 0x4;

// c_lflag
inline constexpr tcflag_t ISIG = 0x1;
inline constexpr tcflag_t ICANON = 0x2;
inline constexpr tcflag_t ECHO = 0x8;
inline constexpr tcflag_t ECHOE = 0x10;
inline constexpr tcflag_t ECHOK = 0x20;
inline constexpr tcflag_t ECHONL = 0x40;
inline constexpr tcflag_t NOFLSH = 0x80;
inline constexpr tcflag_t IEXTEN = 0x8000;

// c_cflag
inline constexpr tcflag_t CBAUD = 0xF;
inline constexpr tcflag_t CSIZE = 0x30;
inline constexpr tcflag_t CS5 = 0x0;
inline constexpr tcflag_t CS6 = 0x10;
inline constexpr tcflag_t CS7 = 0x20;
inline constexpr tcflag_t CS8 = 0x30;
inline constexpr tcflag_t CSTOPB = 0x40;
inline constexpr tcflag_t CREAD = 0x80;
inline constexpr tcflag_t PARENB = 0x100;
inline constexpr tcflag_t PARODD = 0x200;
inline constexpr tcflag_t HUPCL = 0x400;
inline constexpr tcflag_t CLOCAL = 0x800;
inline constexpr tcflag_t CIBAUD = 0xF0000;
inline constexpr tcflag_t IBSHIFT = 16;
inline constexpr tcflag_t CBAUDEXT = 0x200000;
inline constexpr tcflag_t CIBAUDEXT = 0x400000;
inline constexpr tcflag_t CRTSCTS = 0x80000000;

// Speeds (the CBAUD field; with CBAUDEXT the field holds speed - 16).
inline constexpr tcflag_t B0 = 0;
inline constexpr tcflag_t B50 = 1;
inline constexpr tcflag_t B75 = 2;
inline constexpr tcflag_t B110 = 3;
inline constexpr tcflag_t B134 = 4;
inline constexpr tcflag_t B150 = 5;
inline constexpr tcflag_t B200 = 6;
inline constexpr tcflag_t B300 = 7;
inline constexpr tcflag_t B600 = 8;
inline constexpr tcflag_t B1200 = 9;
inline constexpr tcflag_t B1800 = 10;
inline constexpr tcflag_t B2400 = 11;
inline constexpr tcflag_t B4800 = 12;
inline constexpr tcflag_t B9600 = 13;
inline constexpr tcflag_t B19200 = 14;
inline constexpr tcflag_t B38400 = 15;
inline constexpr tcflag_t B57600 = 16;
inline constexpr tcflag_t B76800 = 17;
inline constexpr tcflag_t B115200 = 18;
inline constexpr tcflag_t B153600 = 19;
inline constexpr tcflag_t B230400 = 20;
inline constexpr tcflag_t B307200 = 21;
inline constexpr tcflag_t B460800 = 22;

// Modem bits (TIOCM*)
inline constexpr int TIOCM_LE = 0x1;
inline constexpr int TIOCM_DTR = 0x2;
inline constexpr int TIOCM_RTS = 0x4;
inline constexpr int TIOCM_ST = 0x8;
inline constexpr int TIOCM_SR = 0x10;
inline constexpr int TIOCM_CTS = 0x20;
inline constexpr int TIOCM_CAR = 0x40;
inline constexpr int TIOCM_CD = TIOCM_CAR;
inline constexpr int TIOCM_RNG = 0x80;
inline constexpr int TIOCM_RI = TIOCM_RNG;
inline constexpr int TIOCM_DSR = 0x100;

// Terminal ioctl codes.
inline constexpr int TIOC = 'T' << 8;
inline constexpr int TCGETA = TIOC | 1;
inline constexpr int TCSETA = TIOC | 2;
inline constexpr int TCSETAW = TIOC | 3;
inline constexpr int TCSETAF = TIOC | 4;
inline constexpr int TCSBRK = TIOC | 5;
inline constexpr int TCXONC = TIOC | 6;
inline constexpr int TCFLSH = TIOC | 7;
inline constexpr int TCGETS = TIOC | 13;
inline constexpr int TCSETS = TIOC | 14;
inline constexpr int TCSETSW = TIOC | 15;
inline constexpr int TCSETSF = TIOC | 16;
inline constexpr int TIOCSWINSZ = TIOC | 103;
inline constexpr int TIOCGWINSZ = TIOC | 104;
inline constexpr int TIOCGSOFTCAR = TIOC | 105;
inline constexpr int TIOCSSOFTCAR = TIOC | 106;

inline constexpr int tIOC = 't' << 8;
inline constexpr int TIOCEXCL = tIOC | 13;
inline constexpr int TIOCNXCL = tIOC | 14;
inline constexpr int TIOCSTI = tIOC | 23;
inline constexpr int TIOCMSET = tIOC | 26;
inline constexpr int TIOCMBIS = tIOC | 27;
inline constexpr int TIOCMBIC = tIOC | 28;
inline constexpr int TIOCMGET = tIOC | 29;
inline constexpr int TIOCSBRK = tIOC | 123;
inline constexpr int TIOCCBRK = tIOC | 122;

// TCFLSH arguments and TCXONC arguments.
inline constexpr int TCIFLUSH = 0;
inline constexpr int TCOFLUSH = 1;
inline constexpr int TCIOFLUSH = 2;
inline constexpr int TCOOFF = 0;
inline constexpr int TCOON = 1;
inline constexpr int TCIOFF = 2;
inline constexpr int TCION = 3;
