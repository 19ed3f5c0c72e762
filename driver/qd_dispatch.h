// Answer dispatch: every answer a unit sends is validated and routed here.
#pragma once

struct qd_unit;

// Walks the answers in the unit's receive packet; caller holds "unit_mutex" (and
// "intr_mutex" on SCSI completions).
void qdf_procrecv(qd_unit* up);
