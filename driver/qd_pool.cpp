// The packet pool, the outgoing chain of a unit and the cutting of answers out of its
// receive packet.
#include "qd_pool.h"

#include <cstring>

#include "fas.h"
#include "ksys/cmn_err.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_unit.h"

namespace {

// Caller holds qmx_mutex.
int grow_locked(int n) {
  int made = 0;
  for (; made < n; ++made) {
    auto* pkt = static_cast<qd_pkt*>(qd_malloc(sizeof(qd_pkt)));
    if (pkt == nullptr) {
      cmn_err(CE_WARN, "Orvane Lanvara/QMX: No memory available and qd_pkts exhausted!");
      break;
    }
    pkt->next = qd_pkts.qd_pkt_free;
    qd_pkts.qd_pkt_free = pkt;
    ++qd_pkts.qd_pkt_cnt;
  }
  return made;
}

// A packet of the unit's size linked behind the tail (or as the whole chain).
qd_pkt* append_packet(qd_unit* up) {
  qd_pkt* pkt = qdm_getpkt(qdm_pktsize(up));
  if (pkt == nullptr) {
    return nullptr;
  }
  if (up->pkt_tail == nullptr) {
    up->pkt_head = pkt;
  } else {
    up->pkt_tail->next = pkt;
  }
  up->pkt_tail = pkt;
  return pkt;
}

bool in_data(const qd_pkt* pkt, const unsigned char* p) {
  return p >= pkt->data && p <= pkt->data + QD_PKT_DATA;
}

} // namespace

int qdm_allocmorepkts(int n) {
  mutex_enter(&qd_pkts.qmx_mutex);
  const int made = grow_locked(n);
  mutex_exit(&qd_pkts.qmx_mutex);
  return made;
}

qd_pkt* qdm_getpkt(int len) {
  if (!qd_assert(len > 0 && len <= QD_PKT_DATA, "len > 0 && len <= QD_PKT_DATA")) {
    return nullptr;
  }
  mutex_enter(&qd_pkts.qmx_mutex);
  if (qd_pkts.qd_pkt_free == nullptr) {
    grow_locked(QD_PKT_GROW);
  }
  qd_pkt* pkt = qd_pkts.qd_pkt_free;
  if (pkt == nullptr) {
    mutex_exit(&qd_pkts.qmx_mutex);
    cmn_err(CE_WARN, "Orvane Lanvara/QMX: can't get qd_pkt");
    return nullptr;
  }
  qd_pkts.qd_pkt_free = pkt->next;
  pkt->next = nullptr;
  pkt->qd_rptr = pkt->data;
  pkt->qd_wptr = pkt->data;
  pkt->space_remaining = len - 1; // one byte stays free for PKT_END
  std::memset(pkt->data, QD_PKT_FILL, static_cast<std::size_t>(len));
  std::memset(pkt->data + len, QD_PKT_PAST, static_cast<std::size_t>(QD_PKT_DATA - len));
  mutex_exit(&qd_pkts.qmx_mutex);
  return pkt;
}

void qdm_freepkt(qd_pkt* pkt) {
  if (pkt == nullptr) {
    return;
  }
  mutex_enter(&qd_pkts.qmx_mutex);
  pkt->next = qd_pkts.qd_pkt_free;
  qd_pkts.qd_pkt_free = pkt;
  mutex_exit(&qd_pkts.qmx_mutex);
}

int qdm_pktsize(const qd_unit* up) {
  if (up->qdu_info == nullptr) {
    return QD_PKT_DATA; // global_unit
  }
  const int size = up->qdu_info->pktsize;
  return size > 0 && size <= QD_PKT_DATA ? size : QD_PKT_DATA;
}

int qdm_spaceleft(qd_unit* up) {
  qd_assert_unit_held(up);
  if (up->pkt_tail == nullptr || up->pkt_tail->space_remaining <= QD_PKT_MIN_ROOM) {
    if (append_packet(up) == nullptr) {
      return 0;
    }
  }
  return up->pkt_tail->space_remaining - FAS_HDR_SIZE;
}

