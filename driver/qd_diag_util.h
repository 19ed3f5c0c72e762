// What the diagnostic-node requests share: their traced answers, the diagnostic stream and
// the port count of a unit.
#pragma once

#include "ksys/stream.h"

struct qd_unit;

// M_IOCACK / M_IOCNAK with the "ACK\n" / "NAK(~)\n" record in the ring of global_unit.
void qd_diag_ack(mblk_t* mp);
void qd_diag_nak(mblk_t* mp, int error);

// Sends a request answered later up the diagnostic stream; a stream closed since (the
// record then has no read queue) gets nothing, and the message is freed. False then.
bool qd_diag_send_up(mblk_t* mp);

// Ports of the unit: its model's count, never more than its port table holds.
int qd_unit_ports(const qd_unit* up);
