#include "driver_env.h"

#include "kemu/console.h"

namespace qdbench {

DriverEnv::DriverEnv() {
  kemu::take_console();
  qd_reset_driver_state();
}

DriverEnv::~DriverEnv() {
  run([this] {
    pairs_.clear();
    qd_freeall();
  });
  kemu::take_console();
}

bool DriverEnv::run(const std::function<void()>& fn) {
  return kernel_.call(fn);
}

qd_unit* DriverEnv::make_unit(const char* model, int target) {
  const qd_unitinfo* info = qdm_get_unitinfo(model);
  auto* up = static_cast<qd_unit*>(qd_malloc(sizeof(qd_unit)));
  up->qd_lines = static_cast<qd_line**>(qd_malloc(sizeof(qd_line*) * info->nlines));
  up->qdu_info = info;
  up->qdu_bus = 0;
  up->qdu_target = target;
  up->qdu_flags = QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE;
  mutex_init(&up->unit_mutex, "unit_mutex", MUTEX_DRIVER, nullptr);
  mutex_init(&up->intr_mutex, "intr_mutex", MUTEX_DRIVER, nullptr);
  mutex_init(&up->ttycommon_mutex, "ttycommon_mutex", MUTEX_DRIVER, nullptr);
  cv_init(&up->qd_up_cv, "qd_up_cv", CV_DRIVER, nullptr);
  qdm_allocmorepkts(QD_PKT_GROW);
  up->qdu_rcvpkt = qdm_getpkt(info->pktsize);
  qd_units[target] = up;
  // Its ring set up now, so that the set-up note is not part of a measurement.
  qd_trace_unit(up, "bench\n");
  return up;
}

qd_line* DriverEnv::make_line(qd_unit* up, unsigned line) {
  auto* lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
  qd_line_create_port(lp, up, line);
  up->qd_lines[line] = lp;
  lp->qdl_flags = QDL_ENABLED | QDL_DIALIN_OPEN | QDL_LOCAL;
  lp->speed = 115200;
  lp->send_size = 1152;
  lp->output = qdf_serial_output;

  kemu::QueuePair& head = *pairs_.emplace_back(kemu::make_queue_pair(nullptr, nullptr));
  kemu::QueuePair& drv = *pairs_.emplace_back(kemu::make_queue_pair(nullptr, nullptr));
  kemu::link_pairs(head, drv);
  queue_t* rq = kemu::read_queue(drv);
  rq->q_ptr = lp;
  WR(rq)->q_ptr = lp;
  lp->tty.t_readq = rq;
  lp->tty.t_writeq = WR(rq);
  qd_trace_line(lp, "bench\n");
  return lp;
}

} // namespace qdbench
