// The unit transport: a SCSI unit's WRITE(6)/READ(6) state machine, and the send path
// that hands a Lanvara unit's packets to its unit node.
#pragma once

#include <cstdint>

struct qd_unit;
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

// The one entry for kicks and events; the caller holds the unit's "unit_mutex".
void qdm_scsifsm(qd_unit* up, int input);
// Copies the queued packets of a Lanvara unit up its unit node (while it is open).
void qdm_vrn_startsend(qd_unit* up);

// 0 good, 1 retry, 2 take the unit offline; *reason names the cause.
int qdm_scsi_pkt_OK(scsi_pkt* pkt, const char** reason);
// SCSI completion and retry callbacks.
void qdm_scsi_sendcomp(scsi_pkt* pkt);
void qdm_scsi_recvcomp(scsi_pkt* pkt);
void qdm_scsi_retrysend(void* pkt);
void qdm_scsi_retryrecv(void* pkt);
