// Ioctl scheduling and dispatch, transparent copy, the pending-ioctl slots of a port line,
// and the handlers of every node kind.
#pragma once

#include <cstddef>

#include "ksys/stream.h"
#include "ksys/tty_common.h"

struct qd_line;

// Service outcomes.
inline constexpr int QD_IOC_DONE = 0;    // the message is its reply; send it up
inline constexpr int QD_IOC_REQUEUE = 1; // not now: back to the head of the write queue
inline constexpr int QD_IOC_HELD = 2;    // answered later by whoever holds it

// The modem ioctls also come with the direction and size in the code: served as TIOCMSET
// and TIOCMGET.
inline constexpr int QD_TIOCMSET_SIZED = static_cast<int>(0x8004741Au);
inline constexpr int QD_TIOCMGET_SIZED = static_cast<int>(0x4004741Du);

// ---- Scheduling, dispatch and copy ------------------------------------------------------

// Entry for M_IOCTL from the write put procedure; the caller holds no lock.
void qdf_schedule_ioctl(queue_t* q, mblk_t* mp);
// Runs the ioctl's handler under the line's unit mutex (taken here; the caller must not
// hold it) and replies outcome 0 itself. On outcome 1 the message is still an M_IOCTL that
// the caller puts back at the head of the write queue.
int qdf_service_ioctl(queue_t* q, mblk_t* mp);
// Entry for M_IOCDATA: 0 when answered and sent, 1 when the message is an M_IOCTL again,
// carrying the copied-in record, for the caller to pass to qdf_schedule_ioctl.
int qdf_transparent(queue_t* q, mblk_t* mp);
// Turns a transparent M_IOCTL into M_COPYIN of size bytes from the caller's argument; a
// message without its argument becomes M_IOCNAK EINVAL instead. Either way the handler
// returns outcome 0.
void qdf_copyin(mblk_t* mp, int size);
// Copies the ioctl's argument record out of the message's data blocks: true only for a
// non-transparent message whose data blocks hold exactly size bytes.
bool qdf_ioctl_record(const mblk_t* mp, void* dst, std::size_t size);
// The result record as the reply (M_IOCACK with count length, or M_COPYOUT for a
// transparent message): 0, or 1 when no block could be had. A transparent message without
// its argument becomes M_IOCNAK EINVAL (result 0).
int qdf_common_get_ioctl(queue_t* q, mblk_t* mp, int length, const void* source);
void qdf_make_ioctl_ack(mblk_t* mp);
void qdf_make_ioctl_nak(mblk_t* mp, int error);
// Buffer callback: runs again the ioctl that the line's tty common state holds.
void qdf_reioctl(void* lp);
// Cancels the line's buffer callback, if any; caller holds the line's unit mutex.
void qdf_cancel_reioctl(qd_line* lp);
// Completes the line's pending ioctl when the unit answers opcode 8, 9, 11 or 24.
void qdf_utility_ioctl_wrapup(qd_line* lp, int opcode, int status);
void qdf_utility_ioctl_timeout(void* lp);
void qdf_utility_cleanup(qd_line* lp);
// The code's constant name, "*** UNKNOWN ***" for codes the driver does not know.
const char* qdf_ioctl_name(int cmd);

// A transparent ioctl's argument, the caller's address in the first word of its data
// block; false when the block is missing or too short to hold one.
bool qd_user_arg(const mblk_t* mp, caddr_t* uaddr);
// Turns the message into a copy request (M_COPYIN or M_COPYOUT) of size bytes at uaddr.
void qd_copy_request(mblk_t* mp, caddr_t uaddr, int size, unsigned char type);

// ---- Handlers ---------------------------------------------------------------------------
// Called by qdf_service_ioctl with the line's unit mutex held; each returns a service
// outcome, and on outcome 0 has turned the message into its reply.

// Diagnostic line (QDL_DIAG): called only for QMXLOCK, QMXUNLOCK, QMXFLUSH, QMXFASCMD,
// QMXTRCBUF and QMXSCSI; every other code is refused with ENXIO before.
int qdf_diag_ioctl(queue_t* q, mblk_t* mp, qd_line* lp);
// Lanvara unit-node line (QDL_UNITNODE): called only for VRNONLINE, VRNOFFLINE, VRNGETUPTR
// and VRNSETUPTR, also while the unit is offline; every other code is refused with ENXIO.
int qdf_vrn_ioctl(queue_t* q, mblk_t* mp, qd_line* lp);

// Port lines: the standard terminal ioctls and their FAS follow-ups.
int qdf_service_std_ioctl(queue_t* q, mblk_t* mp, iocblk* iocp, qd_line* lp);
int qdf_set_params_ioctl(queue_t* q, mblk_t* mp, qd_line* lp);
int qdf_get_modem_ioctl(queue_t* q, mblk_t* mp, iocblk* iocp);
int qdf_set_modem_ioctl(queue_t* q, mblk_t* mp, iocblk* iocp);
int qdf_send_break_ioctl(queue_t* q, mblk_t* mp, qd_line* lp);
// Port lines: the extended port control record.
int qdf_set_extended_ioctl(queue_t* q, mblk_t* mp);
int qdf_get_extended_ioctl(queue_t* q, mblk_t* mp);
