// Modem signals through FAS_SET_MODEM, with DTR kept low for the line's guard time, and
// the soft-carrier flag.
#include "ksys/termios.h"
#include "ksys/time.h"
#include "qddrv.h"

namespace {

constexpr unsigned char MODEM_LEAVE = 0;
constexpr unsigned char MODEM_RAISE = 1;
constexpr unsigned char MODEM_LOWER = 2;

// Enabled at the unit, and neither being disabled nor offline.
bool modem_usable(const qd_line* lp) {
  return (lp->qdl_flags & (QDL_ENABLED | QDL_DISABLE_PEND | QDL_OFFLINE)) == QDL_ENABLED;
}

clock_t now_ticks() {
  clock_t now = 0;
  drv_getparm(LBOLT, &now);
  return now;
}

} // namespace

int qdf_set_modem_sigs(qd_line* lp, int bits, int cmd, int forced) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "Smdm\n");
  if (!modem_usable(lp)) {
    return 0;
  }

  const std::uint32_t before = lp->modem_bits;
  std::uint32_t after = before;
  unsigned char rts_op = MODEM_LEAVE;
  unsigned char dtr_op = MODEM_LEAVE;
  const std::uint32_t dtr = TIOCM_DTR;
  const std::uint32_t rts = TIOCM_RTS;
  switch (cmd) {
  case TIOCMSET:
    dtr_op = (bits & TIOCM_DTR) != 0 ? MODEM_RAISE : MODEM_LOWER;
    rts_op = (bits & TIOCM_RTS) != 0 ? MODEM_RAISE : MODEM_LOWER;
    after = (after & ~(dtr | rts)) | (static_cast<std::uint32_t>(bits) & (dtr | rts));
    break;
  case TIOCMBIS:
    if ((bits & TIOCM_DTR) != 0) {
      dtr_op = MODEM_RAISE;
      after |= dtr;
    }
    if ((bits & TIOCM_RTS) != 0) {
      rts_op = MODEM_RAISE;
      after |= rts;
    }
    break;
  case TIOCMBIC:
    if ((bits & TIOCM_DTR) != 0) {
      dtr_op = MODEM_LOWER;
      after &= ~dtr;
    }
    if ((bits & TIOCM_RTS) != 0) {
      rts_op = MODEM_LOWER;
      after &= ~rts;
    }
    break;
  default:
    return 0;
  }
  lp->modem_bits = after;
  if (after == before && forced == 0) {
    return 0;
  }

  const bool dtr_was = (before & dtr) != 0;
  const bool dtr_now = (after & dtr) != 0;
  if (dtr_was && !dtr_now) {
    lp->last_dtr_drop = static_cast<std::int32_t>(now_ticks());
  } else if (!dtr_was && dtr_now) {
    // DTR stays low for the guard time, so that the modem sees the hang-up.
    const clock_t now = now_ticks();
    clock_t dropped = lp->last_dtr_drop;
    if (dropped > now) {
      dropped = now;
    }
    const clock_t wait = qdf_guard_delay(lp) - (now - dropped);
    if (wait > 0) {
      mutex_exit(lp->unit_mutex);
      qddelay(wait);
      mutex_enter(lp->unit_mutex);
      // The line may have been disabled or taken offline meanwhile: the unit would refuse
      // the command, and nobody would wait for its answer.
      if (!modem_usable(lp)) {
        return 0;
      }
    }
  }

  unsigned char* c = qdm_putfas(lp->unit, FAS_HDR_SIZE);
  if (c == nullptr) {
    return 0;
  }
  const unsigned char hup = (lp->qdl_flags & QDL_HUPCL) == 0 ? 0x80 : 0;
  c[0] = FAS_SET_MODEM;
  c[1] = lp->line_num;
  c[2] = static_cast<unsigned char>(rts_op | hup);
  c[3] = static_cast<unsigned char>(dtr_op | hup);
  qdf_logfasout(lp, c);
  qdm_scsifsm(lp->unit, SFSM_IN_KICK);
  return 2;
}

void qdf_setsoftcarr(qd_line* lp) {
  qd_assert_line_held(lp);
  if ((lp->tty.t_flags & TS_SOFTCAR) != 0) {
    qd_trace_line(lp, "qdf_setsoftcarr ON\n");
    if ((lp->qdl_flags & QDL_LOCAL) != 0) {
      return;
    }
    lp->qdl_flags |= QDL_LOCAL;
    lp->qdl_flags &= ~QDL_HELD;
    // A carrier wait re-checks: a local line needs no carrier.
    cv_broadcast(&lp->qd_cv);
    if (lp->tty.t_writeq != nullptr) {
      qdf_process_wrq(lp->tty.t_writeq);
    }
  } else {
    qd_trace_line(lp, "qdf_setsoftcarr OFF\n");
    lp->qdl_flags &= ~QDL_LOCAL;
  }
}
