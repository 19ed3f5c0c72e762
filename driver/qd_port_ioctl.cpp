// The standard terminal ioctls of a port: checks of the new speeds, the tty common state,
// and what the unit must be told (parameters, modem signals, the modem status query,
// break, soft carrier).
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ksys/cmn_err.h"
#include "ksys/termios.h"
#include "qddrv.h"
#include "qdio.h"

namespace {

qd_line* qd_line_of(queue_t* q) {
  return static_cast<qd_line*>(q->q_ptr);
}

void qd_ack_traced(qd_line* lp, mblk_t* mp) {
  qd_trace_line(lp, "ACK\n");
  qdf_make_ioctl_ack(mp);
}

void qd_nak_traced(qd_line* lp, mblk_t* mp, int error) {
  qd_trace_line(lp, "NAK(~)\n", static_cast<unsigned>(error));
  qdf_make_ioctl_nak(mp, error);
}

bool qd_slot_taken(const qd_line* lp) {
  return qdl_ioctl_pending(lp);
}

int qd_busy(qd_line* lp) {
  qd_trace_line(lp, "ioctl still in progress, INCOMPLETE\n");
  return QD_IOC_REQUEUE;
}

// Holds the message until the unit answers, with the 60-second watchdog.
int qd_park(qd_line* lp, mblk_t* mp, mblk_t* qd_line::*slot) {
  qd_assert_line_held(lp);
  lp->*slot = mp;
  lp->ioctl_tid = timeout(qdf_utility_ioctl_timeout, lp, 60L * hz);
  return QD_IOC_HELD;
}

bool qd_is_tcseta(int cmd) {
  return cmd == TCSETA || cmd == TCSETAW || cmd == TCSETAF;
}

bool qd_is_tcsets(int cmd) {
  return cmd == TCSETS || cmd == TCSETSW || cmd == TCSETSF;
}

bool qd_is_modem_set(int cmd) {
  return cmd == TIOCMSET || cmd == TIOCMBIS || cmd == TIOCMBIC || cmd == QD_TIOCMSET_SIZED;
}

bool qd_is_modem_get(int cmd) {
  return cmd == TIOCMGET || cmd == QD_TIOCMGET_SIZED;
}

// Codes whose service may have to wait for a pending-ioctl slot.
bool qd_needs_slot(int cmd) {
  return qd_is_tcseta(cmd) || qd_is_tcsets(cmd) || qd_is_modem_set(cmd) || qd_is_modem_get(cmd);
}

int qd_speed_index(tcflag_t cflag) {
  return static_cast<int>(cflag & CBAUD) + ((cflag & CBAUDEXT) != 0 ? 16 : 0);
}

int qd_input_speed_index(tcflag_t cflag) {
  return static_cast<int>((cflag & CIBAUD) >> IBSHIFT) + ((cflag & CIBAUDEXT) != 0 ? 16 : 0);
}

bool qd_speed_refused(qd_line* lp, int index) {
  return qdf_checkparam(index + lp->speed_ext, lp, 0) != 0;
}

enum class qd_precheck { go_on, answered };

// The old record: 16-bit mode words. Its control word keeps the upper half of the line's.
qd_precheck qd_precheck_termio(qd_line* lp, mblk_t* mp) {
  termio t{};
  if (!qdf_ioctl_record(mp, &t, sizeof t)) {
    qd_trace_line(lp, "failed in prechecks SIZE\n");
    qd_nak_traced(lp, mp, EINVAL);
    return qd_precheck::answered;
  }
  const tcflag_t cflag = (lp->tty.t_cflag & 0xffff0000u) | t.c_cflag;
  // The input speed follows the output speed from now on.
  lp->tty.t_cflag &= ~(CIBAUD | CIBAUDEXT);
  if (static_cast<unsigned char>(t.c_line) >= 128) {
    qd_trace_line(lp, "failed in prechecks LINE\n");
    qd_nak_traced(lp, mp, EINVAL);
    return qd_precheck::answered;
  }
  if (qd_speed_index(cflag) == 0) {
    qd_ack_traced(lp, mp);
    return qd_precheck::answered;
  }
  if (qd_speed_refused(lp, qd_speed_index(cflag))) {
    qd_trace_line(lp, "failed in prechecks OUTBAUD\n");
    qd_nak_traced(lp, mp, EINVAL);
    return qd_precheck::answered;
  }
  return qd_precheck::go_on;
}

qd_precheck qd_precheck_termios(qd_line* lp, mblk_t* mp) {
  termios t{};
  if (!qdf_ioctl_record(mp, &t, sizeof t)) {
    qd_trace_line(lp, "failed in prechecks SIZE\n");
    qd_nak_traced(lp, mp, EINVAL);
    return qd_precheck::answered;
  }
  const int out = qd_speed_index(t.c_cflag);
  const int in = qd_input_speed_index(t.c_cflag);
  if (out == 0) {
    // Hang up: nothing else of the record is applied.
    qd_ack_traced(lp, mp);
    qdf_set_modem_sigs(lp, TIOCM_DTR, TIOCMBIC, 0);
    return qd_precheck::answered;
  }
  const char* refusal = nullptr;
  if (in != 0 && in != out) {
    if ((lp->unit->qdu_info->flags & QDM_NO_SPLIT) != 0) {
      refusal = "failed in prechecks SPLIT\n";
    } else if (qd_speed_refused(lp, in)) {
      refusal = "failed in prechecks INBAUD\n";
    }
  }
  if (refusal == nullptr && qd_speed_refused(lp, out)) {
    refusal = "failed in prechecks OUTBAUD\n";
  }
  if (refusal != nullptr) {
    qd_trace_line(lp, "$", refusal);
    qd_nak_traced(lp, mp, EINVAL);
    return qd_precheck::answered;
  }
  return qd_precheck::go_on;
}

// ttycommon_ioctl holds the message until a reply buffer can be had; a buffer callback
// runs it again.
int qd_buffer_shortage(qd_line* lp, std::size_t size) {
  qd_trace_line(lp, "ttycommon_ioctl() returned non-zero\n");
  qdf_cancel_reioctl(lp);
  lp->reioctl_bid = bufcall(size, BPRI_HI, qdf_reioctl, lp);
  if (lp->reioctl_bid == 0) {
    qd_trace_line(lp, "bufcall() returned zero\n");
    cmn_err(CE_CONT, "streams buffer allocation failed\n");
  }
  return QD_IOC_HELD;
}

// A tty common ioctl that ttycommon_ioctl has applied.
int qd_after_common(queue_t* q, mblk_t* mp, int cmd, qd_line* lp) {
  if (qd_is_tcseta(cmd) || qd_is_tcsets(cmd)) {
    qd_trace_line(lp, "TCSETSx: %\n", lp->tty.t_cflag);
    const int outcome = qdf_set_params_ioctl(q, mp, lp);
    if (outcome != QD_IOC_REQUEUE && (lp->tty.t_cflag & CLOCAL) != 0) {
      // Output held for lack of carrier may move again.
      qd_trace_line(lp, "CLOCAL went true\n");
      lp->qdl_flags &= ~QDL_HELD;
      qdf_process_wrq(lp->tty.t_writeq);
    }
    return outcome;
  }
  if (cmd == TIOCSSOFTCAR) {
    qdf_setsoftcarr(lp);
  }
  qd_ack_traced(lp, mp);
  return QD_IOC_DONE;
}

// Not a tty common ioctl, or a transparent one.
int qd_not_common(queue_t* q, mblk_t* mp, iocblk* iocp, qd_line* lp) {
  const int cmd = iocp->ioc_cmd;
  if (cmd == TCSBRK) {
    return qdf_send_break_ioctl(q, mp, lp);
  }
  if (qd_is_modem_set(cmd)) {
    return qdf_set_modem_ioctl(q, mp, iocp);
  }
  if (qd_is_modem_get(cmd)) {
    return qdf_get_modem_ioctl(q, mp, iocp);
  }
  qd_nak_traced(lp, mp, EINVAL);
  return QD_IOC_DONE;
}

} // namespace

