// What SCSI devices hand back: inquiry data, extended sense data, and the status block
// of a packet with auto request sense. Byte layouts, no bit-fields.
#pragma once

#include <cstddef>

#include "ksys/types.h"

// Standard inquiry data (the first 36 bytes are the standard part).
struct scsi_inquiry {
  uchar_t inq_dtype;      // 0: peripheral qualifier (bits 5-7) and device type (bits 0-4)
  uchar_t inq_rmb;        // 1: removable medium (bit 7), device type qualifier
  uchar_t inq_ver;        // 2: ISO, ECMA and ANSI versions
  uchar_t inq_rdf;        // 3: AENC, TrmIOP and response data format (bits 0-3)
  uchar_t inq_len;        // 4: additional length (bytes after this one)
  uchar_t inq_res1[2];    // 5-6
  uchar_t inq_flags;      // 7: RelAdr, WBus32, WBus16, Sync, Linked, CmdQue, SftRe
  char inq_vid[8];        // 8-15: vendor identification, blank padded, no NUL
  char inq_pid[16];       // 16-31: product identification, blank padded, no NUL
  char inq_revision[4];   // 32-35: product revision
  uchar_t inq_vendor[20]; // 36-55: vendor specific
  uchar_t inq_res2[40];   // 56-95
};
static_assert(sizeof(scsi_inquiry) == 96);
static_assert(offsetof(scsi_inquiry, inq_vid) == 8 && offsetof(scsi_inquiry, inq_pid) == 16 &&
              offsetof(scsi_inquiry, inq_revision) == 32);

inline constexpr uchar_t DTYPE_MASK = 0x1F;
inline constexpr uchar_t DTYPE_DIRECT = 0x00;
inline constexpr uchar_t DTYPE_SEQUENTIAL = 0x01;
inline constexpr uchar_t DTYPE_PROCESSOR = 0x03;
inline constexpr uchar_t DTYPE_COMM = 0x09;
inline constexpr uchar_t DTYPE_NOTPRESENT = 0x7F; // qualifier 3, type 0x1F: no unit at this LUN

// Extended (fixed format) sense data.
struct scsi_extended_sense {
  uchar_t es_code;             // 0: valid (bit 7), response code 0x70 (current) or 0x71 (deferred)
  uchar_t es_segnum;           // 1
  uchar_t es_key;              // 2: filemark 0x80, end of medium 0x40, ILI 0x20, sense key bits 0-3
  uchar_t es_info[4];          // 3-6: information, big-endian
  uchar_t es_add_len;          // 7: additional length (bytes after this one)
  uchar_t es_cmd_info[4];      // 8-11
  uchar_t es_add_code;         // 12: additional sense code
  uchar_t es_qual_code;        // 13: its qualifier
  uchar_t es_fru_code;         // 14
  uchar_t es_skey_specific[3]; // 15-17
};
static_assert(sizeof(scsi_extended_sense) == 18);

inline constexpr uchar_t CLASS_EXTENDED_SENSE = 0x70;
inline constexpr uchar_t SENSE_VALID = 0x80;    // es_code
inline constexpr uchar_t SENSE_KEY_MASK = 0x0F; // es_key
inline constexpr uchar_t SENSE_ILI = 0x20;      // es_key: incorrect length
inline constexpr uchar_t SENSE_EOM = 0x40;      // es_key
inline constexpr uchar_t SENSE_FILEMARK = 0x80; // es_key
inline constexpr int SENSE_LENGTH = static_cast<int>(sizeof(scsi_extended_sense));

// The status area of a packet with auto request sense (status length 32 or more): the
// command's status byte, then what the automatic REQUEST SENSE did and fetched.
struct scsi_arq_status {
  uchar_t sts_status;                // 0: the command's status byte
  uchar_t sts_rqpkt_status;          // 1: status byte of the REQUEST SENSE
  uchar_t sts_rqpkt_reason;          // 2: its completion reason
  uchar_t sts_rqpkt_resid;           // 3: sense bytes not transferred
  uint_t sts_rqpkt_state;            // 4
  uint_t sts_rqpkt_statistics;       // 8
  scsi_extended_sense sts_sensedata; // 12
};
static_assert(sizeof(scsi_arq_status) == 32 && offsetof(scsi_arq_status, sts_sensedata) == 12);
