// Parallel (printer) output: the 8192-byte ring between the stream and the unit.
#include <algorithm>
#include <cstring>

#include "fas.h"
#include "ksys/stream.h"
#include "qd_line.h"
#include "qd_output.h"
#include "qd_output_take.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_transport.h"

void qdf_move_to_queue(const unsigned char* src, qd_parq* ring, int n) {
  const int first = std::min<long>(n, ring->endptr - ring->wptr);
  std::memcpy(ring->wptr, src, static_cast<std::size_t>(first));
  if (n > first) {
    std::memcpy(ring->data, src + first, static_cast<std::size_t>(n - first));
    ring->wptr = ring->data + (n - first);
  } else {
    ring->wptr += first;
  }
  ring->count += n;
}

void qdf_move_from_queue(qd_parq* ring, unsigned char* dst, int n) {
  const int first = std::min<long>(n, ring->endptr - ring->rptr);
  std::memcpy(dst, ring->rptr, static_cast<std::size_t>(first));
  if (n > first) {
    std::memcpy(dst + first, ring->data, static_cast<std::size_t>(n - first));
    ring->rptr = ring->data + (n - first);
  } else {
    ring->rptr += first;
  }
  ring->count -= n;
}

void qdf_parallel_output(queue_t* q, mblk_t* mp, qd_line* lp) {
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_par_out\n");
  qd_parq* ring = lp->parq;
  if (ring == nullptr) {
    putbq(q, mp); // no ring: the open that makes one has not succeeded
    return;
  }
  int moved = 0;
  mblk_t* left = qdf_take_data(
      q, mp, QD_PARQ_SIZE - ring->count, &moved,
      [ring](const unsigned char* src, int n) { qdf_move_to_queue(src, ring, n); }, false);
  qdf_start_parallel(lp);
  if (left == nullptr) {
    return;
  }
  putbq(q, left);
  if (left->b_datap->db_type != M_DATA) {
    qd_trace_line(lp, "non-NULL bp, not DATA\n");
    if (moved == 0) {
      qdf_process_wrq(q);
    }
  } else {
    qd_trace_line(lp, "non-NULL bp, DATA\n");
  }
}

void qdf_start_parallel(qd_line* lp) {
  qd_assert_line_held(lp);
  qd_parq* ring = lp->parq;
  if (ring == nullptr || ring->count == 0) {
    return;
  }
  if ((lp->qdl_flags & QDL_OUTPUT_BLOCKED) != 0) {
    qd_trace_line(lp, "NOP, state=%\n", lp->qdl_flags);
    return;
  }
  qd_unit* up = lp->unit;
  // The size comes first so that neither a header nor an empty FAS_SEND is ever reserved
  // for nothing; with the pool exhausted the ring keeps its data.
  const int room = qdm_spaceleft(up);
  const int n = std::min({room, ring->count, lp->send_size, up->qdu_max_send});
  if (n <= 0) {
    return;
  }
  unsigned char* hdr = qdm_putfas(up, FAS_HDR_SIZE + n);
  if (hdr == nullptr) {
    return;
  }
  qdf_move_from_queue(ring, hdr + FAS_HDR_SIZE, n);
  qd_send_reserved(lp, hdr, n);
  if (ring->count == 0) {
    cv_broadcast(&lp->qd_cv);
  }
}
