// The flow and flush commands of a line: FAS_OUTPUT_CTRL and FAS_INPUT_CTRL.
#include <cstdint>
#include <iterator>

#include "fas.h"
#include "qd_flow.h"
#include "qd_line.h"
#include "qd_output.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"

namespace {

// One row per builder: the command's bytes 0-4 and whether it kicks the transport. A
// flush row sends byte 2 = 1 only to units with capability bit 0.
struct qd_flow_cmd {
  const char* trace;
  unsigned char opcode;
  bool flush;
  unsigned char suspend; // byte 3: suspend output / block input
  unsigned char resume;  // byte 4: resume output / unblock input
  bool kick;
};

enum qd_flow_row : std::uint8_t {
  FLUSH_OUTPUT,
  SUSPEND_OUTPUT,
  RESUME_OUTPUT,
  FLUSH_INPUT,
  BLOCK_INPUT,
  UNBLOCK_INPUT,
};

// In the order of qd_flow_row.
constexpr qd_flow_cmd qd_flow_tab[] = {
    {"qdf_flush_output\n", FAS_OUTPUT_CTRL, true, 0, 1, false},
    {"qdf_suspend_output\n", FAS_OUTPUT_CTRL, false, 1, 0, true},
    {"qdf_resume_output\n", FAS_OUTPUT_CTRL, false, 0, 1, true},
    {"qdf_flush_input\n", FAS_INPUT_CTRL, true, 0, 0, true},
    {"qdf_block_input\n", FAS_INPUT_CTRL, false, 1, 0, true},
    {"qdf_unblock_input\n", FAS_INPUT_CTRL, false, 0, 1, true},
};
static_assert(std::size(qd_flow_tab) == UNBLOCK_INPUT + 1);

// Queues the row's command unless the line is offline. With the pool exhausted nothing
// is reserved and nothing goes out.
void qdf_flow_cmd(qd_line* lp, qd_flow_row row) {
  const qd_flow_cmd& c = qd_flow_tab[row];
  qd_unit* up = lp->unit;
  qd_trace_line(lp, "$", c.trace);
  if ((lp->qdl_flags & QDL_OFFLINE) != 0) {
    return;
  }
  unsigned char* cmd = qdm_putfas(up, FAS_HDR_SIZE);
  if (cmd == nullptr) {
    return;
  }
  cmd[0] = c.opcode;
  cmd[1] = lp->line_num;
  cmd[2] = c.flush && (up->qdu_caps & QDU_CAP_TIMEOUT15) != 0 ? 1 : 0;
  cmd[3] = c.suspend;
  cmd[4] = c.resume;
  qdf_logfasout(lp, cmd);
  if (c.kick) {
    qdm_scsifsm(up, SFSM_IN_KICK);
  }
}

} // namespace

void qdf_flush_output(qd_line* lp) {
  qd_assert_line_held(lp);
  if (qd_parq* ring = lp->parq; ring != nullptr && (lp->qdl_flags & QDL_PARALLEL) != 0) {
    ring->count = 0;
    ring->wptr = ring->data;
    ring->rptr = ring->data;
    ring->endptr = ring->data + QD_PARQ_SIZE;
  }
  qdf_flow_cmd(lp, FLUSH_OUTPUT);
}

void qdf_suspend_output(qd_line* lp) {
  qd_assert_line_held(lp);
  qdf_flow_cmd(lp, SUSPEND_OUTPUT);
}

void qdf_resume_output(qd_line* lp) {
  qd_assert_line_held(lp);
  qdf_flow_cmd(lp, RESUME_OUTPUT);
}

void qdf_flush_input(qd_line* lp) {
  qd_assert_line_held(lp);
  qdf_flow_cmd(lp, FLUSH_INPUT);
}

void qdf_block_input(qd_line* lp) {
  qd_assert_line_held(lp);
  qdf_flow_cmd(lp, BLOCK_INPUT);
}

void qdf_unblock_input(qd_line* lp) {
  qd_assert_line_held(lp);
  qdf_flow_cmd(lp, UNBLOCK_INPUT);
}
