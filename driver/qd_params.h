// Line parameters, modem signals, soft carrier and status changes.
#pragma once

struct qd_line;

// 0 nothing sent, 2 commands queued, 1 speed not usable (nothing sent).
int qdf_note_termios(qd_line* lp);
// Nonzero when the port cannot use the speed at that index.
int qdf_checkparam(int speed_index, qd_line* lp, int unused);
// 0 nothing sent, 2 FAS_SET_MODEM queued. cmd: TIOCMSET, TIOCMBIS or TIOCMBIC.
int qdf_set_modem_sigs(qd_line* lp, int bits, int cmd, int forced);
void qdf_setsoftcarr(qd_line* lp);
void qdf_handle_stat_chg(qd_line* lp, unsigned char* answer);
// The mask of the modem status query (TIOCMGET): report now, and every state bit.
inline constexpr unsigned char STAT_QUERY_MASK = 0x87;
// Queues a FAS_STAT_CHG request with the mask. Writes bytes 0-2; null when the pool is
// empty.
unsigned char* qdf_status_query(qd_line* lp, unsigned char mask);
