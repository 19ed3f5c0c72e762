// Requests of a Lanvara unit node, through which the relay daemon tells the driver what it
// learned from the module and moves the unit between offline and online.
#include "qd_vrn_ioctl.h"

#include <cerrno>
#include <cstring>

#include "qd_ioc_args.h"
#include "qd_ioctl.h"
#include "qd_line.h"
#include "qd_log.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"
#include "qdio.h"
#include "qmx_unittab.h"

namespace {

constexpr std::size_t NAME_LEN = sizeof(vrn_uptr_info::model_name);
constexpr std::size_t FW_TAKEN = 5; // of fw_version: 4 characters and a NUL

qd_line* line_of(queue_t* q) {
  return static_cast<qd_line*>(q->q_ptr);
}

// The checks of every unit-node request, in order: privilege, then the node. 0, or the
// errno the request was refused with (the message is then its reply).
int refused(qd_line* lp, mblk_t* mp) {
  qd_unit* up = lp->unit;
  if (!qd_ioc_privileged(mp)) {
    qd_trace_unit(up, "NAK - EPERM\n");
    qdf_make_ioctl_nak(mp, EPERM);
    return EPERM;
  }
  if (qd_minor_kind(lp->qdl_minor) != qd_node_kind::unitnode) {
    qd_trace_unit(up, "NAK - ENOTTY\n");
    qdf_make_ioctl_nak(mp, ENOTTY);
    return ENOTTY;
  }
  return 0;
}

// Up to n characters of src and NULs after them, as strncpy does.
void copy_padded(char* dst, const char* src, std::size_t n) {
  std::size_t i = 0;
  for (; i < n && src[i] != '\0'; ++i) {
    dst[i] = src[i];
  }
  for (; i < n; ++i) {
    dst[i] = '\0';
  }
}

const char* model_name(const qd_unit* up) {
  return up->qdu_info != nullptr ? up->qdu_info->name : "";
}

// A row a Lanvara unit can take: a Lanvara model whose ports fit its port table.
bool usable_row(const qd_unitinfo* row) {
  return row != nullptr && (row->flags & QDM_LANVARA) != 0 && row->nlines <= QD_VRN_NLINES;
}

} // namespace

int qdf_get_uptr_ioctl(queue_t* q, mblk_t* mp) {
  qd_line* lp = line_of(q);
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_unit(up, "qdf_get_uptr_ioctl\n");
  if (refused(lp, mp) != 0) {
    return QD_IOC_DONE;
  }
  vrn_uptr_info info;
  std::memset(&info, 0, sizeof info);
  copy_padded(info.model_name, model_name(up), NAME_LEN);
  copy_padded(info.fw_version, up->qdu_fwrev, FW_TAKEN);
  std::memcpy(&info.net_addr, &up->qdu_ipaddr, sizeof info.net_addr);
  qd_trace_unit(up, "model_name: $  net_addr: %\n", model_name(up), up->qdu_ipaddr);
  if (qdf_common_get_ioctl(q, mp, sizeof info, &info) != 0) {
    qd_trace_unit(up, "NAK - qdf_common_get_ioctl returned !COMPLETE\n");
    qdf_make_ioctl_nak(mp, EIO);
  }
  return QD_IOC_DONE;
}

