// Line input: the FAS_RECV grant and received data under the termios input rules.
#pragma once

struct qd_line;

void qdf_start_input(qd_line* lp);
void qdf_restart_input(void* lp);
// Cancels a pending input-grant retry of the line. Caller holds the unit mutex; a retry
// that has already started and waits for the mutex then does nothing. For line offline
// and line disable (a retry pending across an offline and a quick re-enable would grant
// twice), and for unload, which must call it for every line record before freeing them.
void qdf_cancel_restart_input(qd_line* lp);
void qdf_handle_fasrecv(qd_line* lp, unsigned char* answer);
// errtype: 0 good data, else the FAS status code of the data (11 for a break character).
void qdf_send_input_up(qd_line* lp, unsigned char* data, int count, int errtype);
void qdf_process_break(qd_line* lp, unsigned char* data, int count);
