// The extended port control record: a port's error level, speed extension, hardware
// loopback and six timers, and what the unit it belongs to is.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ksys/cred.h"
#include "qddrv.h"
#include "qdio.h"

namespace {

qd_line* qd_line_of(queue_t* q) {
  return static_cast<qd_line*>(q->q_ptr);
}

void qd_nak_traced(qd_line* lp, mblk_t* mp, int error) {
  qd_trace_line(lp, "NAK(~)\n", static_cast<unsigned>(error));
  qdf_make_ioctl_nak(mp, error);
}

// The largest speed extension the unit's fastest speed code leaves room for.
std::uint32_t qd_speed_ext_limit(const qd_unit* up) {
  switch (up->qdu_info->code & QDM_CODE_SPEED) {
  case 0x2F: // 460800 bit/s
    return 7;
  case 0x22: // 230400 bit/s
    return 5;
  default:
    return 3;
  }
}

constexpr std::uint32_t QD_MAX_ERR_LEVEL = 2;

// Each timer must fit the signed 32-bit clock ticks it becomes: a larger one would turn
// negative (a close watchdog silently off) or overflow the tick arithmetic.
bool qd_timers_fit(const qd_ext_ctl& x) {
  const auto max_seconds = static_cast<std::uint32_t>(INT32_MAX / hz);
  constexpr auto max_ticks = static_cast<std::uint32_t>(INT32_MAX);
  return x.lcltmr <= max_seconds && x.cltmr <= max_seconds && x.louttmr <= max_seconds &&
         x.outtmr <= max_seconds && x.dtrdel <= max_ticks && x.grddel <= max_ticks;
}

// Up to n characters, the rest of dst left as it is (zero).
void qd_copy_text(char* dst, const char* src, std::size_t n) {
  if (src != nullptr) {
    std::memcpy(dst, src, strnlen(src, n));
  }
}

} // namespace

int qdf_set_extended_ioctl(queue_t* q, mblk_t* mp) {
  qd_line* lp = qd_line_of(q);
  qd_assert_line_held(lp);
  qd_trace_line(lp, "qdf_set_extended_ioctl\n");
  auto* iocp = reinterpret_cast<iocblk*>(mp->b_rptr);
  if (iocp->ioc_count == TRANSPARENT) {
    qd_trace_line(lp, "TRANSP, calling qdf_copyin\n");
    qdf_copyin(mp, sizeof(qd_ext_ctl));
    return QD_IOC_DONE;
  }
  qd_ext_ctl x{};
  if (!qdf_ioctl_record(mp, &x, sizeof x)) {
    qd_nak_traced(lp, mp, EINVAL);
    return QD_IOC_DONE;
  }
  const std::uint32_t ext = (x.control & QDX_SPEED_EXT) >> QDX_SPEED_EXT_SHIFT;
  const std::uint32_t level = x.control & QDX_ERR_LEVEL;
  if (ext > qd_speed_ext_limit(lp->unit) || level > QD_MAX_ERR_LEVEL || !qd_timers_fit(x)) {
    qd_nak_traced(lp, mp, EINVAL);
    return QD_IOC_DONE;
  }
  if ((x.control & QDX_LOOPBACK) != 0) {
    if (drv_priv(iocp->ioc_cr) != 0) {
      qd_nak_traced(lp, mp, EPERM);
      return QD_IOC_DONE;
    }
    lp->qdl_flags |= QDL_LOOPBACK;
  } else {
    lp->qdl_flags &= ~QDL_LOOPBACK;
  }
  lp->speed_ext = static_cast<std::int32_t>(ext);
  lp->err_level = level;
  lp->lcltmr = static_cast<std::int32_t>(x.lcltmr);
  lp->cltmr = static_cast<std::int32_t>(x.cltmr);
  lp->dtrdel = static_cast<std::int32_t>(x.dtrdel);
  lp->grddel = static_cast<std::int32_t>(x.grddel);
  lp->louttmr = static_cast<std::int32_t>(x.louttmr);
  lp->outtmr = static_cast<std::int32_t>(x.outtmr);
  qd_trace_line(lp, "ACK\n");
  qdf_make_ioctl_ack(mp);
  return QD_IOC_DONE;
}

int qdf_get_extended_ioctl(queue_t* q, mblk_t* mp) {
  qd_line* lp = qd_line_of(q);
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_line(lp, "qdf_get_extended_ioctl\n");
  qd_ext_ctl x{};
  x.control = (lp->err_level & QDX_ERR_LEVEL) |
              ((static_cast<std::uint32_t>(lp->speed_ext) << QDX_SPEED_EXT_SHIFT) & QDX_SPEED_EXT) |
              ((lp->qdl_flags & QDL_LOOPBACK) != 0 ? QDX_LOOPBACK : 0);
  x.lcltmr = static_cast<std::uint32_t>(lp->lcltmr);
  x.cltmr = static_cast<std::uint32_t>(lp->cltmr);
  x.dtrdel = static_cast<std::uint32_t>(lp->dtrdel);
  x.grddel = static_cast<std::uint32_t>(lp->grddel);
  x.louttmr = static_cast<std::uint32_t>(lp->louttmr);
  x.outtmr = static_cast<std::uint32_t>(lp->outtmr);
  qd_copy_text(x.product, up->qdu_info != nullptr ? up->qdu_info->name : nullptr, sizeof x.product);
  qd_copy_text(x.firmware, up->qdu_fwrev, sizeof x.firmware - 1);
  x.target = static_cast<std::uint8_t>(up->qdu_target);
  if (qdf_common_get_ioctl(q, mp, sizeof x, &x) != 0) {
    qd_nak_traced(lp, mp, EIO);
  }
  return QD_IOC_DONE;
}
