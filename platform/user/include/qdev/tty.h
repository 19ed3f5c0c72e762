// Terminal settings of a port node, on the System V records the driver uses (ksys/termios.h:
// the 36-byte termios, TCGETS/TCSETS, TIOCM bits).
//
// Rule: these records and the host's <termios.h> (or <sys/ioctl.h>) never meet in one
// translation unit; both declare `termios` and the speed and ioctl names with other values.
// A program that also drives the user's own terminal (mevo) keeps that code in a file that
// includes <termios.h> and its port code in another that includes this header. Either
// order of inclusion fails to compile, so a slip is caught at once.
//
// These helpers act on node descriptors only; on any other descriptor they fail with ENOTTY
// (use the host's calls there).
#pragma once

#ifdef TCSANOW
#error "qdev/tty.h cannot share a translation unit with the host's <termios.h>"
#endif

#include "ksys/termios.h"

namespace qdev {

// tcsetattr actions: the ioctl that applies the record.
inline constexpr int TCSANOW = TCSETS;
inline constexpr int TCSADRAIN = TCSETSW;
inline constexpr int TCSAFLUSH = TCSETSF;

int tcgetattr(int fd, termios* t);
int tcsetattr(int fd, int action, const termios* t);
// Speeds are the codes B0 to B460800; codes above B38400 are carried with CBAUDEXT
// (CIBAUDEXT for the input speed). An input speed of B0 means "as the output speed".
speed_t cfgetospeed(const termios* t);
speed_t cfgetispeed(const termios* t);
int cfsetospeed(termios* t, speed_t speed); // 0, or -1 with EINVAL for an unknown code
int cfsetispeed(termios* t, speed_t speed);
int tcflush(int fd, int queue);        // TCIFLUSH, TCOFLUSH, TCIOFLUSH
int tcflow(int fd, int action);        // TCOOFF, TCOON, TCIOFF, TCION
int tcsendbreak(int fd, int duration); // a break (TCSBRK 0); the duration is not used
int tcdrain(int fd);                   // waits for output to drain (TCSBRK 1)
// The modem bits (TIOCM_*) of the port, and setting them.
int get_modem(int fd, int* bits);
int set_modem(int fd, int bits);

} // namespace qdev
