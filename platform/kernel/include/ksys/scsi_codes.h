// Numbers of the SCSI target driver interface: command codes, status bytes, sense keys,
// packet completion reasons, states and statistics, transport and probe results.
#pragma once

#include "ksys/types.h"

// ---- Command codes (CDB byte 0) and CDB sizes --------------------------------------------------
inline constexpr uchar_t SCMD_TEST_UNIT_READY = 0x00;
inline constexpr uchar_t SCMD_REQUEST_SENSE = 0x03;
inline constexpr uchar_t SCMD_READ = 0x08;
inline constexpr uchar_t SCMD_WRITE = 0x0A;
inline constexpr uchar_t SCMD_INQUIRY = 0x12;
inline constexpr uchar_t SCMD_SDIAG = 0x1D; // SEND DIAGNOSTIC
inline constexpr uchar_t SCMD_WRITE_BUFFER = 0x3B;
inline constexpr uchar_t SCMD_READ_BUFFER = 0x3C;

inline constexpr int CDB_GROUP0 = 6;
inline constexpr int CDB_GROUP1 = 10;
inline constexpr int CDB_GROUP5 = 12;
inline constexpr int CDB_SIZE_MAX = 16;

// ---- Status byte -------------------------------------------------------------------------------
inline constexpr uchar_t STATUS_GOOD = 0x00;
inline constexpr uchar_t STATUS_CHECK = 0x02;
inline constexpr uchar_t STATUS_MET = 0x04;
inline constexpr uchar_t STATUS_BUSY = 0x08;
inline constexpr uchar_t STATUS_INTERMEDIATE = 0x10;
inline constexpr uchar_t STATUS_RESERVATION_CONFLICT = 0x18;
inline constexpr uchar_t STATUS_MASK = 0x3E;

// ---- Sense keys (extended sense byte 2, low four bits) -----------------------------------------
inline constexpr uchar_t KEY_NO_SENSE = 0x0;
inline constexpr uchar_t KEY_RECOVERABLE_ERROR = 0x1;
inline constexpr uchar_t KEY_NOT_READY = 0x2;
inline constexpr uchar_t KEY_MEDIUM_ERROR = 0x3;
inline constexpr uchar_t KEY_HARDWARE_ERROR = 0x4;
inline constexpr uchar_t KEY_ILLEGAL_REQUEST = 0x5;
inline constexpr uchar_t KEY_UNIT_ATTENTION = 0x6;
inline constexpr uchar_t KEY_WRITE_PROTECT = 0x7;
inline constexpr uchar_t KEY_BLANK_CHECK = 0x8;
inline constexpr uchar_t KEY_VENDOR_UNIQUE = 0x9;
inline constexpr uchar_t KEY_COPY_ABORTED = 0xA;
inline constexpr uchar_t KEY_ABORTED_COMMAND = 0xB;
inline constexpr uchar_t KEY_EQUAL = 0xC;
inline constexpr uchar_t KEY_VOLUME_OVERFLOW = 0xD;
inline constexpr uchar_t KEY_MISCOMPARE = 0xE;
inline constexpr uchar_t KEY_RESERVED = 0xF;

// ---- pkt_reason --------------------------------------------------------------------------------
inline constexpr uchar_t CMD_CMPLT = 0; // no transport error
inline constexpr uchar_t CMD_INCOMPLETE =
    1; // stopped early (here: the target did not answer selection)
inline constexpr uchar_t CMD_DMA_DERR = 2;      // DMA direction error
inline constexpr uchar_t CMD_TRAN_ERR = 3;      // unspecified transport error
inline constexpr uchar_t CMD_RESET = 4;         // bus reset
inline constexpr uchar_t CMD_ABORTED = 5;       // aborted on request
inline constexpr uchar_t CMD_TIMEOUT = 6;       // pkt_time ran out
inline constexpr uchar_t CMD_DATA_OVR = 7;      // data overrun
inline constexpr uchar_t CMD_CMD_OVR = 8;       // command overrun
inline constexpr uchar_t CMD_STS_OVR = 9;       // status overrun
inline constexpr uchar_t CMD_BADMSG = 10;       // message not command complete
inline constexpr uchar_t CMD_NOMSGOUT = 11;     // target refused Message Out
inline constexpr uchar_t CMD_XID_FAIL = 12;     // Extended Identify rejected
inline constexpr uchar_t CMD_IDE_FAIL = 13;     // Initiator Detected Error rejected
inline constexpr uchar_t CMD_ABORT_FAIL = 14;   // Abort rejected
inline constexpr uchar_t CMD_REJECT_FAIL = 15;  // Reject rejected
inline constexpr uchar_t CMD_NOP_FAIL = 16;     // No Operation rejected
inline constexpr uchar_t CMD_PER_FAIL = 17;     // Message Parity Error rejected
inline constexpr uchar_t CMD_BDR_FAIL = 18;     // Bus Device Reset rejected
inline constexpr uchar_t CMD_ID_FAIL = 19;      // Identify rejected
inline constexpr uchar_t CMD_UNX_BUS_FREE = 20; // unexpected bus free
inline constexpr uchar_t CMD_TAG_REJECT = 21;   // tag message rejected
inline constexpr uchar_t CMD_REASON_LAST = CMD_TAG_REJECT;

// ---- pkt_state: how far the command got --------------------------------------------------------
inline constexpr uint_t STATE_GOT_BUS = 0x01;
inline constexpr uint_t STATE_GOT_TARGET = 0x02;
inline constexpr uint_t STATE_SENT_CMD = 0x04;
inline constexpr uint_t STATE_XFERRED_DATA = 0x08;
inline constexpr uint_t STATE_GOT_STATUS = 0x10;
inline constexpr uint_t STATE_ARQ_DONE = 0x20; // sense data stands in the scsi_arq_status

// ---- pkt_statistics ----------------------------------------------------------------------------
inline constexpr uint_t STAT_DISCON = 0x01;
inline constexpr uint_t STAT_SYNC = 0x02;
inline constexpr uint_t STAT_PERR = 0x04; // parity error
inline constexpr uint_t STAT_BUS_RESET = 0x08;
inline constexpr uint_t STAT_DEV_RESET = 0x10;
inline constexpr uint_t STAT_ABORTED = 0x20;
inline constexpr uint_t STAT_TIMEOUT = 0x40;

// ---- pkt_flags ---------------------------------------------------------------------------------
inline constexpr int FLAG_NOINTR = 0x0001; // meant for scsi_poll (which never calls pkt_comp)
inline constexpr int FLAG_NODISCON = 0x0002;
inline constexpr int FLAG_NOPARITY = 0x0008;

// ---- scsi_init_pkt flags -----------------------------------------------------------------------
inline constexpr int PKT_CONSISTENT = 0x0001;

// ---- scsi_transport results --------------------------------------------------------------------
inline constexpr int TRAN_ACCEPT = 1;
inline constexpr int TRAN_BUSY = 0;
inline constexpr int TRAN_BADPKT = -1;
inline constexpr int TRAN_FATAL_ERROR = -2;

// ---- scsi_probe results ------------------------------------------------------------------------
inline constexpr int SCSIPROBE_EXISTS = 0;  // a target answered INQUIRY
inline constexpr int SCSIPROBE_NONCCS = 1;  // a target answered, but INQUIRY failed
inline constexpr int SCSIPROBE_NORESP = 2;  // nothing at that address
inline constexpr int SCSIPROBE_NOMEM = 3;   // no memory for the probe
inline constexpr int SCSIPROBE_FAILURE = 4; // any other failure
inline constexpr int SCSIPROBE_BUSY = 5;    // adapter or target busy
