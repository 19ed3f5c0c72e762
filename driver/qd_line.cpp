// Creation values of a port's line record.
#include "qd_line.h"

#include "qd_log.h"
#include "qd_state.h"
#include "qd_unit.h"

void qd_line_create_port(qd_line* lp, qd_unit* up, unsigned line_num) {
  lp->line_num = static_cast<std::uint8_t>(line_num);
  lp->unit = up;
  lp->unit_mutex = &up->unit_mutex;
  cv_init(&lp->qd_cv, "qd_cv", CV_DRIVER, nullptr);
  lp->qdl_flags = QDL_OFFLINE;
  lp->cltmr = 60;
  lp->lcltmr = 300;
  lp->louttmr = 0;
  lp->outtmr = 0;
  lp->dtrdel = 200;
  lp->grddel = 20;
  // A new record counts as closed long enough ago for a dial-out open to proceed, and as
  // having had DTR low for its full delay.
  lp->last_dialin_close = qd_systime - 15;
  lp->last_dtr_drop = static_cast<std::int32_t>(ddi_get_lbolt() - lp->dtrdel);
  lp->modem_bits = 0;
  lp->offline_time = 0;
  lp->speed_ext = 0;
  lp->err_level = qd_err_level;
  lp->fas_log_ptr = &lp->fas_log[0][0];
}