unsigned char* qdm_putfas(qd_unit* up, int n) {
  qd_assert_unit_held(up);
  if (n < 0) {
    qd_pkt* tail = up->pkt_tail;
    if (tail == nullptr || -n > tail->qd_wptr - tail->data) {
      qd_assert_failed("-n <= reserved bytes of the tail");
      return nullptr;
    }
    unsigned char* old = tail->qd_wptr;
    tail->qd_wptr += n;
    tail->space_remaining -= n;
    // Bytes reserved again later and left unwritten must still go out as the fill.
    std::memset(tail->qd_wptr, QD_PKT_FILL, static_cast<std::size_t>(-n));
    return old;
  }
  if (n > qdm_pktsize(up) - 1) {
    qd_assert_failed("n <= packet size - 1");
    return nullptr;
  }
  if (up->pkt_tail == nullptr || up->pkt_tail->space_remaining < n) {
    if (append_packet(up) == nullptr) {
      return nullptr;
    }
  }
  qd_pkt* tail = up->pkt_tail;
  unsigned char* start = tail->qd_wptr;
  tail->qd_wptr += n;
  tail->space_remaining -= n;
  return start;
}

void qdm_freechain(qd_unit* up) {
  qd_assert_unit_held(up);
  while (up->pkt_head != nullptr) {
    qd_pkt* pkt = up->pkt_head;
    up->pkt_head = pkt->next;
    qdm_freepkt(pkt);
  }
  up->pkt_tail = nullptr;
}

unsigned char* qdm_getfasresponse(qd_unit* up, int* malformed) {
  qd_assert_unit_held(up);
  int bad = 0;
  unsigned char* answer = nullptr;
  qd_pkt* r = up->qdu_rcvpkt;

  if (r == nullptr) {
    // no receive packet: nothing to cut
  } else if (!in_data(r, r->qd_rptr) || !in_data(r, r->qd_wptr) || r->qd_rptr > r->qd_wptr) {
    bad = 1;
  } else if (!qdu_is_lanvara(up)) {
    const long avail = r->qd_wptr - r->qd_rptr;
    if (avail == 0 || *r->qd_rptr == PKT_END) {
      // end of the batch
    } else if (avail < FAS_HDR_SIZE || size_faspkt(r->qd_rptr, 1) > avail) {
      bad = 1;
    } else {
      answer = r->qd_rptr;
      r->qd_rptr += size_faspkt(answer, 1);
    }
  } else {
    const long avail = r->qd_wptr - r->qd_rptr;
    const int size = avail < FAS_HDR_SIZE ? 0 : size_faspkt(r->qd_rptr, 1);
    if (size > QD_VRN_RCV_SPACE) {
      bad = 1;
    } else if (avail < FAS_HDR_SIZE || avail < size) {
      // the rest of this answer is still on its way
      std::memmove(r->data, r->qd_rptr, static_cast<std::size_t>(avail));
      r->qd_rptr = r->data;
      r->qd_wptr = r->data + avail;
      r->space_remaining = QD_VRN_RCV_SPACE - static_cast<int>(avail);
    } else {
      answer = r->qd_rptr;
      r->qd_rptr += size;
    }
  }
  if (malformed != nullptr) {
    *malformed = bad;
  }
  return answer;
}

qd_pkt* qdm_vrn_getrcvpkt() {
  qd_pkt* pkt = qdm_getpkt(QD_PKT_DATA);
  if (pkt != nullptr) {
    qdm_vrn_resetrcvpkt(pkt);
  }
  return pkt;
}

void qdm_vrn_resetrcvpkt(qd_pkt* pkt) {
  pkt->qd_rptr = pkt->data;
  pkt->qd_wptr = pkt->data;
  pkt->space_remaining = QD_VRN_RCV_SPACE;
}
