// FAS_STAT_CHG answers: carrier on serial ports, paper, online and error state on printer
// ports, and the one status request each enabled line keeps outstanding.
#include "ksys/stream.h"
#include "ksys/termios.h"
#include "qddrv.h"

namespace {

constexpr unsigned char STAT_SERIAL_CTS = 0x01;
constexpr unsigned char STAT_SERIAL_DSR = 0x02;
constexpr unsigned char STAT_SERIAL_CARRIER = 0x04;
constexpr unsigned char STAT_LP_ONLINE = 0x01;
constexpr unsigned char STAT_LP_ERROR = 0x02;
constexpr unsigned char STAT_LP_PAPER_OUT = 0x08;

constexpr unsigned char REARM_SERIAL = 0x04; // carrier
constexpr unsigned char REARM_LP = 0x0B;     // online, error, paper

void set_bit(std::uint32_t& word, std::uint32_t bit, bool on) {
  if (on) {
    word |= bit;
  } else {
    word &= ~bit;
  }
}

// The next request leaves with the transport's next send: answers are being processed.
void rearm(qd_line* lp, unsigned char mask) {
  if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
    return;
  }
  unsigned char* c = qdm_putfas(lp->unit, FAS_HDR_SIZE);
  if (c == nullptr) {
    return;
  }
  c[0] = FAS_STAT_CHG;
  c[1] = lp->line_num;
  c[2] = mask;
  qdf_logfasout(lp, c);
}

// Whether this answer is the pending modem status query's own. Byte 4 of an answer names
// the mask of the request it answers: the line's standing request and the enable's first
// query are answered too while a query waits, and their state may be older than the
// query. A unit that names none (0) leaves the first answer to the waiting query.
bool answers_the_query(const qd_line* lp, const unsigned char* answer) {
  if ((lp->qdl_flags & QDL_UTIL_WAIT) == 0) {
    return false;
  }
  return answer[4] == STAT_QUERY_MASK || answer[4] == 0;
}

// A modem status query waiting for this answer takes it instead of a new request.
void complete_or_rearm(qd_line* lp, const unsigned char* answer, unsigned char mask, bool own) {
  if (own) {
    lp->qdl_flags &= ~QDL_UTIL_WAIT;
    qdf_utility_ioctl_wrapup(lp, answer[0], answer[2]);
  } else {
    rearm(lp, mask);
  }
}

void send_up(qd_line* lp, queue_t* rq, int type) {
  mutex_exit(lp->unit_mutex);
  putnextctl(rq, type);
  mutex_enter(lp->unit_mutex);
}

void printer_status(qd_line* lp, unsigned char state) {
  std::uint32_t& m = lp->modem_bits;
  if ((state & STAT_LP_PAPER_OUT) != 0) {
    qdlogerr(2, nullptr, lp, "Paper out at printer");
    m &= ~static_cast<std::uint32_t>(TIOCM_CTS);
  } else {
    m |= TIOCM_CTS;
  }
  if ((state & STAT_LP_ONLINE) != 0) {
    m |= TIOCM_CAR;
  } else {
    qdlogerr(2, nullptr, lp, "Printer not online");
    m &= ~static_cast<std::uint32_t>(TIOCM_CAR);
  }
  if ((state & STAT_LP_ERROR) != 0) {
    qdlogerr(2, nullptr, lp, "Error condition at printer");
    m &= ~static_cast<std::uint32_t>(TIOCM_DSR);
  } else {
    m |= TIOCM_DSR;
  }
}

void carrier_up(qd_line* lp) {
  lp->modem_bits |= TIOCM_CAR;
  if ((lp->qdl_flags & QDL_CARRIER) != 0) {
    return;
  }
  qd_trace_line(lp, "got carrier\n");
  lp->qdl_flags |= QDL_CARRIER;
  lp->output = qdf_serial_output;
  lp->qdl_flags &= ~QDL_HELD;
  cv_broadcast(&lp->qd_cv);
  if (queue_t* rq = lp->tty.t_readq; rq != nullptr) {
    send_up(lp, rq, M_UNHANGUP);
    if (lp->tty.t_writeq != nullptr) {
      qdf_process_wrq(lp->tty.t_writeq);
    }
  }
}

void carrier_down(qd_line* lp) {
  lp->modem_bits &= ~static_cast<std::uint32_t>(TIOCM_CAR);
  if ((lp->qdl_flags & QDL_CARRIER) == 0) {
    return;
  }
  qd_trace_line(lp, "lost carrier\n");
  if ((lp->tty.t_cflag & CLOCAL) == 0 && (lp->qdl_flags & QDL_LOCAL) == 0) {
    if (queue_t* rq = lp->tty.t_readq; rq != nullptr) {
      qd_trace_line(lp, "hangup - 1\n");
      send_up(lp, rq, M_HANGUP);
    }
    qdf_flush_output(lp);
    qdm_scsifsm(lp->unit, SFSM_IN_KICK);
    lp->output = qdf_drain_output;
    lp->qdl_flags |= QDL_HELD;
    qdf_set_modem_sigs(lp, TIOCM_DTR, TIOCMBIC, 0);
    cv_broadcast(&lp->qd_cv);
  }
  lp->qdl_flags &= ~QDL_CARRIER;
}

} // namespace

void qdf_handle_stat_chg(qd_line* lp, unsigned char* answer) {
  qd_assert_line_held(lp);
  const unsigned char status = answer[2];
  const unsigned char state = answer[3];
  const bool own = answers_the_query(lp, answer);
  if (status != 0) {
    // No new request after an error. A modem status query waiting for this answer is
    // refused now rather than by its watchdog a minute later.
    if (own) {
      lp->qdl_flags &= ~QDL_UTIL_WAIT;
      qdf_utility_ioctl_wrapup(lp, answer[0], status);
    }
    return;
  }

  if ((lp->qdl_flags & QDL_PARALLEL) != 0) {
    printer_status(lp, state);
    complete_or_rearm(lp, answer, REARM_LP, own);
    return;
  }

  if ((state & STAT_SERIAL_CARRIER) != 0) {
    carrier_up(lp);
  } else {
    carrier_down(lp);
  }
  set_bit(lp->modem_bits, TIOCM_DSR, (state & STAT_SERIAL_DSR) != 0);
  set_bit(lp->modem_bits, TIOCM_CTS, (state & STAT_SERIAL_CTS) != 0);
  complete_or_rearm(lp, answer, REARM_SERIAL, own);
}

unsigned char* qdf_status_query(qd_line* lp, unsigned char mask) {
  qd_assert_line_held(lp);
  unsigned char* c = qdm_putfas(lp->unit, FAS_HDR_SIZE);
  if (c == nullptr) {
    return nullptr;
  }
  c[0] = FAS_STAT_CHG;
  c[1] = lp->line_num;
  c[2] = mask;
  return c;
}
