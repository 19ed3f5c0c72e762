// Line input: the FAS_RECV grant, received data under the termios input rules, breaks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fas.h"
#include "ksys/stream.h"
#include "qd_callout.h"
#include "qd_flow.h"
#include "qd_input.h"
#include "qd_log.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"

namespace {

// A line takes no grant while any of these is set.
constexpr std::uint32_t QDL_INPUT_BLOCKED =
    QDL_DISABLE_PEND | QDL_PARALLEL | QDL_STOPI | QDL_RESTART_DEFER | QDL_OFFLINE;
static_assert(QDL_INPUT_BLOCKED == 0x100688);

constexpr clock_t QD_RESTART_TICKS = hz / 10;

// Arms the retry unless one is pending: a line has one retry chain at most.
void qdf_arm_restart(qd_line* lp) {
  if (lp->restart_tid != nullptr) {
    return;
  }
  qd_trace_line(lp, "qdf_start_input: calling timeout\n");
  lp->restart_tid = timeout(qdf_restart_input, lp, QD_RESTART_TICKS);
}

// ---- Delivery cases ------------------------------------------------------------------------

enum class qd_in_when : std::uint8_t { any, set, clear };

constexpr bool qd_in_matches(qd_in_when w, bool v) {
  return w == qd_in_when::any || (w == qd_in_when::set) == v;
}

using qd_in_fill = int (*)(unsigned char* out, const unsigned char* in, int n, unsigned mask);

// Each writes its message from the received bytes and returns the bytes written.
int fill_flagged(unsigned char* out, const unsigned char* in, int n, unsigned mask) {
  for (int i = 0; i < n; ++i) {
    *out++ = 0xFF;
    *out++ = 0x00;
    *out++ = static_cast<unsigned char>(in[i] & mask);
  }
  return 3 * n;
}
int fill_nulls(unsigned char* out, const unsigned char*, int n, unsigned) {
  std::memset(out, 0, static_cast<std::size_t>(n));
  return n;
}
int fill_copy(unsigned char* out, const unsigned char* in, int n, unsigned) {
  std::memcpy(out, in, static_cast<std::size_t>(n));
  return n;
}
int fill_strip(unsigned char* out, const unsigned char* in, int n, unsigned) {
  for (int i = 0; i < n; ++i) {
    out[i] = static_cast<unsigned char>(in[i] & 0x7F);
  }
  return n;
}
int fill_mark(unsigned char* out, const unsigned char* in, int n, unsigned mask) {
  unsigned char* p = out;
  for (int i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(in[i] & mask);
    *p++ = c;
    if (c == 0xFF) {
      *p++ = 0xFF; // a data 0xFF must not read as the start of a parity mark
    }
  }
  return static_cast<int>(p - out);
}

struct qd_input_case {
  const char* trace;
  bool erroneous;
  qd_in_when parmrk;
  qd_in_when istrip;
  qd_in_when drop; // IGNPAR set and the error is not a break character
  int size_factor; // message size in multiples of the count; 0: no message
  qd_in_fill fill;
};

// The first row that matches decides.
constexpr qd_input_case qd_input_cases[] = {
    {"", true, qd_in_when::any, qd_in_when::any, qd_in_when::set, 0, nullptr},
    {"expand w/ flagging, ", true, qd_in_when::set, qd_in_when::any, qd_in_when::any, 3,
     fill_flagged},
    {"turn to nulls, ", true, qd_in_when::clear, qd_in_when::any, qd_in_when::any, 1, fill_nulls},
    {"normal copy, ", false, qd_in_when::clear, qd_in_when::clear, qd_in_when::any, 1, fill_copy},
    {"strip copy, ", false, qd_in_when::clear, qd_in_when::set, qd_in_when::any, 1, fill_strip},
    {"mark ff's, ", false, qd_in_when::set, qd_in_when::any, qd_in_when::any, 2, fill_mark},
};

const qd_input_case* qd_input_case_for(bool erroneous, bool parmrk, bool istrip, bool drop) {
  for (const qd_input_case& c : qd_input_cases) {
    if (c.erroneous == erroneous && qd_in_matches(c.parmrk, parmrk) &&
        qd_in_matches(c.istrip, istrip) && qd_in_matches(c.drop, drop)) {
      return &c;
    }
  }
  return nullptr;
}

} // namespace

void qdf_start_input(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_line(lp, "Start_Input\n");
  queue_t* rq = lp->tty.t_readq;
  if ((lp->qdl_flags & QDL_INPUT_BLOCKED) == 0 && rq != nullptr && canputnext(rq) != 0) {
    if (unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE); cmd != nullptr) {
      cmd[0] = FAS_RECV;
      cmd[1] = lp->line_num;
      cmd[2] = 0x80;
      cmd[3] = 1;
      qdf_logfasout(lp, cmd);
      qdf_cancel_restart_input(lp); // this grant is the one a pending retry would have sent
      return;
    }
    // No packet: without a retry the line would never be granted input again.
    qdf_arm_restart(lp);
    return;
  }
  if ((lp->qdl_flags & QDL_PARALLEL) != 0) {
    return;
  }
  if ((lp->qdl_flags & (QDL_STOPI | QDL_RESTART_DEFER)) != 0) {
    lp->qdl_flags |= QDL_RESTART_DEFER; // M_STARTI grants
    return;
  }
  qdf_arm_restart(lp);
}

