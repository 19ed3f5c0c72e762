// Line input: the FAS_RECV grant and received data under the termios input rules.
#pragma once

struct qd_line;

void qdf_start_input(qd_line* lp);
void qdf_restart_input(void* lp);
void qdf_handle_fasrecv(qd_line* lp, unsigned char* answer);
// errtype: 0 good data, else the FAS status code of the data (11 for a break character).
void qdf_send_input_up(qd_line* lp, unsigned char* data, int count, int errtype);
void qdf_process_break(qd_line* lp, unsigned char* data, int count);
