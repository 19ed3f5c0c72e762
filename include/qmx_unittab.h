// The unit model table, shared by the driver and kvstty: port count, FAS packet size,
// port layout, highest speed code and properties of every model.
#pragma once

#include <cstdint>

struct qd_unitinfo {
  const char* name;    // at most 16 characters, no blank or tab; null ends the table
  int nlines;          // ports 0 to nlines - 1
  int pktsize;         // FAS packet size, 2048 or 4096
  std::uint32_t code;  // low byte: highest speed code of the serial ports; rest: layout
  std::uint32_t flags; // QDM_*
};

inline constexpr std::uint32_t QDM_PODS = 0x01;     // ports in pods of 18
inline constexpr std::uint32_t QDM_PAR_SEND = 0x02; // parallel FAS_SEND is pktsize - 20
inline constexpr std::uint32_t QDM_NO_SPLIT = 0x04; // input and output speed must match
inline constexpr std::uint32_t QDM_LANVARA = 0x08;  // Ethernet module
inline constexpr std::uint32_t QDM_VARIANT = 0x80;  // marks one Lanvara row; nothing tests it

inline constexpr std::uint32_t QDM_CODE_SPEED = 0xff;    // highest speed code
inline constexpr std::uint32_t QDM_CODE_LAYOUT = ~0xffu; // port layout

// Port kinds (qdf_port_type).
inline constexpr int QD_PORT_SERIAL = 0x70000000; // or'ed with the highest speed code
inline constexpr int QD_PORT_LP = 13;             // parallel (printer) port
inline constexpr int QD_PORT_LP_ALT = 15;         // second parallel kind, a printer all the same
inline constexpr int QD_PORT_NONE = -1;

inline constexpr bool qd_port_is_serial(int kind) {
  return kind != QD_PORT_NONE && (kind & QD_PORT_SERIAL) != 0;
}
inline constexpr bool qd_port_is_parallel(int kind) {
  return kind != QD_PORT_NONE && (kind & QD_PORT_SERIAL) == 0;
}

inline constexpr int QD_NMODELS = 59;
extern const qd_unitinfo qdunittab[QD_NMODELS + 1];

// Speed index -> FAS speed code and bit/s. Code 255 marks an index without a speed.
struct qd_baudinfo {
  int code;
  int speed;
};
inline constexpr int QD_NBAUD = 23;
inline constexpr int QD_NO_SPEED = 255;
extern const qd_baudinfo baud[QD_NBAUD];
// The code at a speed index; QD_NO_SPEED outside the table.
int qd_baud_code(int index);

// Model row named by the first token of text (up to a blank, tab or NUL, at most 16
// characters); null when there is none.
const qd_unitinfo* qdm_get_unitinfo(const char* text);
// Kind of a port of the model: QD_PORT_SERIAL | speed, QD_PORT_LP, QD_PORT_LP_ALT or
// QD_PORT_NONE.
int qdf_port_type(const qd_unitinfo* row, unsigned port);
// 0 when the speed code may be used on the port, 1 when it is refused.
int qdf_check_baud(const qd_unitinfo* row, int port, int code);