int qdf_set_uptr_ioctl(queue_t* q, mblk_t* mp) {
  qd_line* lp = line_of(q);
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_unit(up, "qdf_set_uptr_ioctl\n");
  if (refused(lp, mp) != 0) {
    return QD_IOC_DONE;
  }
  if (qd_iocp(mp)->ioc_count == TRANSPARENT) {
    qd_trace_unit(up, "TRANSP, calling qdf_copyin\n");
    qdf_copyin(mp, sizeof(vrn_uptr_info));
    return QD_IOC_DONE;
  }
  const unsigned char* rec = qd_ioc_record(mp, sizeof(vrn_uptr_info));
  if (rec == nullptr) {
    qd_trace_unit(up, "NAK - EINVAL\n");
    qdf_make_ioctl_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  vrn_uptr_info info;
  std::memcpy(&info, rec, sizeof info);

  // The name: its 16 bytes at most (a NUL need not end it), without trailing blanks.
  char name[NAME_LEN + 1];
  copy_padded(name, info.model_name, NAME_LEN);
  name[NAME_LEN] = '\0';
  for (std::size_t n = std::strlen(name); n > 0 && name[n - 1] == ' '; --n) {
    name[n - 1] = '\0';
  }
  // The unit keeps a row it can use: a name that is no Lanvara model changes nothing.
  const bool changed = std::strcmp(name, model_name(up)) != 0;
  const qd_unitinfo* row = changed ? qdm_get_unitinfo(name) : up->qdu_info;
  if (changed && !usable_row(row)) {
    qd_trace_unit(up, "not a Lanvara model: $\n", static_cast<const char*>(name));
    qd_trace_unit(up, "NAK - EINVAL\n");
    qdf_make_ioctl_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }

  qd_trace_unit(up, "getting the data structure\n");
  qd_trace_unit(up, "getting the fw_version\n");
  copy_padded(up->qdu_fwrev, info.fw_version, FW_TAKEN);
  up->qdu_fwrev[4] = '\0';
  qd_trace_unit(up, "terminate the fw_version\n");
  qd_trace_unit(up, "get info about the fw_version\n");
  up->qdu_caps = qd_fw_caps(up->qdu_fwrev);

  qd_trace_unit(up, "checking the new unit name\n");
  if (changed) {
    qdlogerr(0, up, nullptr, "Module type has changed.  Some lines may be inaccessible.");
    up->qdu_info = row;
  }
  qd_trace_unit(up, "getting the new ipaddr\n");
  std::memcpy(&up->qdu_ipaddr, &info.net_addr, sizeof up->qdu_ipaddr);
  qd_trace_unit(up, "model: $\t fw_version: $\tipaddr: %\n", model_name(up),
                static_cast<const char*>(up->qdu_fwrev), up->qdu_ipaddr);
  qd_trace_unit(up, "ACK\n");
  qdf_make_ioctl_ack(mp);
  return QD_IOC_DONE;
}

int qdf_vrn_online_ioctl(queue_t* q, mblk_t* mp) {
  qd_line* lp = line_of(q);
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_unit(up, "qdf_vrn_online_ioctl\n");
  if (refused(lp, mp) != 0) {
    return QD_IOC_DONE;
  }
  qd_trace_unit(up, "qdu_flags %\n", up->qdu_flags);
  if ((up->qdu_flags & QDU_OFFLINE) == 0) {
    qd_trace_unit(up, "NAK - EINVAL\n");
    qdf_make_ioctl_nak(mp, EINVAL);
  } else if (qdm_init_unit(up) != 0) {
    qd_trace_unit(up, "NAK - EIO\n");
    qdf_make_ioctl_nak(mp, EIO);
  } else {
    qd_trace_unit(up, "ACK\n");
    qdf_make_ioctl_ack(mp);
  }
  return QD_IOC_DONE;
}

int qdf_vrn_offline_ioctl(queue_t* q, mblk_t* mp) {
  qd_line* lp = line_of(q);
  qd_assert_line_held(lp);
  qd_unit* up = lp->unit;
  qd_trace_unit(up, "qdf_vrn_offline_ioctl\n");
  if (refused(lp, mp) != 0) {
    return QD_IOC_DONE;
  }
  if ((up->qdu_flags & QDU_OFFLINE) != 0) {
    qd_trace_unit(up, "NAK - EINVAL\n");
    qdf_make_ioctl_nak(mp, EINVAL);
    return QD_IOC_DONE;
  }
  qdm_unit_offline(up);
  qd_trace_unit(up, "ACK\n");
  qdf_make_ioctl_ack(mp);
  return QD_IOC_DONE;
}
