// Every driver-wide variable, and the one routine that gives them their load-time values.
// A new driver-wide variable is defined here and reset below.
#include "qd_state.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "qd_diag_ioctl.h"
#include "qd_entry.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_pool.h"
#include "qd_timer.h"
#include "qd_trace.h"
#include "qd_unit.h"
#include "qd_unitops.h"

int qd_systime = QD_SYSTIME_START;
std::uint32_t qd_err_level = 1;
kcondvar_t qd_lbolt;
termios* dflt_termios;

qd_unit* qd_units[QD_NUNITS];
scsi_device* qd_devs[QD_NDEVS];
dev_info_t* qd_bus_dips[QD_MAX_BUSES];
int qd_bus_cnt;
qd_unit global_unit; // its target is 255 from the reset on

qd_line* qd_diag;
kmutex_t qd_diag_mutex;

qd_pkt_pool qd_pkts;

qd_mem_hdr* qd_mem_head;
kmutex_t qd_mem_mutex;
int qd_mem_mutex_made;

qd_trace_ring_if<qd_trace_on> qd_trcbuf;

int qd_init_driver_done;
kmutex_t qd_scsi_ioctl_mutex;
qd_scsi_slot qd_scsi_ioctl_slot;

int qd_timer_running;
int qd_going_down;
int qd_last_scan;

std::uint32_t forceload;
int global_made;
int ether_made;
dev_info_t* qd_global_dip;
std::int32_t qd_unload_tries;
int qd_mod_loaded;
int qd_takedown_done;
int qd_attached;
int qd_entry_active;

namespace {
// Records and plain structures go back to all zero bytes, as at load.
template <class T> void zero(T& v) {
  static_assert(std::is_trivial_v<T>);
  std::memset(static_cast<void*>(&v), 0, sizeof v);
}
} // namespace

void qd_reset_driver_state() {
  qd_systime = QD_SYSTIME_START;
  qd_err_level = 1;
  zero(qd_lbolt);
  dflt_termios = nullptr;

  std::fill(std::begin(qd_units), std::end(qd_units), nullptr);
  std::fill(std::begin(qd_devs), std::end(qd_devs), nullptr);
  std::fill(std::begin(qd_bus_dips), std::end(qd_bus_dips), nullptr);
  qd_bus_cnt = 0;
  zero(global_unit);
  global_unit.qdu_target = QD_GLOBAL_TARGET;

  qd_diag = nullptr;
  zero(qd_diag_mutex);

  zero(qd_pkts);
  // Named from the start, so that the lock order is checked from the first probe on.
  mutex_init(&qd_pkts.qmx_mutex, "qmx_mutex", MUTEX_DRIVER, nullptr);

  qd_mem_head = nullptr;
  zero(qd_mem_mutex);
  qd_mem_mutex_made = 0;

  zero(qd_trcbuf);

  qd_init_driver_done = 0;
  zero(qd_scsi_ioctl_mutex);
  zero(qd_scsi_ioctl_slot);

  qd_timer_running = 0;
  qd_going_down = 0;
  qd_last_scan = 0;

  forceload = 0;
  global_made = 0;
  ether_made = 0;
  qd_global_dip = nullptr;
  qd_unload_tries = 0;
  qd_mod_loaded = 0;
  qd_takedown_done = 0;
  qd_attached = 0;
  qd_entry_active = 0;
}
