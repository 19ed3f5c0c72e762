// FAS, the command protocol between the host and a unit. Every command and every answer
// starts with an 8-byte header; a few opcodes carry data bytes behind it. Counts are
// little-endian on the wire on every host, so they are read and written byte by byte.
#pragma once

struct qd_pkt;

// Wire format of a command or answer header.
struct fas_header {
  unsigned char opcode;
  unsigned char line;    // line number, or a parameter of a unit-wide opcode
  unsigned char status;  // answers: status in the low 7 bits; commands: first parameter
  unsigned char parm[5]; // bytes 3-7, by opcode
};
static_assert(sizeof(fas_header) == 8);

inline constexpr int FAS_HDR_SIZE = 8;

// Opcodes. The numbering is fixed by the units' firmware.
inline constexpr unsigned char FAS_GLOBAL = 0;
inline constexpr unsigned char FAS_ENABLE = 1;
inline constexpr unsigned char FAS_DISABLE = 2;
inline constexpr unsigned char FAS_SEND = 3; // out: count in bytes 2-3
inline constexpr unsigned char FAS_RECV = 4; // in: count in bytes 4-5
inline constexpr unsigned char FAS_IN_TIMERS = 5;
inline constexpr unsigned char FAS_OUTPUT_CTRL = 6;
inline constexpr unsigned char FAS_INPUT_CTRL = 7;
inline constexpr unsigned char FAS_SET_MODEM = 8;
inline constexpr unsigned char FAS_STAT_CHG = 9;
inline constexpr unsigned char FAS_SEND_BREAK = 10;
inline constexpr unsigned char FAS_SET_PARAMS = 11;
inline constexpr unsigned char FAS_FLOW_CTRL = 12;
inline constexpr unsigned char FAS_RESERVE = 13;
inline constexpr unsigned char FAS_RELEASE = 14;
inline constexpr unsigned char FAS_RESET = 15;
inline constexpr unsigned char FAS_UNIT_STATS = 16; // in: count in bytes 4-5
inline constexpr unsigned char FAS_WAIT_SEND = 17;
inline constexpr unsigned char FAS_LINE_STATE = 18; // in: count in bytes 4-5
inline constexpr unsigned char FAS_LINE_INQUIRY = 19;
inline constexpr unsigned char FAS_LPT_TEST = 20;
inline constexpr unsigned char FAS_UNIT_POLL = 21;
inline constexpr unsigned char FAS_UNIT_UNLOCK = 22;
inline constexpr unsigned char FAS_UNIT_INQUIRY = 23; // in: count in bytes 6-7
inline constexpr unsigned char FAS_EXT_PARAMS = 24;
inline constexpr unsigned char FAS_UNIT_RESET = 25;
inline constexpr unsigned char FAS_SPECIAL_FUNC = 26;
inline constexpr unsigned char FAS_CONFIG_LINK = 50;
inline constexpr unsigned char FAS_MUX_STATS = 51; // in: count in bytes 4-5
inline constexpr unsigned char PKT_END = 100;      // a single byte ending a SCSI batch

// Answer status, byte 2 of an answer.
inline constexpr unsigned char FAS_ST_MASK = 0x7f; // bit 7 carries no status
inline constexpr unsigned char FAS_ST_OK = 0;
inline constexpr unsigned char ERR_MULT_CMD = 1;
inline constexpr unsigned char ERR_BAD_PARAM = 2;
inline constexpr unsigned char ERR_NOT_PRESENT = 3;
inline constexpr unsigned char FAS_ST_PARITY = 4;
inline constexpr unsigned char FAS_ST_OVERRUN = 5;
inline constexpr unsigned char FAS_ST_FRAMING = 6;
inline constexpr unsigned char ERR_UNKNOWN = 7;
inline constexpr unsigned char FAS_ST_OFFLINE = 8;
inline constexpr unsigned char ERR_BAD_CMD = 9;
inline constexpr unsigned char FAS_ST_BREAK = 11;
inline constexpr unsigned char FAS_ST_OVERFLOW = 12;
inline constexpr unsigned char FAS_ST_LINE_DOWN = 13;
inline constexpr unsigned char ERR_BUSY = 15;

// A 16-bit count at p, low byte first.
inline constexpr unsigned fas_get16(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
}
inline constexpr void fas_put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v & 0xff);
  p[1] = static_cast<unsigned char>((v >> 8) & 0xff);
}

// 0 for the unit-wide opcodes, 1 for every other value (invalid ones included).
int byte1_is_linenum(const unsigned char* hdr);
// Byte 1 when it holds a line number, else -1.
int linenum(const unsigned char* hdr);
// Length of the item starting at hdr (header plus data). inbound: nonzero for an answer
// from the unit, 0 for a command the host sends.
int size_faspkt(const unsigned char* hdr, int inbound);
// 1 for a valid opcode; otherwise warns on the console with the header bytes and gives 0.
int fascmd_is_ok(const unsigned char* hdr);

// Opcode name for the low 8 bits of op, "?" when there is none.
const char* fas_cmd_name(int op);
// 8-character trace label of an opcode, "????????" outside 0-24.
const char* fas_trace_label(int op);

// Dumps a packet's used bytes on the console at CE_NOTE.
void dump_qd_pkt(const qd_pkt* pkt);
