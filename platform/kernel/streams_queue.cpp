// STREAMS queues: put and get with priority and flow control, service scheduling and
// back-enabling, and passing messages along a stream.
#include <cstring>

#include "kemu/kernel.h"
#include "kemu/streams.h"
#include "streams_internal.h"

namespace kemu {
namespace {

bool high_priority(const mblk_t* mp) {
  return mp->b_datap->db_type >= QPCTL;
}

bool has_service(const queue_t* q) {
  return q->q_qinfo != nullptr && q->q_qinfo->qi_srvp != nullptr;
}

void count_add(queue_t* q, const mblk_t* mp) {
  q->q_count += msg_bytes(mp);
  if (q->q_count >= q->q_hiwat) {
    q->q_flag |= QFULL;
  }
}

// Links mp in front of `before` (at the tail when before is null).
void link_before(queue_t* q, mblk_t* mp, mblk_t* before) {
  mp->b_next = before;
  if (before == nullptr) {
    mp->b_prev = q->q_last;
    if (q->q_last != nullptr) {
      q->q_last->b_next = mp;
    } else {
      q->q_first = mp;
    }
    q->q_last = mp;
    return;
  }
  mp->b_prev = before->b_prev;
  if (before->b_prev != nullptr) {
    before->b_prev->b_next = mp;
  } else {
    q->q_first = mp;
  }
  before->b_prev = mp;
}

// The first normal-priority message: high-priority messages go in front of it.
mblk_t* first_normal(queue_t* q) {
  mblk_t* m = q->q_first;
  while (m != nullptr && high_priority(m)) {
    m = m->b_next;
  }
  return m;
}

// Enables the nearest queue behind q that has a service procedure; at a stream head's write
// queue, wakes its writers instead.
void backenable(queue_t* q) {
  for (queue_t* b = q->q_back; b != nullptr; b = b->q_back) {
    if ((b->q_flag & QHEAD) != 0) {
      if ((b->q_flag & QREADR) == 0) {
        head_write_enabled(b);
      }
      return;
    }
    if (has_service(b)) {
      qenable(b);
      return;
    }
  }
}

void init_queue(queue_t* q, qinit* qi, QueuePair* qp) {
  *q = queue_t{};
  q->q_qinfo = qi;
  q->q_pair = qp;
  q->q_flag = QWANTR; // the first putq schedules the service procedure
  q->q_maxpsz = INFPSZ;
  if (qi != nullptr && qi->qi_minfo != nullptr) {
    q->q_minpsz = qi->qi_minfo->mi_minpsz;
    q->q_maxpsz = qi->qi_minfo->mi_maxpsz;
    q->q_hiwat = qi->qi_minfo->mi_hiwat;
    q->q_lowat = qi->qi_minfo->mi_lowat;
  }
}

} // namespace

void init_queue_pair(QueuePair& qp, qinit* rinit, qinit* winit) {
  init_queue(&qp.q[0], rinit, &qp);
  init_queue(&qp.q[1], winit, &qp);
  qp.q[0].q_flag |= QREADR;
}

void drain_queue_pair(QueuePair& qp) {
  for (queue_t& q : qp.q) {
    while (mblk_t* mp = q.q_first) {
      queue_unlink(&q, mp);
      freemsg(mp);
    }
    q.q_count = 0;
  }
}

void queue_unlink(queue_t* q, mblk_t* mp) {
  if (mp->b_prev != nullptr) {
    mp->b_prev->b_next = mp->b_next;
  } else {
    q->q_first = mp->b_next;
  }
  if (mp->b_next != nullptr) {
    mp->b_next->b_prev = mp->b_prev;
  } else {
    q->q_last = mp->b_prev;
  }
  mp->b_next = nullptr;
  mp->b_prev = nullptr;
}

void queue_count_sub(queue_t* q, std::size_t n) {
  q->q_count = n > q->q_count ? 0 : q->q_count - n;
  if (q->q_count < q->q_lowat || q->q_count == 0) {
    q->q_flag &= ~QFULL;
    if ((q->q_flag & QWANTW) != 0) {
      q->q_flag &= ~QWANTW;
      backenable(q);
    }
  }
}

void QueuePairDeleter::operator()(QueuePair* qp) const {
  drain_queue_pair(*qp);
  std::default_delete<QueuePair>()(qp);
}

QueuePairPtr make_queue_pair(qinit* rinit, qinit* winit) {
  QueuePairPtr qp(std::make_unique<QueuePair>().release());
  init_queue_pair(*qp, rinit, winit);
  return qp;
}

queue_t* read_queue(QueuePair& qp) {
  return &qp.q[0];
}

void link_pairs(QueuePair& upper, QueuePair& lower) {
  upper.q[1].q_next = &lower.q[1];
  lower.q[1].q_back = &upper.q[1];
  lower.q[0].q_next = &upper.q[0];
  upper.q[0].q_back = &lower.q[0];
}

} // namespace kemu

using kemu::msg_bytes;

int putq(queue_t* q, mblk_t* mp) {
  bool enable;
  if (kemu::high_priority(mp)) {
    kemu::link_before(q, mp, kemu::first_normal(q));
    enable = true;
  } else {
    kemu::link_before(q, mp, nullptr);
    enable = (q->q_flag & (QWANTR | QNOENB)) == QWANTR;
  }
  kemu::count_add(q, mp);
  if (enable) {
    qenable(q);
  }
  return 1;
}

