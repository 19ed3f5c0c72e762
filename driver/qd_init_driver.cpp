// Driver-wide initialisation, run by the first attach of each load.
#include "ksys/cmn_err.h"
#include "ksys/ddi.h"
#include "ksys/time.h"
#include "qd_entry.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_timer.h"
#include "qd_trace_mode.h"
#include "qd_trace_route.h"
#include "qd_unitops.h"

namespace {

constexpr const char* platform_line =
#if defined(__sparcv9)
    "     for 64-bit Solaris 7 (SPARC) configured.\n";
#elif defined(__sparc)
    "     for Solaris 2.5, 2.5.1, 2.6, 32-bit 7 (SPARC) configured.\n";
#else
    "     for Solaris 2.5.1, 2.6, 7 (X86) configured.\n";
#endif

// The root node's "ttymodes", when it is a termios record: a property of any other
// length is not one, and reading it as one would take garbage for the line defaults.
void read_ttymodes() {
  auto* buf = static_cast<caddr_t>(qd_malloc(QD_TTYMODES_BUF));
  if (buf == nullptr) {
    return;
  }
  int len = QD_TTYMODES_BUF - 1;
  const int r =
      ddi_prop_op(DDI_DEV_T_ANY, ddi_root_node(), PROP_LEN_AND_VAL_BUF, 0, "ttymodes", buf, &len);
  if (r == DDI_PROP_SUCCESS && len == static_cast<int>(sizeof(termios))) {
    dflt_termios = reinterpret_cast<termios*>(buf);
  } else {
    qd_trace_drv("ttymodes not used, len=%\n", len);
  }
}

} // namespace

void qdm_init_driver(dev_info_t* dip) {
  if (qd_init_driver_done != 0) {
    qd_trace_drv("qdm_init_driver called again");
    return;
  }
  qd_init_driver_done = 1;
  cmn_err(CE_CONT, "Orvane Lanvara(R)/QMX(TM) Module Driver %s %s\n", QD_RELEASE, qd_trace_banner);
  cmn_err(CE_CONT, "%s", platform_line);

  // Tests of the timer start the driver without a device node, and so without qd.conf.
  if (dip != nullptr) {
    qd_vrn_config(dip);
  }

  // "qmx_mutex" was named at load: probe grows the pool before any attach.
  mutex_init(&qd_scsi_ioctl_mutex, "scsi_ioctl", MUTEX_DRIVER, nullptr);
  cv_init(&qd_lbolt, "qd_lbolt", CV_DRIVER, nullptr);

  qd_timer_running = 1;
  timeout(qdf_timer, nullptr, hz);

  read_ttymodes();
}
