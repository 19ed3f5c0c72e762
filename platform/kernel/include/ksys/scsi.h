// The SCSI target driver interface: device, address and packet records and the calls a
// target driver makes. Completions run at interrupt level, never inside scsi_transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ksys/buf.h"
#include "ksys/ddi.h"
#include "ksys/scsi_codes.h"
#include "ksys/scsi_data.h"
#include "ksys/types.h"

struct scsi_hba_tran;
struct scsi_device;
struct scsi_pkt;

// Where a target sits: its adapter's transport, target and LUN.
struct scsi_address {
  scsi_hba_tran* a_hba_tran;
  ushort_t a_target;
  uchar_t a_lun;
  uchar_t a_sublun;
};

// One host bus adapter's transport. Target drivers use it only to reach the adapter's
// device node; the rest belongs to the adapter.
struct scsi_hba_tran {
  dev_info_t* tran_hba_dip; // the adapter's node (null for an adapter outside the tree)
  void* tran_hba_private;   // the adapter's own
  void* tran_tgt_private;
};

// One target and LUN as its target driver sees it; a SCSI child node carries it as its
// driver-private data.
struct scsi_device {
  scsi_address sd_address;
  dev_info_t* sd_dev;            // the child node (null for a device outside the tree)
  scsi_inquiry* sd_inq;          // set by scsi_probe, released by scsi_unprobe
  caddr_t sd_private;            // the target driver's own
  scsi_extended_sense* sd_sense; // not used by this layer
};

// Resource callbacks: NULL_FUNC (do not wait) or SLEEP_FUNC (wait for memory). Other
// functions are accepted and treated as NULL_FUNC: they are never called back.
using scsi_callback_t = int (*)(caddr_t);
inline constexpr scsi_callback_t NULL_FUNC = nullptr;
inline const scsi_callback_t SLEEP_FUNC = reinterpret_cast<scsi_callback_t>(std::uintptr_t{1});

// One command. Comes zeroed from scsi_init_pkt or get_pktiopb with its CDB and status
// areas in place.
struct scsi_pkt {
  void* pkt_ha_private; // the adapter's own
  scsi_address pkt_address;
  void* pkt_private;               // the target driver's own (points at privatelen bytes, if any)
  void (*pkt_comp)(scsi_pkt* pkt); // completion, at interrupt level
  uint_t pkt_flags;                // FLAG_*
  int pkt_time;          // seconds allowed on the kernel clock; 0 or >= SCSI_TIME_NONE: none
  uchar_t* pkt_scbp;     // status area: the status byte, or a scsi_arq_status
  uchar_t* pkt_cdbp;     // the CDB
  long pkt_resid;        // data bytes not transferred
  uint_t pkt_state;      // STATE_*
  uint_t pkt_statistics; // STAT_*
  uchar_t pkt_reason;    // CMD_*
};
static_assert(std::is_trivial_v<scsi_pkt> && std::is_trivial_v<scsi_device>);

// A pkt_time of this many seconds (a year) or more means no limit.
inline constexpr int SCSI_TIME_NONE = 365 * 24 * 3600;

// ---- Probing -----------------------------------------------------------------------------------

// Sends a polled INQUIRY to the device's address: SCSIPROBE_EXISTS (sd_inq filled),
// SCSIPROBE_NORESP (nothing answers there), or another SCSIPROBE_ result. May block.
int scsi_probe(scsi_device* devp, scsi_callback_t waitfunc);
// Releases what scsi_probe kept (sd_inq).
void scsi_unprobe(scsi_device* devp);

// Adapter capabilities. Known: "auto-rqsense". whom: non-zero this target, 0 every target
// of the adapter. setcap: 1 set, 0 cannot be set, -1 unknown capability; getcap: the value,
// or -1 when unknown.
int scsi_ifsetcap(scsi_address* ap, const char* cap, int value, int whom);
int scsi_ifgetcap(scsi_address* ap, const char* cap, int whom);

// ---- Packets -----------------------------------------------------------------------------------

// Makes a packet (pkt null) with cmdlen CDB bytes, statuslen status bytes (at least one)
// and privatelen private bytes, and binds bp's data to it when bp is given (pkt given:
// binds bp to that packet). Null when memory is short or the layer is told to fail.
scsi_pkt* scsi_init_pkt(scsi_address* ap, scsi_pkt* pkt, buf* bp, int cmdlen, int statuslen,
                        int privatelen, int flags, scsi_callback_t callback, caddr_t arg);
void scsi_destroy_pkt(scsi_pkt* pkt);
// The same release, by its older name.
void scsi_resfree(scsi_pkt* pkt);
// A packet with a data area of its own of datalen bytes (*datap), to read from the device
// (readflag non-zero) or write to it.
scsi_pkt* get_pktiopb(scsi_address* ap, caddr_t* datap, int cdblen, int statuslen, int datalen,
                      int readflag, scsi_callback_t callback);
void free_pktiopb(scsi_pkt* pkt, caddr_t datap, int datalen);
// Makes the data the device transferred visible to the CPU (a no-op here: data is in
// place when the completion runs).
void scsi_sync_pkt(scsi_pkt* pkt);

// Six-byte CDBs. Both set pkt_address from the device and pkt_flags from flag.
// makecom_g0: cmd, LUN (bits 5-7) and a 21-bit block address in bytes 1-3, cnt in byte 4.
void makecom_g0(scsi_pkt* pkt, scsi_device* devp, int flag, int cmd, int addr, int cnt);
// makecom_g0_s (sequential access): cmd, LUN (bits 5-7) and fixbit in byte 1, cnt as a
// 24-bit big-endian count in bytes 2-4.
void makecom_g0_s(scsi_pkt* pkt, scsi_device* devp, int flag, int cmd, int cnt, int fixbit);

// ---- Running commands --------------------------------------------------------------------------

// Starts the command: TRAN_ACCEPT (pkt_comp will run at interrupt level, never inside this
// call), TRAN_BUSY (try again later), TRAN_BADPKT or TRAN_FATAL_ERROR. Clears pkt_reason,
// pkt_state, pkt_statistics, pkt_resid and the status area first.
int scsi_transport(scsi_pkt* pkt);
// Runs the command and waits for it (blocking the calling context, which may hold
// mutexes), within pkt_time. pkt_comp is not called. 0 when it completed (CMD_CMPLT) with
// good status; -1 otherwise (refused, timed out, failed), with the packet's fields telling.
int scsi_poll(scsi_pkt* pkt);
