// The line record: one per port from its first open until unload, one per opened Lanvara
// unit node and one (qd_diag) shared by every open of the diagnostic node. Records come
// zeroed from qd_malloc and are freed raw at unload: plain data only.
#pragma once

#include <cstdint>
#include <source_location>
#include <type_traits>

#include "ksys/mutex.h"
#include "ksys/stream.h"
#include "ksys/time.h"
#include "ksys/tty_common.h"
#include "ksys/types.h"
#include "qd.h"
#include "qd_log.h"
#include "qd_trace.h"

struct qd_unit;
struct qd_line;
struct qd_parq;

// qdl_flags
inline constexpr std::uint32_t QDL_BUSY = 0x1; // open/close step running, or guard delay
inline constexpr std::uint32_t QDL_ENABLED = 0x2;
inline constexpr std::uint32_t QDL_ENABLE_PEND = 0x4;  // waiting for the FAS_FLOW_CTRL answer
inline constexpr std::uint32_t QDL_DISABLE_PEND = 0x8; // FAS_DISABLE answer awaited
inline constexpr std::uint32_t QDL_EDP_TIMEOUT = 0x10; // enable, disable or reset wait timed out
inline constexpr std::uint32_t QDL_HELD = 0x20;        // carrier lost on a modem line
inline constexpr std::uint32_t QDL_CARRIER = 0x40;
inline constexpr std::uint32_t QDL_PARALLEL = 0x80;
inline constexpr std::uint32_t QDL_HUPCL = 0x100;
inline constexpr std::uint32_t QDL_STOPI = 0x200;
inline constexpr std::uint32_t QDL_RESTART_DEFER = 0x400; // input grant waits for M_STARTI
inline constexpr std::uint32_t QDL_LOOPBACK = 0x800;
inline constexpr std::uint32_t QDL_DIALIN_OPEN = 0x1000;
inline constexpr std::uint32_t QDL_DIALOUT_OPEN = 0x2000;
inline constexpr std::uint32_t QDL_LOCAL = 0x4000;     // soft carrier, or a parallel port
inline constexpr std::uint32_t QDL_UTIL_WAIT = 0x8000; // TIOCMGET awaits its FAS_STAT_CHG answer
inline constexpr std::uint32_t QDL_STOPPED = 0x10000;  // M_STOP
inline constexpr std::uint32_t QDL_DRAIN_WAIT = 0x20000;
inline constexpr std::uint32_t QDL_DRAIN_TIMER = 0x40000;
inline constexpr std::uint32_t QDL_DRAIN_WANTED = 0x80000; // drain waits for the FAS_SEND answer
inline constexpr std::uint32_t QDL_OFFLINE = 0x100000;     // offline or not yet enabled
inline constexpr std::uint32_t QDL_SEND_OUT = 0x200000;    // a FAS_SEND is outstanding
inline constexpr std::uint32_t QDL_OUTPUT_ACTIVE = 0x400000;
inline constexpr std::uint32_t QDL_WAITSEND_OUT = 0x1000000;
inline constexpr std::uint32_t QDL_DIAG = 0x2000000;
inline constexpr std::uint32_t QDL_UNITNODE = 0x4000000;
inline constexpr std::uint32_t QDL_INITDEINIT = 0x8000000; // the line holds its unit up
// A line sends no data while any of these is set.
inline constexpr std::uint32_t QDL_OUTPUT_BLOCKED =
    QDL_HELD | QDL_STOPPED | QDL_OFFLINE | QDL_SEND_OUT;
static_assert(QDL_OUTPUT_BLOCKED == 0x310020);

// Open/close states (oc_state).
inline constexpr std::uint8_t OC_CLOSED = 0;
inline constexpr std::uint8_t OC_OPEN = 1;
inline constexpr std::uint8_t OC_WAIT_CARRIER = 2;
inline constexpr std::uint8_t OC_DIALOUT = 3;
inline constexpr std::uint8_t OC_DIALOUT_WAITER = 4;

// The output functions: qdf_serial_output, qdf_parallel_output, qdf_drain_output.
using qd_output_fn = void (*)(queue_t* q, mblk_t* mp, qd_line* lp);

inline constexpr int QD_FAS_LOG_ENTRIES = 64;
inline constexpr int QD_UNITNODE_LINE = 255; // line number of a unit-node record

