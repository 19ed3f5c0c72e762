// The unit record: one per SCSI target or Lanvara module, reached through qd_units.
// Records come zeroed from qd_malloc and are freed raw at unload: plain data only.
#pragma once

#include <cstdint>
#include <type_traits>

#include "ksys/mutex.h"
#include "ksys/time.h"
#include "ksys/tty_common.h"
#include "qd.h"
#include "qd_trace.h"
#include "qmx_unittab.h"

struct qd_line;
struct dev_info;
using dev_info_t = dev_info;
struct scsi_device;
struct scsi_pkt;
struct buf;

// qdu_flags
inline constexpr std::uint32_t QDU_BUSY = 0x01;         // bring-up or take-down running
inline constexpr std::uint32_t QDU_INITD = 0x02;        // brought up
inline constexpr std::uint32_t QDU_TRANSPORT_UP = 0x04; // transport running
inline constexpr std::uint32_t QDU_OFFLINE = 0x08;
inline constexpr std::uint32_t QDU_ATTACHED = 0x10;
inline constexpr std::uint32_t QDU_WAS_ONLINE = 0x20; // has been up at least once
inline constexpr std::uint32_t QDU_LOCKED = 0x40;     // QMXLOCK holds it
inline constexpr std::uint32_t QDU_LANVARA = 0x80;    // Ethernet module

// Capability bits (qdu_caps), from the firmware revision.
inline constexpr std::uint32_t QDU_CAP_TIMEOUT15 = 0x1; // 15 s SCSI command time-out
inline constexpr std::uint32_t QDU_CAP_RESET = 0x2;     // FAS_RESET before re-enable
inline constexpr std::uint32_t QDU_CAP_WAITSEND = 0x8;  // FAS_WAIT_SEND supported

// The capability bits of a firmware revision written "V<major>.<minor>": the 15-second
// time-out from major 2 on, FAS_RESET and FAS_WAIT_SEND from 2.3 on. Characters compare as
// signed 8-bit codes; a revision shorter than four characters reads no further than its end.
inline std::uint32_t qd_fw_caps(const char* fwrev) {
  const auto second = fwrev[0] != '\0' ? static_cast<signed char>(fwrev[1]) : 0;
  const auto fourth = second != '\0' && fwrev[2] != '\0' ? static_cast<signed char>(fwrev[3]) : 0;
  std::uint32_t caps = 0;
  if (second > '1') {
    caps |= QDU_CAP_TIMEOUT15;
  }
  if (second > '2' || (second == '2' && fourth > '2')) {
    caps |= QDU_CAP_RESET | QDU_CAP_WAITSEND;
  }
  return caps;
}

struct qd_unit {
  std::uint32_t qdu_flags;
  const qd_unitinfo* qdu_info; // model row; null in global_unit
  qd_line** qd_lines;          // one per port (32 on Lanvara units); null until first open
  char qdu_fwrev[5];           // 4 characters and a NUL
  std::uint32_t qdu_caps;
  std::uint32_t qdu_pod_offline; // bit p: pod p reported offline
  int qdu_offline_time;          // qd_systime when it last went offline
  int qdu_enabled_lines;
  qd_line* qdu_unitnode;     // Lanvara: the unit node's line record
  mblk_t* qdu_lock_mp;       // QMXLOCK request being answered
  int qdu_lock_count;        // QMXLOCK one-second checks left
  timeout_id_t qdu_lock_tid; // the QMXLOCK check armed; null when none
  qd_pkt* pkt_head;          // outgoing chain
  qd_pkt* pkt_tail;
  qd_pkt* qdu_inflight;     // packet of the outstanding WRITE
  qd_pkt* qdu_rcvpkt;       // where answers arrive
  int qdu_bus;              // logical SCSI bus 0-15; -1 on Lanvara units
  int qdu_target;           // SCSI target, or Lanvara unit number; 255 in global_unit
  std::uint8_t qdu_state;   // transport state
  std::uint32_t qdu_ipaddr; // Lanvara: network byte order
  int qdu_poll_time;        // qd_systime of the last poll answer or of coming online
  int qdu_send_backoff;     // tenths of a second
  int qdu_recv_backoff;
  scsi_device* qdu_devp;
  scsi_pkt* qdu_sendpkt;
  scsi_pkt* qdu_recvpkt;
  buf* qdu_sendbp;
  buf* qdu_recvbp;
  kmutex_t unit_mutex;
  kmutex_t intr_mutex;
  kmutex_t ttycommon_mutex; // initialised and destroyed with the unit, never taken
  kcondvar_t qd_up_cv;
  int qdu_statuslen; // 32 with auto request sense, else 1
  int qdu_poll_sent; // clock ticks when the last FAS_UNIT_POLL was queued
  int qdu_srtt;      // smoothed poll answer time, clock ticks
  int qdu_rttvar;    // its deviation
  int qdu_max_send;  // most data bytes of one FAS_SEND
  // The SCSI retry callout armed for the command that failed, null when none is pending;
  // going offline cancels it, and a retry that finds it cleared does nothing.
  timeout_id_t qdu_retry_tid;
  [[no_unique_address]] qd_trace_ring_if<qd_trace_units> qdu_trc;
};
static_assert(std::is_trivial_v<qd_unit>);

inline constexpr int QD_NUNITS = 512;   // 256 SCSI (bus * 16 + target), 256 Lanvara
inline constexpr int QD_VRN_BASE = 256; // qd_units index of Lanvara unit 0
inline constexpr int QD_NDEVS = 256;    // bus * 16 + target
inline constexpr int QD_MAX_BUSES = 16;
inline constexpr int QD_VRN_NLINES = 32; // port table of a Lanvara unit
inline constexpr int QD_GLOBAL_TARGET = 255;

extern qd_unit* qd_units[QD_NUNITS];
extern scsi_device* qd_devs[QD_NDEVS];
extern dev_info_t* qd_bus_dips[QD_MAX_BUSES]; // host bus adapters in first-seen order
extern int qd_bus_cnt;
// Stands for no unit: the diagnostic node's record. It has no model row.
extern qd_unit global_unit;

// A Lanvara unit (QDU_LANVARA).
inline bool qdu_is_lanvara(const qd_unit* up) {
  return (up->qdu_flags & QDU_LANVARA) != 0;
}
// A unit whose ports come in pods of 18; never global_unit.
inline bool qdu_is_pod(const qd_unit* up) {
  return up->qdu_info != nullptr && (up->qdu_info->flags & QDM_PODS) != 0;
}