int putbq(queue_t* q, mblk_t* mp) {
  bool hi = kemu::high_priority(mp);
  kemu::link_before(q, mp, hi ? q->q_first : kemu::first_normal(q));
  kemu::count_add(q, mp);
  if (hi) {
    qenable(q);
  }
  return 1;
}

mblk_t* getq(queue_t* q) {
  mblk_t* mp = q->q_first;
  if (mp == nullptr) {
    q->q_flag |= QWANTR;
    return nullptr;
  }
  q->q_flag &= ~QWANTR;
  kemu::queue_unlink(q, mp);
  kemu::queue_count_sub(q, msg_bytes(mp));
  return mp;
}

void rmvq(queue_t* q, mblk_t* mp) {
  kemu::queue_unlink(q, mp);
  kemu::queue_count_sub(q, msg_bytes(mp));
}

void flushq(queue_t* q, int flag) {
  std::size_t removed = 0;
  mblk_t* mp = q->q_first;
  while (mp != nullptr) {
    mblk_t* next = mp->b_next;
    unsigned char t = mp->b_datap->db_type;
    bool data = t == M_DATA || t == M_DELAY || t == M_PROTO || t == M_PCPROTO;
    if (flag == FLUSHALL || data) {
      kemu::queue_unlink(q, mp);
      removed += msg_bytes(mp);
      freemsg(mp);
    }
    mp = next;
  }
  if (q->q_first == nullptr) {
    q->q_flag |= QWANTR;
  }
  kemu::queue_count_sub(q, removed);
}

namespace {
void run_service(void* arg) {
  auto* q = static_cast<queue_t*>(arg);
  q->q_pair->service_work[(q->q_flag & QREADR) != 0 ? 0 : 1] = 0;
  q->q_flag &= ~QENAB;
  if ((q->q_flag & QPROCSOFF) == 0) {
    q->q_qinfo->qi_srvp(q);
  }
}
} // namespace

kemu::QueuePair::~QueuePair() {
  if (!kemu::Kernel::exists()) {
    return;
  }
  for (std::uint64_t w : service_work) {
    if (w != 0) {
      kemu::Kernel::current().cancel_interrupt(w);
    }
  }
}

void qenable(queue_t* q) {
  if (!kemu::has_service(q) || (q->q_flag & (QENAB | QPROCSOFF)) != 0) {
    return;
  }
  q->q_flag |= QENAB;
  q->q_pair->service_work[(q->q_flag & QREADR) != 0 ? 0 : 1] =
      kemu::Kernel::current().interrupt(&run_service, q);
}

void noenable(queue_t* q) {
  q->q_flag |= QNOENB;
}
void enableok(queue_t* q) {
  q->q_flag &= ~QNOENB;
}

int canput(queue_t* q) {
  if (q == nullptr) {
    return 1;
  }
  while (!kemu::has_service(q) && q->q_next != nullptr) {
    q = q->q_next;
  }
  if ((q->q_flag & QFULL) != 0) {
    q->q_flag |= QWANTW;
    return 0;
  }
  return 1;
}

int canputnext(queue_t* q) {
  return canput(q->q_next);
}

void putnext(queue_t* q, mblk_t* mp) {
  queue_t* nq = q->q_next;
  // Queues whose procedures are off are stepped over; past the end the message is lost.
  while (nq != nullptr && (nq->q_flag & QPROCSOFF) != 0) {
    nq = nq->q_next;
  }
  if (nq == nullptr || nq->q_qinfo == nullptr || nq->q_qinfo->qi_putp == nullptr) {
    freemsg(mp);
    return;
  }
  nq->q_qinfo->qi_putp(nq, mp);
}

namespace {
bool control_type(int type) {
  return type != M_DATA && type != M_PROTO && type != M_PCPROTO && type != M_DELAY;
}
} // namespace

int putnextctl(queue_t* q, int type) {
  if (!control_type(type)) {
    return 0;
  }
  mblk_t* bp = allocb(0, BPRI_HI);
  if (bp == nullptr) {
    return 0;
  }
  bp->b_datap->db_type = static_cast<unsigned char>(type);
  putnext(q, bp);
  return 1;
}

int putnextctl1(queue_t* q, int type, int param) {
  if (!control_type(type)) {
    return 0;
  }
  mblk_t* bp = allocb(1, BPRI_HI);
  if (bp == nullptr) {
    return 0;
  }
  bp->b_datap->db_type = static_cast<unsigned char>(type);
  *bp->b_wptr++ = static_cast<unsigned char>(param);
  putnext(q, bp);
  return 1;
}

void qreply(queue_t* q, mblk_t* mp) {
  putnext(OTHERQ(q), mp);
}

void qprocson(queue_t* rq) {
  for (queue_t* q : {RD(rq), WR(rq)}) {
    q->q_flag &= ~QPROCSOFF;
    if (q->q_first != nullptr) {
      qenable(q);
    }
  }
}

void qprocsoff(queue_t* rq) {
  RD(rq)->q_flag |= QPROCSOFF;
  WR(rq)->q_flag |= QPROCSOFF;
}

queue_t* backq(queue_t* q) {
  return q->q_back;
}