struct qd_line {
  std::uint32_t qdl_flags;
  kcondvar_t qd_cv;               // "qd_cv"; "qd_diag_cv" on the diagnostic line
  std::uint8_t oc_state;          // OC_*
  std::uint8_t last_oc_state;     // before the latest open/close step
  std::uint8_t last_fas_status;   // whole status byte of the last enable/disable/reset answer
  std::uint8_t line_num;          // port index; 255 in a unit-node record
  std::int32_t open_error;        // errno of a failing open/close action
  std::int32_t cltmr;             // s: close watchdog of a modem or dial-out line
  std::int32_t lcltmr;            // s: close watchdog of a local dial-in line
  std::int32_t louttmr;           // s: local output completion watchdog, 0 off
  std::int32_t outtmr;            // s: output completion watchdog, 0 off
  std::int32_t dtrdel;            // ticks: DTR low time and modem/dial-out guard delay
  std::int32_t grddel;            // ticks: guard delay of local dial-in lines
  std::int32_t last_dialin_close; // qd_systime
  std::int32_t last_dtr_drop;     // lbolt
  std::uint32_t modem_bits;       // TIOCM_* as last set or reported
  timeout_id_t edp_tid;           // qdf_edp_timeout
  timeout_id_t drain_tid;
  timeout_id_t ioctl_tid; // ioctl watchdog
  // Pending input-grant retry (qdf_restart_input), null when none: kept so that it can be
  // cancelled before the record goes away and so that one line never runs two retry chains.
  timeout_id_t restart_tid;
  bufcall_id_t reioctl_bid; // buffer callback that re-runs t_iocpending, 0 when none
  std::int32_t inputctrl_answers;
  std::int32_t wdog_count; // output watchdog count
  std::int32_t missed_polls;
  std::uint32_t qdl_minor; // of the latest successful open; bit 17: dial-out node
  qd_unit* unit;           // global_unit on the diagnostic line
  std::int32_t speed;      // bit/s
  std::int32_t send_size;  // current FAS_SEND size
  std::int32_t speed_ext;  // 0-7, added to the termios speed index
  qd_output_fn output;
  std::int32_t offline_time;    // qd_systime
  mblk_t* getmdm;               // pending TIOCMGET
  mblk_t* setmdm;               // pending TIOCMSET, TIOCMBIS, TIOCMBIC
  mblk_t* termio_mesg;          // pending parameter ioctl
  kmutex_t* unit_mutex;         // guards every field of the record
  unsigned char last_params[8]; // byte 0 = 255 forces a resend
  unsigned char last_flow[8];
  qd_parq* parq; // parallel ports only
  tty_common_t tty;
  std::uint32_t err_level;
  unsigned char* fas_log_ptr; // next entry of fas_log
  unsigned char fas_log[QD_FAS_LOG_ENTRIES][8];
  [[no_unique_address]] qd_trace_ring_if<qd_trace_lines> qdl_trc;
};
static_assert(std::is_trivial_v<qd_line>);

// An ioctl of the line waits in a pending slot for the unit's answer.
inline bool qdl_ioctl_pending(const qd_line* lp) {
  return lp->getmdm != nullptr || lp->setmdm != nullptr || lp->termio_mesg != nullptr;
}

// At the entry of a routine whose callers hold the line's unit mutex ("qd_diag_mutex" on
// the diagnostic line).
inline void
qd_assert_line_held([[maybe_unused]] const qd_line* lp,
                    [[maybe_unused]] std::source_location where = std::source_location::current()) {
  if constexpr (qd_lock_checks) {
    qd_assert_held(lp->unit_mutex, where);
  }
}

// The diagnostic node's shared record (null until its first open), and its mutex.
extern qd_line* qd_diag;
extern kmutex_t qd_diag_mutex;

// What a minor number opens.
enum class qd_node_kind {
  diag,     // low 17 bits 0xffff
  unitnode, // Lanvara unit node: port 0xff with bit 16
  refused,  // port 0xff of a SCSI unit
  port,     // bit 17: the dial-out node
};
inline constexpr qd_node_kind qd_minor_kind(minor_t minor) {
  const qd_minor m{minor};
  if ((minor & (qd_minor::DIAG | qd_minor::LANVARA)) == qd_minor::DIAG) {
    return qd_node_kind::diag;
  }
  if (m.unit_node()) {
    return qd_node_kind::unitnode;
  }
  if (m.port() == qd_minor::UNITNODE_PORT) {
    return qd_node_kind::refused;
  }
  return qd_node_kind::port;
}
inline constexpr minor_t QD_MINOR_DIALOUT = qd_minor::DIALOUT;
inline constexpr minor_t QD_MINOR_LANVARA = qd_minor::LANVARA;

// Gives a zeroed record the values of a port's record at its first open: line number,
// unit, the unit's "unit_mutex", cv_init of "qd_cv", QDL_OFFLINE, the watchdogs and
// delays, the last dial-in close (qd_systime - 15), the last DTR drop (lbolt - dtrdel),
// the error level (qd_err_level) and the command-log cursor. Entering the record in the
// unit's port table is the caller's.
void qd_line_create_port(qd_line* lp, qd_unit* up, unsigned line_num);
