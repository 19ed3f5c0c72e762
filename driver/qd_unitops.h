// Driver-wide initialisation, unit lookup, polled SCSI commands, and the three unit
// operations the line layer rests on: bring-up, take-down and going offline.
#pragma once

#include "ksys/mutex.h"
#include "ksys/types.h"
#include "qd_state.h"

struct qd_unit;
struct scsi_device;
struct dev_info;
using dev_info_t = dev_info;

// Driver-wide data set up by qdm_init_driver (defined in qd_state.cpp; dflt_termios and
// qd_lbolt are declared in qd_state.h).
extern int qd_init_driver_done;      // the once-flag
extern kmutex_t qd_scsi_ioctl_mutex; // "scsi_ioctl": the one direct SCSI command slot
inline constexpr int QD_TTYMODES_BUF = 256;
inline constexpr int QD_UNIT_HOLDOFF = 60; // seconds an offline unit waits before a restart

// Runs once per load (later calls only trace): banner, driver-wide locks, the timer and
// the default termios.
void qdm_init_driver(dev_info_t* dip);
// The unit a minor number names, or null (see the node kinds in qd_line.h).
qd_unit* qdm_findunit(minor_t minor);

// Polled commands, used before the transport runs.
inline constexpr int QD_SCSI_TUR = 0x00;      // TEST UNIT READY
inline constexpr int QD_SCSI_INQUIRY = 0x12;  // INQUIRY of 48 bytes
inline constexpr int QD_SCSI_SENDDIAG = 0x1D; // SEND DIAGNOSTIC (self-test): firmware restart
inline constexpr int QD_INQUIRY_LEN = 48;
// One polled 6-byte command; -1 on failure, else 0 (INQUIRY: the bytes copied).
int qdm_scsi_dopollcmd(scsi_device* devp, int op, caddr_t buf, unsigned len);

// Initialises a unit record's "unit_mutex", "intr_mutex", "ttycommon_mutex" and
// "qd_up_cv". Called once, by whoever creates the record (probe for a SCSI unit, the
// Lanvara configuration for a Lanvara unit), right after qd_malloc; never again for the
// same record (a re-probe or a second attach must not re-initialise them).
void qdm_unit_init_locks(qd_unit* up);

// Caller holds "unit_mutex" for these three (and "intr_mutex" too where the caller is a
// completion or the timer).
// Bring-up: 0 success, 1 failure (the unit is then offline).
int qdm_init_unit(qd_unit* up);
// Take-down: the transport comes down unless a line still holds the unit.
void qdm_deinit_unit(qd_unit* up);
// Every line of the unit goes offline, queued commands are dropped, the offline time is
// stamped (on every call).
void qdm_unit_offline(qd_unit* up);
