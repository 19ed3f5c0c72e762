#include "port_termios.h"

#include "baud_table.h"

namespace mevo {

static_assert(kTiocmDtr == TIOCM_DTR && kTiocmRts == TIOCM_RTS && kTiocmCts == TIOCM_CTS &&
              kTiocmCar == TIOCM_CAR && kTiocmDsr == TIOCM_DSR);
static_assert(kSpeedB38400 == B38400 && baudtab[0].speed == B50 && baudtab[13].speed == B19200);

bool is_hwfc(const termios& t) {
  return (t.c_cflag & CRTSCTS) != 0;
}

void set_hwfc(termios& t) {
  t.c_cflag |= CRTSCTS;
}

void clr_hwfc(termios& t) {
  t.c_cflag &= ~CRTSCTS;
}

termios make_port_termios(const termios& current, const Settings& line, speed_t speed) {
  termios t = current;
  t.c_lflag = 0;
  t.c_oflag &= ~(OPOST | ONLCR);
  t.c_iflag &= ~(IXANY | IUCLC | ICRNL | INLCR | INPCK | PARMRK | BRKINT);
  t.c_iflag |= IGNBRK;
  t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
  t.c_cflag |= CREAD | HUPCL | CLOCAL;
  switch (line.csize) {
  case 6:
    t.c_cflag |= CS6;
    break;
  case 7:
    t.c_cflag |= CS7;
    break;
  case 8:
    t.c_cflag |= CS8;
    break;
  default:
    break; // CS5 has no bits
  }
  if (line.parity == 1) {
    t.c_cflag |= PARENB | PARODD;
    t.c_iflag |= INPCK;
  } else if (line.parity == 2) {
    t.c_cflag |= PARENB;
    t.c_iflag |= INPCK;
  }
  if (line.swfc != 0) {
    t.c_iflag |= IXON | IXOFF;
  } else {
    t.c_iflag &= ~(IXON | IXOFF);
  }
  if (line.hwfc != 0) {
    set_hwfc(t);
  } else {
    clr_hwfc(t);
  }
  if (line.cstopb != 0) {
    t.c_cflag |= CSTOPB;
  }
  qdev::cfsetospeed(&t, speed);
  qdev::cfsetispeed(&t, speed);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 1;
  return t;
}

PortReading reading_of(const termios& t) {
  PortReading r;
  r.speed = static_cast<int>(qdev::cfgetospeed(&t));
  r.swfc = (t.c_iflag & (IXON | IXOFF)) != 0;
  r.hwfc = is_hwfc(t);
  return r;
}

} // namespace mevo
