// The unit transport: a SCSI unit's WRITE(6)/READ(6) state machine, and the send path
// that hands a Lanvara unit's packets to its unit node.
//
// From the first kick until take-down a SCSI unit has exactly one command outstanding:
// a WRITE of the head packet of its chain (PKT_END appended), then a READ of up to 4096
// answer bytes, then the next WRITE or, with nothing queued, the next READ. A failing
// command is retried after 0.5, 1, 2, 5 and 15 s; the sixth failure, a fatal result, or a
// command that cannot be issued at all takes the unit offline.
#pragma once

#include <cstdint>

#include "ksys/types.h"

struct qd_unit;
struct qd_pkt;
struct scsi_pkt;

// Transport states (qdu_state). 3, 4 and 7 exist in the table but are never entered.
inline constexpr std::uint8_t SFSM_IDLE = 0;
inline constexpr std::uint8_t SFSM_SENDING = 1;
inline constexpr std::uint8_t SFSM_RECEIVING = 2;
inline constexpr std::uint8_t SFSM_SENDING_DOWN = 5;
inline constexpr std::uint8_t SFSM_RECEIVING_DOWN = 6;
inline constexpr int SFSM_NSTATES = 8;

// Inputs.
inline constexpr int SFSM_IN_KICK = 0;
inline constexpr int SFSM_IN_RESP_DONE = 1;
inline constexpr int SFSM_IN_SEND_DONE = 2;
inline constexpr int SFSM_IN_QUEUE_EMPTY = 3;
inline constexpr int SFSM_IN_RECV_DONE = 4;
inline constexpr int SFSM_IN_TAKE_DOWN = 5;
inline constexpr int SFSM_NINPUTS = 6;

// One entry of the state table: the state to store, then the action to run.
using qd_sfsm_action = void (*)(qd_unit* up);
struct qd_sfsm_entry {
  std::uint8_t next;
  qd_sfsm_action action;
};
extern const qd_sfsm_entry scsi_fsmtab[SFSM_NSTATES][SFSM_NINPUTS];

// SCSI command time-out of WRITE and READ without capability bit 0, in seconds.
inline constexpr int qd_timeout = 2147483647;
// A READ asks for this much.
inline constexpr int QD_READ_LEN = 4096;
// CDB control byte of a READ retried after its command reached the unit: the unit sends
// the previous batch again.
inline constexpr unsigned char QD_CDB_RESEND = 0x40;
// Back-offs (tenths of a second) above this give up.
inline constexpr int QD_BACKOFF_LIMIT = 200;
// Retries from this back-off on are reported on the console.
inline constexpr int QD_BACKOFF_REPORT = 15;

// The one entry for kicks and events; the caller holds the unit's "unit_mutex".
// Lanvara units act on kicks only; SCSI units that are offline, or were never attached
// (global_unit among them), ignore everything.
void qdm_scsifsm(qd_unit* up, int input);
// Copies the queued packets of a Lanvara unit up its unit node (while it is open).
void qdm_vrn_startsend(qd_unit* up);

// The actions of the table (SCSI units only).
void qdm_scsi_startsend(qd_unit* up);
void qdm_scsi_startrecv(qd_unit* up);
void qdm_nop(qd_unit* up);
void qdm_trap(qd_unit* up);
void qdm_scsi_take_down(qd_unit* up);
// Sends one packet (PKT_END already appended) with WRITE(6); it becomes the packet in flight.
void qdm_scsi_sendpkt(qd_pkt* pkt, qd_unit* up);

// The next back-off after a failure: 5, 10, 20, 50, 150, then 300 tenths of a second.
int qdm_scsi_backoff(int backoff);
// 0 good, 1 retry, 2 take the unit offline; *reason names the cause ("" when good).
int qdm_scsi_pkt_OK(scsi_pkt* pkt, const char** reason);
// SCSI completion and retry callbacks. The retries take the command packet.
void qdm_scsi_sendcomp(scsi_pkt* pkt);
void qdm_scsi_recvcomp(scsi_pkt* pkt);
void qdm_scsi_retrysend(void* pkt);
void qdm_scsi_retryrecv(void* pkt);
// The unit has no command outstanding and none can be issued: drops the packet in flight
// and takes the unit offline with "Going offline: <why>". Caller holds "unit_mutex".
void qdm_scsi_giveup(qd_unit* up, const char* why);