int qdf_service_std_ioctl(queue_t* q, mblk_t* mp, iocblk* iocp, qd_line* lp) {
  qd_assert_line_held(lp);
  const int cmd = iocp->ioc_cmd;
  qd_trace_line(lp, "qdf_service_std_ioctl(%) $\n", cmd, qdf_ioctl_name(cmd));
  const bool transparent = iocp->ioc_count == TRANSPARENT;
  // A transparent record is refused further on: it carries a user address, not a record.
  if (!transparent && qd_is_tcseta(cmd) && qd_precheck_termio(lp, mp) == qd_precheck::answered) {
    return QD_IOC_DONE;
  }
  if (!transparent && qd_is_tcsets(cmd) && qd_precheck_termios(lp, mp) == qd_precheck::answered) {
    return QD_IOC_DONE;
  }
  // Waiting is decided before ttycommon_ioctl turns the message into its acknowledgement:
  // a message put back on the queue must still be an M_IOCTL that can run again.
  if (qd_needs_slot(cmd) && qd_slot_taken(lp)) {
    return qd_busy(lp);
  }
  qd_trace_line(lp, "survived prechecks\n");

  mutex_exit(lp->unit_mutex);
  int error = 0;
  const std::size_t shortage = ttycommon_ioctl(&lp->tty, q, mp, &error);
  mutex_enter(lp->unit_mutex);
  if (shortage != 0) {
    return qd_buffer_shortage(lp, shortage);
  }

  qd_trace_line(lp, "error=%\n", error);
  int outcome = QD_IOC_DONE;
  if (error == 0) {
    outcome = qd_after_common(q, mp, cmd, lp);
  } else if (error < 0) {
    outcome = qd_not_common(q, mp, iocp, lp);
  } else {
    qd_nak_traced(lp, mp, error);
  }
  if (outcome == QD_IOC_REQUEUE) {
    // A slot was taken while the mutex was released: run again as the request it was.
    mp->b_datap->db_type = M_IOCTL;
  }
  qd_trace_line(lp, "completion_status=%\n", outcome);
  return outcome;
}

