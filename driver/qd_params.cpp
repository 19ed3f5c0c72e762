// A port's termios turned into the unit's parameter and flow commands, and the speed check.
#include <cstring>

#include "ksys/termios.h"
#include "qddrv.h"

namespace {

constexpr int DEFAULT_SPEED_INDEX = 13; // 9600 bit/s

// The opcode by port kind: the newer command carries the two speed codes in bytes of
// their own, which the ports whose fastest code is above 15 need.
bool uses_ext_params(const qd_line* lp) {
  const int kind = qdf_port_type(lp->unit->qdu_info, lp->line_num);
  return (kind & 0xff) > 15;
}

void build_params(const qd_line* lp, bool ext, int ocode, int icode, unsigned char* p) {
  const tcflag_t cflag = lp->tty.t_cflag;
  p[0] = ext ? FAS_EXT_PARAMS : FAS_SET_PARAMS;
  p[1] = lp->line_num;
  p[2] = static_cast<unsigned char>((cflag & CSIZE) >> 4);
  p[3] = (cflag & CSTOPB) != 0 ? 2 : 0;
  p[4] = (cflag & PARENB) == 0 ? 0 : ((cflag & PARODD) != 0 ? 1 : 2);
  p[5] = static_cast<unsigned char>(((cflag & CREAD) != 0 ? 1 : 0) |
                                    ((lp->qdl_flags & QDL_LOOPBACK) != 0 ? 0x80 : 0));
  if (ext) {
    p[6] = static_cast<unsigned char>(ocode);
    p[7] = static_cast<unsigned char>(icode);
  } else {
    p[6] = static_cast<unsigned char>(((icode << 4) | ocode) & 0xff);
    p[7] = 0;
  }
}

void build_flow(const qd_line* lp, unsigned char* f) {
  const tcflag_t iflag = lp->tty.t_iflag;
  const bool rtscts = (lp->tty.t_cflag & CRTSCTS) != 0;
  f[0] = FAS_FLOW_CTRL;
  f[1] = lp->line_num;
  f[2] = static_cast<unsigned char>(((iflag & IXOFF) != 0 ? 1 : 0) | (rtscts ? 0x80 : 0));
  unsigned char out = 0;
  if ((iflag & IXON) != 0) {
    out = (iflag & IXANY) != 0 ? 3 : 1;
  }
  f[3] = static_cast<unsigned char>(out | (rtscts ? 0x80 : 0));
  f[4] = 0x11;
  f[5] = 0x13;
  fas_put16(f + 6, static_cast<unsigned>(lp->unit->qdu_max_send) & 0xffff);
}

// Queues one 8-byte command, keeps it as the line's copy and records it; false when no
// packet could be had.
bool send_copy(qd_line* lp, const unsigned char* cmd, unsigned char* copy) {
  unsigned char* c = qdm_putfas(lp->unit, FAS_HDR_SIZE);
  if (c == nullptr) {
    return false;
  }
  std::memcpy(c, cmd, FAS_HDR_SIZE);
  std::memcpy(copy, cmd, FAS_HDR_SIZE);
  qdf_logfasout(lp, c);
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
  return true;
}

} // namespace

int qdf_note_termios(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_note_termios\n");
  const bool ext = uses_ext_params(lp);
  if (ext) {
    qd_trace_line(lp, "using NEW_SET_PARAMS\n");
  } else {
    qd_trace_line(lp, "using old SET_PARAMS\n");
  }

  const tcflag_t cflag = lp->tty.t_cflag;
  int o = static_cast<int>(cflag & CBAUD);
  if ((cflag & CBAUDEXT) != 0) {
    o += 16;
  }
  int i = static_cast<int>((cflag & CIBAUD) >> IBSHIFT);
  if ((cflag & CIBAUDEXT) != 0) {
    i += 16;
  }

  int ocode = 0;
  int icode = 0;
  if (o == 0) {
    // Hang up: drop the modem signals, but keep the port set at the default speed.
    qdf_set_modem_sigs(lp, TIOCM_DTR, TIOCMBIC, 0);
    qdf_set_modem_sigs(lp, TIOCM_RTS, TIOCMBIC, 0);
    int idx = DEFAULT_SPEED_INDEX;
    if (dflt_termios != nullptr) {
      idx = static_cast<int>(dflt_termios->c_cflag & CBAUD);
    }
    // A default without a speed of its own (B0) would send the unit the no-speed code.
    if (qd_baud_code(idx) == QD_NO_SPEED) {
      idx = DEFAULT_SPEED_INDEX;
    }
    ocode = icode = baud[idx].code;
    lp->speed = baud[idx].speed;
  } else {
    const int oi = o + lp->speed_ext;
    ocode = qd_baud_code(oi);
    lp->speed = (oi >= 0 && oi < QD_NBAUD) ? baud[oi].speed : 0;
    icode = i == 0 ? ocode : qd_baud_code(i + lp->speed_ext);
    if (ocode == QD_NO_SPEED || icode == QD_NO_SPEED) {
      return 1;
    }
  }

  qd_set_curr_size_fassend(lp);

  unsigned char params[FAS_HDR_SIZE];
  unsigned char flow[FAS_HDR_SIZE];
  build_params(lp, ext, ocode, icode, params);
  build_flow(lp, flow);

  int result = 0;
  if (std::memcmp(params, lp->last_params, FAS_HDR_SIZE) != 0 ||
      std::memcmp(flow, lp->last_flow, FAS_HDR_SIZE) != 0) {
    // Both go together, even when only one of them changed.
    if (send_copy(lp, params, lp->last_params)) {
      send_copy(lp, flow, lp->last_flow);
      result = 2;
    }
  }

  const bool hupcl = (lp->tty.t_cflag & HUPCL) != 0;
  if (hupcl != ((lp->qdl_flags & QDL_HUPCL) != 0)) {
    if (hupcl) {
      lp->qdl_flags |= QDL_HUPCL;
    } else {
      lp->qdl_flags &= ~QDL_HUPCL;
    }
    // Tells the unit the new hang-up-on-close setting, changing no signal.
    qdf_set_modem_sigs(lp, 0, TIOCMBIS, 1);
  }
  return result;
}

int qdf_checkparam(int speed_index, qd_line* lp, int /*unused*/) {
  return qdf_check_baud(lp->unit->qdu_info, lp->line_num, qd_baud_code(speed_index));
}
