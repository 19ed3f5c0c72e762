// Answer dispatch: every answer a unit sends back is checked, logged, its status applied
// and its opcode carried out for its line.
#include <cstdlib>
#include <iterator>

#include "fas.h"
#include "ksys/cmn_err.h"
#include "qd_dispatch.h"
#include "qd_flow.h"
#include "qd_input.h"
#include "qd_ioctl.h"
#include "qd_log.h"
#include "qd_ocfsm.h"
#include "qd_output.h"
#include "qd_params.h"
#include "qd_pool.h"
#include "qd_state.h"
#include "qd_trace_route.h"
#include "qd_unitops.h"

namespace {

// ---- Status step ---------------------------------------------------------------------------

enum class qd_st_effect : unsigned char {
  none,
  report,       // console error report
  line_offline, // the line is gone at the unit
  overflow,     // the unit's input buffer overflowed
};

// Opcodes a status's effect does not apply to.
struct qd_opset {
  unsigned char op[3];
  unsigned char count;
};
constexpr qd_opset kNoExceptions = {{}, 0};
constexpr qd_opset kQuietStatChgOutCtrl = {{FAS_STAT_CHG, FAS_OUTPUT_CTRL}, 2};

struct qd_status_row {
  const char* name;
  qd_st_effect effect;
  const char* trace; // the report's trace record
  qd_opset except;
};

constexpr const char* kCmd1 = "qd: error on cmd 1\n";
constexpr const char* kCmd2 = "qd: error on cmd 2\n";
constexpr const char* kCmd3 = "qd: error on cmd 3\n";
constexpr qd_st_effect kNone = qd_st_effect::none;
constexpr qd_st_effect kReport = qd_st_effect::report;
constexpr qd_st_effect kOffline = qd_st_effect::line_offline;

// Indexed by status code; codes from 16 up use the last row.
constexpr qd_status_row qd_status_tab[] = {
    {"FAS_ST_OK", kNone, "", kNoExceptions},
    {"ERR_MULT_CMD", kReport, kCmd3, kQuietStatChgOutCtrl},
    {"ERR_BAD_PARAM", kReport, kCmd1, {{FAS_SET_PARAMS}, 1}},
    {"ERR_NOT_PRESENT", kReport, kCmd3, kQuietStatChgOutCtrl},
    {"FAS_ST_PARITY", kNone, "", kNoExceptions}, // reported with the received data
    {"FAS_ST_OVERRUN", kNone, "", kNoExceptions},
    {"FAS_ST_FRAMING", kNone, "", kNoExceptions},
    {"ERR_UNKNOWN", kReport, kCmd3, kQuietStatChgOutCtrl},
    {"FAS_ST_OFFLINE", kOffline, "", {{FAS_OUTPUT_CTRL, FAS_STAT_CHG, FAS_WAIT_SEND}, 3}},
    {"ERR_BAD_CMD", kReport, kCmd3, kQuietStatChgOutCtrl},
    {"-", kNone, "", kNoExceptions},
    {"FAS_ST_BREAK", kNone, "", kNoExceptions}, // handled with the received data
    {"FAS_ST_OVERFLOW", qd_st_effect::overflow, "", kNoExceptions},
    {"FAS_ST_LINE_DOWN", kOffline, "", kNoExceptions},
    {"-", kNone, "", kNoExceptions}, // statistics: more to come
    {"ERR_BUSY", kReport, kCmd2, {{FAS_ENABLE, FAS_RESET}, 2}},
    {"other", kReport, kCmd3, kQuietStatChgOutCtrl},
};

const qd_status_row& qd_status_for(unsigned code) {
  constexpr unsigned last = std::size(qd_status_tab) - 1;
  return qd_status_tab[code < last ? code : last];
}

bool qd_status_exempt(const qd_status_row& row, unsigned char opcode) {
  for (unsigned i = 0; i < row.except.count; ++i) {
    if (row.except.op[i] == opcode) {
      return true;
    }
  }
  return false;
}

void qdf_status_step(qd_unit* up, qd_line* lp, const unsigned char* ans) {
  const qd_status_row& row = qd_status_for(ans[2] & FAS_ST_MASK);
  if (qd_status_exempt(row, ans[0])) {
    return;
  }
  switch (row.effect) {
  case qd_st_effect::none:
    break;
  case qd_st_effect::report:
    cmn_err(CE_CONT, "qd: error (%s) on cmd: ", row.name);
    if (lp != nullptr) {
      qd_trace_line(lp, "$", row.trace);
    } else {
      qd_trace_unit(up, "$", row.trace);
    }
    qdshowfascmd("R", ans);
    break;
  case qd_st_effect::line_offline:
    if (lp != nullptr) {
      qdf_line_offline(lp);
    }
    break;
  case qd_st_effect::overflow:
    qdlogerr(0, up, lp, "Input buffer overflow");
    break;
  }
}

// ---- Opcode step ---------------------------------------------------------------------------

// To wake is to let every waiter on the line's "qd_cv" look again.
void qd_wake(qd_line* lp) {
  cv_broadcast(&lp->qd_cv);
}

void ans_enable(qd_unit* up, qd_line* lp, unsigned char* ans) {
  // Only an enable still waited for counts: one that timed out has taken the line offline,
  // and a late answer would leave it enabled with nobody to bring it up.
  if ((lp->qdl_flags & QDL_ENABLE_PEND) == 0) {
    qd_trace_line(lp, "stray FAS_ENABLE answer\n");
    return;
  }
  lp->qdl_flags |= QDL_ENABLED;
  const bool offline_ok =
      (up->qdu_caps & QDU_CAP_RESET) == 0 && (ans[2] & FAS_ST_MASK) == FAS_ST_OFFLINE;
  lp->last_fas_status = offline_ok ? 0 : ans[2];
}

void ans_disable(qd_unit*, qd_line* lp, unsigned char* ans) {
  lp->modem_bits = 0;
  lp->qdl_flags &= ~(QDL_ENABLED | QDL_DISABLE_PEND | QDL_WAITSEND_OUT);
  lp->last_fas_status = ans[2];
  qd_wake(lp);
}

void ans_send(qd_unit*, qd_line* lp, unsigned char*) {
  lp->wdog_count = 0;
  lp->qdl_flags &= ~QDL_SEND_OUT;
  if (lp->tty.t_readq != nullptr) {
    qdf_process_wrq(lp->tty.t_writeq);
    if ((lp->qdl_flags & QDL_PARALLEL) != 0) {
      qdf_start_parallel(lp);
    }
  }
  if ((lp->qdl_flags & QDL_SEND_OUT) == 0 && (lp->qdl_flags & QDL_DRAIN_WANTED) != 0) {
    qdf_output_done(lp);
  }
}

void ans_recv(qd_unit*, qd_line* lp, unsigned char* ans) {
  qdf_handle_fasrecv(lp, ans);
}

void ans_input_ctrl(qd_unit*, qd_line* lp, unsigned char*) {
  lp->missed_polls = 0;
}

void ans_ioctl(qd_unit*, qd_line* lp, unsigned char* ans) {
  qdf_utility_ioctl_wrapup(lp, ans[0], ans[2]);
}

void ans_stat_chg(qd_unit*, qd_line* lp, unsigned char* ans) {
  qdf_handle_stat_chg(lp, ans);
}

void ans_flow_ctrl(qd_unit*, qd_line* lp, unsigned char*) {
  if ((lp->qdl_flags & QDL_ENABLE_PEND) != 0) {
    lp->qdl_flags &= ~QDL_ENABLE_PEND;
    qd_wake(lp);
  }
}

void ans_reset(qd_unit*, qd_line* lp, unsigned char* ans) {
  lp->qdl_flags &= ~QDL_OFFLINE;
  lp->last_fas_status = ans[2];
  qd_wake(lp);
}

void ans_stats(qd_unit* up, qd_line*, unsigned char* ans) {
  if (ans[2] == ERR_BAD_CMD) {
    return;
  }
  qdf_display_statistics(ans + FAS_HDR_SIZE, static_cast<int>(fas_get16(ans + 4)));
  if (ans[2] == 14) {
    // The next part; sent with the transport's next send (none when the pool is empty).
    if (unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE); cmd != nullptr) {
      cmd[0] = ans[0];
      cmd[1] = ans[1];
    }
  } else {
    cmn_err(CE_CONT, "\n\n");
  }
}

