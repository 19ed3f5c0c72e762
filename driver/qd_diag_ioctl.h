// Requests of the diagnostic node: the unit lock of the firmware update, the port flush,
// the raw FAS command, the trace fetch and the direct SCSI command. The handlers are called
// by the ioctl dispatch with "qd_diag_mutex" held and return its service outcome.
#pragma once

#include "ksys/stream.h"

struct qd_line;
struct qd_unit;
struct scsi_pkt;

// QMXLOCK: every line of the SCSI unit at bus * 256 + target goes offline; the request is
// answered once the unit's transport is down, or refused with EBUSY after 15 one-second
// checks. Outcome 0 (refused at once) or 2 (held by the unit).
int qdm_lock_unit(queue_t* q, mblk_t* mp);
// The one-second check of a held QMXLOCK request (timeout callback).
void qdm_lock_timeout(void* up);
// QMXUNLOCK: ends the lock and the lines' hold-off. Outcome 0.
int qdm_unlock_unit(queue_t* q, mblk_t* mp);
// QMXFLUSH: hangs up and flushes the port whose minor number is the argument. Outcome 0.
int qdf_flush_ioctl(qd_line* lp, queue_t* q, mblk_t* mp);
// QMXFASCMD: queues one raw FAS command on the diagnostic node's unit record. Outcome 0.
int qdf_fas_ioctl(queue_t* q, mblk_t* mp);
// QMXTRCBUF: copies a whole trace ring to the caller. Outcome 0.
int qd_trc_ioctl(qd_line* lp, queue_t* q, mblk_t* mp);
// QMXSCSI: one SCSI command to any probed device, one at a time driver-wide. Outcome 0
// (answered at once) or 2 (the completion answers).
int qdm_scsi_ioctl(queue_t* q, mblk_t* mp);
// Completion of the direct SCSI command, at interrupt level.
void qdm_siocomp(scsi_pkt* pkt);

// The one direct SCSI command slot, guarded by "scsi_ioctl" (qd_scsi_ioctl_mutex).
struct qd_scsi_slot {
  mblk_t* mp;    // the request being answered; null when the slot is free
  scsi_pkt* pkt; // its packet
  caddr_t datap; // the packet's data buffer (get_pktiopb), null for a packet without one
  int datalen;
};
extern qd_scsi_slot qd_scsi_ioctl_slot;

// For unload. qdm_lock_cancel: with the unit's "unit_mutex" held, stops the unit's lock
// check (waiting for one already running) and frees a held QMXLOCK request.
// qdm_scsi_ioctl_release: waits for an outstanding direct SCSI command to complete (its
// time limit, at most 255 s, bounds the wait: a packet in transport cannot be released)
// and leaves the slot empty; call with no lock held, before "scsi_ioctl" is destroyed.
void qdm_lock_cancel(qd_unit* up);
void qdm_scsi_ioctl_release();