void qdf_restart_input(void* arg) {
  auto* lp = static_cast<qd_line*>(arg);
  qd_unit* up = lp->unit;
  mutex_enter(&up->intr_mutex);
  mutex_enter(lp->unit_mutex);
  if (qd_callout_claim(&lp->restart_tid, qdf_restart_input, lp)) {
    qd_trace_line(lp, "qdf_restart(%)\n", lp->line_num);
    if ((lp->qdl_flags & QDL_ENABLED) != 0 && (lp->qdl_flags & QDL_OFFLINE) == 0) {
      qdf_start_input(lp);
      qdm_scsifsm(up, SFSM_IN_KICK);
    }
    qd_trace_line(lp, "leaving restart_input\n");
  }
  mutex_exit(lp->unit_mutex);
  mutex_exit(&up->intr_mutex);
}

void qdf_cancel_restart_input(qd_line* lp) {
  qd_assert_line_held(lp);
  if (lp->restart_tid != nullptr) {
    untimeout(lp->restart_tid);
    lp->restart_tid = nullptr;
  }
}

void qdf_handle_fasrecv(qd_line* lp, unsigned char* answer) {
  qd_assert_line_held(lp);
  const int count = static_cast<int>(fas_get16(answer + 4));
  unsigned char* data = answer + FAS_HDR_SIZE;
  if ((lp->qdl_flags & QDL_ENABLED) == 0 || (lp->qdl_flags & QDL_DISABLE_PEND) != 0) {
    return;
  }
  queue_t* rq = lp->tty.t_readq;
  if (rq == nullptr || rq->q_next == nullptr) {
    qd_trace_line(lp, "queues not ready\n");
  } else {
    const int code = answer[2] & FAS_ST_MASK;
    bool deliver = true;
    switch (code) {
    case FAS_ST_PARITY:
      qdlogerr(2, nullptr, lp, "Parity error");
      break;
    case FAS_ST_OVERRUN:
      qdlogerr(1, nullptr, lp, "Overrun error");
      break;
    case FAS_ST_FRAMING:
      qdlogerr(2, nullptr, lp, "Framing error");
      break;
    case FAS_ST_BREAK:
      qdlogerr(2, nullptr, lp, "Break received");
      qdf_process_break(lp, data, count);
      deliver = false;
      break;
    default:
      break;
    }
    if (deliver) {
      qdf_send_input_up(lp, data, count, code);
    }
  }
  qdf_start_input(lp);
}

void qdf_send_input_up(qd_line* lp, unsigned char* data, int count, int errtype) {
  qd_assert_line_held(lp);
  if (count <= 0) {
    return;
  }
  const tcflag_t iflag = lp->tty.t_iflag;
  // A parity error counts only when parity is checked.
  const bool erroneous = errtype != 0 && ((iflag & INPCK) != 0 || errtype != FAS_ST_PARITY);
  const unsigned mask = (iflag & ISTRIP) != 0 ? 0x7F : 0xFF;
  const bool drop = (iflag & IGNPAR) != 0 && errtype != FAS_ST_BREAK;
  const qd_input_case* c =
      qd_input_case_for(erroneous, (iflag & PARMRK) != 0, (iflag & ISTRIP) != 0, drop);
  qd_trace_line(lp, "qdf_send_input_up count=% errflg=~ - ", static_cast<unsigned>(count),
                static_cast<unsigned>(erroneous));
  if (erroneous) {
    qd_trace_line(lp, "error handling, ");
  } else {
    qd_trace_line(lp, "no error, ");
  }
  if (c == nullptr) {
    return;
  }
  if (c->size_factor == 0) {
    return; // dropped
  }
  qd_trace_line(lp, "$", c->trace);
  queue_t* rq = lp->tty.t_readq;
  mblk_t* mp = allocb(static_cast<std::size_t>(c->size_factor) * count, BPRI_HI);
  if (mp == nullptr) {
    qdlogerr(0, nullptr, lp, "Couldn't get recv mesg buf");
    return;
  }
  mp->b_wptr += c->fill(mp->b_wptr, data, count, mask);
  if (rq == nullptr) {
    freemsg(mp);
    return;
  }
  putq(rq, mp);
}

void qdf_process_break(qd_line* lp, unsigned char* data, int count) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_process_break\n");
  if (count <= 0) {
    return;
  }
  // The unit mutex is let go around M_BREAK; the answer's bytes in the receive packet may
  // move meanwhile (more bytes arriving on a unit node), so walk a copy.
  const std::vector<unsigned char> bytes(data, data + count);
  const unsigned char* p = bytes.data();
  const unsigned char* end = p + bytes.size();
  while (p < end) {
    if (*p != 0) {
      const unsigned char* run = p;
      while (p < end && *p != 0) {
        ++p;
      }
      qd_trace_line(lp, "non-null\n");
      qdf_send_input_up(lp, const_cast<unsigned char*>(run), static_cast<int>(p - run), 0);
      continue;
    }
    const tcflag_t iflag = lp->tty.t_iflag;
    if ((iflag & IGNBRK) != 0) {
      qd_trace_line(lp, "ignore\n");
    } else if ((iflag & BRKINT) != 0) {
      qd_trace_line(lp, "sending M_BREAK up\n");
      if (queue_t* rq = lp->tty.t_readq; rq != nullptr) {
        mutex_exit(lp->unit_mutex);
        putnextctl(rq, M_BREAK);
        mutex_enter(lp->unit_mutex);
      }
      if (queue_t* wq = lp->tty.t_writeq; wq != nullptr && wq->q_first != nullptr) {
        qdf_drain_output(wq, getq(wq), lp);
      }
    } else {
      qd_trace_line(lp, "error char\n");
      unsigned char nul = 0;
      qdf_send_input_up(lp, &nul, 1, FAS_ST_BREAK);
    }
    ++p;
  }
}
