// Names of the ioctl codes for the trace.
#include "ksys/termios.h"
#include "qddrv.h"
#include "qdio.h"

namespace {

struct qd_ioctl_named {
  int cmd;
  const char* name;
};

constexpr qd_ioctl_named kIoctlNames[] = {
    {TCGETA, "TCGETA"},
    {TCSETA, "TCSETA"},
    {TCSETAW, "TCSETAW"},
    {TCSETAF, "TCSETAF"},
    {TCSBRK, "TCSBRK"},
    {TCGETS, "TCGETS"},
    {TCSETS, "TCSETS"},
    {TCSETSW, "TCSETSW"},
    {TCSETSF, "TCSETSF"},
    {TIOCSWINSZ, "TIOCSWINSZ"},
    {TIOCGWINSZ, "TIOCGWINSZ"},
    {TIOCGSOFTCAR, "TIOCGSOFTCAR"},
    {TIOCSSOFTCAR, "TIOCSSOFTCAR"},
    {qd_ioc(STGET), "STGET"},
    {qd_ioc(STSET), "STSET"},
    {TIOCSTI, "TIOCSTI"},
    {TIOCMSET, "TIOCMSET"},
    {TIOCMBIS, "TIOCMBIS"},
    {TIOCMBIC, "TIOCMBIC"},
    {TIOCMGET, "TIOCMGET"},
    {TIOCSBRK, "TIOCSBRK"},
    {qd_ioc(VRNONLINE), "VRNONLINE"},
    {qd_ioc(VRNOFFLINE), "VRNOFFLINE"},
    {qd_ioc(VRNGETUPTR), "VRNGETUPTR"},
    {qd_ioc(VRNSETUPTR), "VRNSETUPTR"},
    {qd_ioc(QMXGETEXTCTL), "QMXGETEXTCTL"},
    {qd_ioc(QMXSETEXTCTL), "QMXSETEXTCTL"},
    {qd_ioc(QMXLOCK), "QMXLOCK"},
    {qd_ioc(QMXUNLOCK), "QMXUNLOCK"},
    {qd_ioc(QMXFLUSH), "QMXFLUSH"},
    {qd_ioc(QMXFASCMD), "QMXFASCMD"},
    {qd_ioc(QMXTRCBUF), "QMXTRCBUF"},
    {qd_ioc(QMXSCSI), "QMXSCSI"},
};

} // namespace

const char* qdf_ioctl_name(int cmd) {
  for (const qd_ioctl_named& n : kIoctlNames) {
    if (n.cmd == cmd) {
      return n.name;
    }
  }
  return "*** UNKNOWN ***";
}