int qdf_set_params_ioctl(queue_t* /*q*/, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "set_params_ioctl\n");
  if (qd_slot_taken(lp)) {
    return qd_busy(lp);
  }
  switch (qdf_note_termios(lp)) {
  case 1:
    qd_nak_traced(lp, mp, EINVAL);
    return QD_IOC_DONE;
  case 0:
    qd_ack_traced(lp, mp);
    return QD_IOC_DONE;
  default:
    // Completed by the unit's parameter answer.
    qdf_make_ioctl_ack(mp);
    return qd_park(lp, mp, &qd_line::termio_mesg);
  }
}

int qdf_get_modem_ioctl(queue_t* q, mblk_t* mp, iocblk* /*iocp*/) {
  qd_line* lp = qd_line_of(q);
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_get_modem_ioctl(~)\n", lp->line_num);
  if (qd_slot_taken(lp)) {
    return qd_busy(lp);
  }
  unsigned char* c = qdf_status_query(lp, STAT_QUERY_MASK);
  if (c == nullptr) {
    // No packet for the query: nothing would answer it but the watchdog.
    qd_nak_traced(lp, mp, EIO);
    return QD_IOC_DONE;
  }
  std::memset(c + 3, 0, FAS_HDR_SIZE - 3);
  qdf_logfasout(lp, c);
  lp->qdl_flags |= QDL_UTIL_WAIT;
  const int outcome = qd_park(lp, mp, &qd_line::getmdm);
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
  return outcome;
}

int qdf_set_modem_ioctl(queue_t* q, mblk_t* mp, iocblk* iocp) {
  qd_line* lp = qd_line_of(q);
  qd_assert_line_held(lp);
  qd_trace_line(lp, "set_modem_ioctl\n");
  if (qd_slot_taken(lp)) {
    return qd_busy(lp);
  }
  if (iocp->ioc_count == TRANSPARENT) {
    qd_trace_line(lp, "TRANSP, calling qdf_copyin\n");
    qdf_copyin(mp, sizeof(std::int32_t));
    return QD_IOC_DONE;
  }
  std::int32_t bits = 0;
  if (!qdf_ioctl_record(mp, &bits, sizeof bits)) {
    qd_nak_traced(lp, mp, EINVAL);
    return QD_IOC_DONE;
  }
  // Set, set bits or clear bits by the code's low half, so that the sized code sets.
  if (qdf_set_modem_sigs(lp, bits, iocp->ioc_cmd & 0xffff, 0) != 0) {
    qdf_make_ioctl_ack(mp);
    // The DTR guard wait releases the mutex: a slot taken meanwhile is not overwritten.
    if (!qd_slot_taken(lp)) {
      return qd_park(lp, mp, &qd_line::setmdm);
    }
  }
  qd_ack_traced(lp, mp);
  return QD_IOC_DONE;
}

int qdf_send_break_ioctl(queue_t* /*q*/, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "send_break_ioctl\n");
  iocblk* iocp = reinterpret_cast<iocblk*>(mp->b_rptr);
  long arg = 0;
  if (iocp->ioc_count == TRANSPARENT) {
    // The argument is the value itself.
    const mblk_t* b = mp->b_cont;
    if (b == nullptr || b->b_wptr - b->b_rptr < static_cast<long>(sizeof(std::intptr_t))) {
      qd_nak_traced(lp, mp, EINVAL);
      return QD_IOC_DONE;
    }
    std::intptr_t v = 0;
    std::memcpy(&v, b->b_rptr, sizeof v);
    arg = static_cast<long>(v);
  } else {
    std::int32_t v = 0;
    if (!qdf_ioctl_record(mp, &v, sizeof v)) {
      qd_nak_traced(lp, mp, EINVAL);
      return QD_IOC_DONE;
    }
    arg = v;
  }
  if (arg == 0) {
    qd_trace_line(lp, "issuing break to firmware\n");
    if (unsigned char* c = qdm_putfas(lp->unit, FAS_HDR_SIZE); c != nullptr) {
      std::memset(c, 0, FAS_HDR_SIZE);
      c[0] = FAS_SEND_BREAK;
      c[1] = lp->line_num;
      qdf_logfasout(lp, c);
      // Output is busy until the unit answers: a drain waits for the break.
      lp->qdl_flags |= QDL_SEND_OUT | QDL_OUTPUT_ACTIVE;
      qdm_scsifsm(lp->unit, SFSM_IN_KICK);
    }
  }
  qdf_make_ioctl_ack(mp);
  iocp->ioc_count = 0;
  return QD_IOC_DONE;
}