void ans_wait_send(qd_unit*, qd_line* lp, unsigned char*) {
  if ((lp->qdl_flags & QDL_SEND_OUT) != 0) {
    // Data went out after the wait began: wait again behind it.
    qdf_cancel_drain_timer(lp);
    lp->qdl_flags &= ~(QDL_DRAIN_WAIT | QDL_DRAIN_TIMER | QDL_WAITSEND_OUT);
    qdf_wait_out(lp);
  } else {
    lp->qdl_flags &= ~QDL_WAITSEND_OUT;
    lp->wdog_count = 0;
    qdf_output_done(lp);
  }
}

void ans_unit_poll(qd_unit* up, qd_line*, unsigned char*) {
  up->qdu_poll_time = qd_systime;
}

using qd_answer_fn = void (*)(qd_unit* up, qd_line* lp, unsigned char* ans);

struct qd_opcode_row {
  unsigned char opcode;
  qd_answer_fn fn;
  bool needs_line;
};

constexpr qd_opcode_row qd_opcode_tab[] = {
    {FAS_ENABLE, ans_enable, true},       {FAS_DISABLE, ans_disable, true},
    {FAS_SEND, ans_send, true},           {FAS_SEND_BREAK, ans_send, true},
    {FAS_RECV, ans_recv, true},           {FAS_INPUT_CTRL, ans_input_ctrl, true},
    {FAS_SET_MODEM, ans_ioctl, true},     {FAS_SET_PARAMS, ans_ioctl, true},
    {FAS_EXT_PARAMS, ans_ioctl, true},    {FAS_STAT_CHG, ans_stat_chg, true},
    {FAS_FLOW_CTRL, ans_flow_ctrl, true}, {FAS_RESET, ans_reset, true},
    {FAS_UNIT_STATS, ans_stats, false},   {FAS_MUX_STATS, ans_stats, false},
    {FAS_WAIT_SEND, ans_wait_send, true}, {FAS_UNIT_POLL, ans_unit_poll, false},
};

