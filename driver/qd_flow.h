// Flow, flush and FAS_WAIT_SEND commands, and the drain machinery.
#pragma once

#include "ksys/tty_common.h"

struct qd_line;

void qdf_flush_output(qd_line* lp);
void qdf_flush_input(qd_line* lp);
void qdf_suspend_output(qd_line* lp);
void qdf_resume_output(qd_line* lp);
void qdf_block_input(qd_line* lp);
void qdf_unblock_input(qd_line* lp);
void qdf_drain_output(queue_t* q, mblk_t* mp, qd_line* lp);
void qdf_wait_out(qd_line* lp);
void qdf_wait_timeout(void* lp);
void qdf_output_done(qd_line* lp);
// Cancels the drain timeout if one is armed, and clears QDL_DRAIN_TIMER.
void qdf_cancel_drain_timer(qd_line* lp);
