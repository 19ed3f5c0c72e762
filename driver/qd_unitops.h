// Driver-wide initialisation, unit lookup, polled SCSI commands, and the three unit
// operations the line layer rests on: bring-up, take-down and going offline.
#pragma once

#include "ksys/types.h"

struct qd_unit;
struct scsi_device;
struct dev_info;
using dev_info_t = dev_info;

// Runs once per load (later calls only trace).
void qdm_init_driver(dev_info_t* dip);
// The unit a minor number names, or null (see the node kinds in qd_line.h).
qd_unit* qdm_findunit(minor_t minor);
// One polled 6-byte command (TEST UNIT READY, SEND DIAGNOSTIC, INQUIRY) before the
// transport runs; -1 on failure.
int qdm_scsi_dopollcmd(scsi_device* devp, int op, caddr_t buf, unsigned len);
// Caller holds "unit_mutex" for these three. Bring-up: 0 success, 1 failure.
int qdm_init_unit(qd_unit* up);
void qdm_deinit_unit(qd_unit* up);
void qdm_unit_offline(qd_unit* up);