void qdf_opcode_step(qd_unit* up, qd_line* lp, unsigned char* ans) {
  for (const qd_opcode_row& row : qd_opcode_tab) {
    if (row.opcode == ans[0]) {
      if (lp != nullptr || !row.needs_line) {
        row.fn(up, lp, ans);
      }
      return;
    }
  }
}

// ---- Answer-time estimator -----------------------------------------------------------------

void qdf_answer_time(qd_unit* up) {
  up->qdu_poll_time = qd_systime;
  clock_t now = 0;
  drv_getparm(LBOLT, &now);
  const long a = now - up->qdu_poll_sent;
  if (a < 0) {
    return;
  }
  const long d = a - up->qdu_srtt;
  up->qdu_srtt += static_cast<int>(d / 4);
  up->qdu_rttvar += static_cast<int>((std::labs(d) - up->qdu_rttvar) / 4);
  const int nlines = up->qdu_info != nullptr ? up->qdu_info->nlines : 0;
  for (int i = 0; i < nlines; ++i) {
    qd_line* lp = up->qd_lines[i];
    if (lp != nullptr && (lp->qdl_flags & QDL_ENABLED) != 0 &&
        (lp->qdl_flags & (QDL_DISABLE_PEND | QDL_OFFLINE)) == 0) {
      qd_set_curr_size_fassend(lp);
    }
  }
}

// ---- Bad batches ---------------------------------------------------------------------------

// The unit's answers cannot be trusted past this point: the rest of the batch is thrown
// away and the unit goes offline. A unit node's receive packet is emptied outright, so
// that the bytes still arriving find room. `dump`: print the packet on the console.
void qdf_bad_batch(qd_unit* up, bool dump = true) {
  qd_pkt* r = up->qdu_rcvpkt;
  if (dump) {
    dump_qd_pkt(r);
  }
  if (qdu_is_lanvara(up)) {
    qdm_vrn_resetrcvpkt(r);
  } else {
    r->qd_rptr = r->qd_wptr;
  }
  qdm_unit_offline(up);
}

// Line record of the answer's line, or null after taking the unit offline.
qd_line* qdf_answer_line(qd_unit* up, unsigned char* ans, int line) {
  const int nlines = up->qdu_info != nullptr ? up->qdu_info->nlines : 0;
  if (line >= nlines) {
    qdlogerr(0, up, nullptr, "line number %d out of range", line);
    qdshowfascmd("R", ans);
    qd_trace_unit(up, "line num out of range:^, pun=~\n", ans, up->qdu_target);
    qdf_bad_batch(up);
    return nullptr;
  }
  qd_line* lp = up->qd_lines[line];
  if (lp == nullptr) {
    qdlogerr(0, up, nullptr, "NULL line ptr for line number %d", line);
    qd_trace_unit(up, "null qd for pun=~ cmd=^\n", up->qdu_target, ans);
    // A well-formed answer for a port never opened: no dump. The rest of the batch is
    // dropped all the same, or a unit node would hand it to the next write.
    qdf_bad_batch(up, false);
    return nullptr;
  }
  return lp;
}

void qdf_log_answer(qd_line* lp, const unsigned char* ans) {
  if (ans[0] == FAS_INPUT_CTRL) {
    // Polls come every 30 seconds: only every 60th answer is worth a log entry.
    if (lp->inputctrl_answers++ % 60 != 0) {
      return;
    }
  }
  qdf_logfasin(lp, ans);
}

} // namespace

void qdf_procrecv(qd_unit* up) {
  qd_assert_unit_held(up);
  for (;;) {
    int malformed = 0;
    unsigned char* ans = qdm_getfasresponse(up, &malformed);
    if (ans == nullptr) {
      if (malformed != 0) {
        qdlogerr(0, up, nullptr, "answer runs past the bytes received");
        qd_trace_unit(up, "bad answer length, pun=~\n", up->qdu_target);
        qdf_bad_batch(up);
      }
      return;
    }
    if (fascmd_is_ok(ans) == 0) {
      qdf_bad_batch(up);
      return;
    }
    qd_line* lp = nullptr;
    if (const int line = linenum(ans); line < 0) {
      if (ans[0] == FAS_UNIT_POLL) {
        qd_trace_unit(up, "R~:UnitPoll ^\n", up->qdu_target, ans);
        qdf_answer_time(up);
      } else {
        qd_trace_unit(up, "R:^\n", ans);
      }
    } else {
      lp = qdf_answer_line(up, ans, line);
      if (lp == nullptr) {
        return;
      }
      qdf_log_answer(lp, ans);
    }
    qdf_status_step(up, lp, ans);
    qdf_opcode_step(up, lp, ans);
  }
}
