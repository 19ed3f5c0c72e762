// Taking M_DATA off a port's write queue for the output functions.
#pragma once

#include <algorithm>

#include "ksys/stream.h"
#include "qd_log.h"
#include "qd_trace_route.h"

// Moves M_DATA from the message and the queue behind it into `sink` (called with a block's
// bytes and their count) until `limit` bytes have moved or a message of another type
// comes up. Returns the message left over (null when the queue ran dry) and adds the
// bytes moved to *moved. `traced`: write the serial sender's driver-wide records.
template <class Sink>
inline mblk_t* qdf_take_data(queue_t* q, mblk_t* mp, int limit, int* moved, Sink sink,
                             bool traced) {
  for (;;) {
    if (mp == nullptr) {
      mp = getq(q);
      if (mp == nullptr) {
        if (traced) {
          qd_trace_drv("bp = getq(q_wr)) == NULL, break\n");
        }
        return nullptr;
      }
    }
    if (mp->b_datap->db_type != M_DATA) {
      if (traced) {
        qd_trace_drv("bp->b_datap->db_type != M_DATA, break\n");
      }
      return mp;
    }
    const long cc = mp->b_wptr - mp->b_rptr;
    if (cc <= 0) {
      if (cc < 0) {
        qd_assert_failed("cc>=0"); // a broken block is dropped rather than copied
      }
      // Spent blocks go even when nothing more may move, so that none lingers queued.
      mblk_t* next = mp->b_cont;
      freeb(mp);
      mp = next;
      continue;
    }
    if (limit == 0) {
      if (traced) {
        qd_trace_drv("maxmove == 0, break\n");
      }
      return mp;
    }
    const int n = static_cast<int>(std::min<long>(cc, limit));
    sink(mp->b_rptr, n);
    mp->b_rptr += n;
    limit -= n;
    *moved += n;
    if (traced) {
      qd_trace_drv("continue\n");
    }
  }
}
