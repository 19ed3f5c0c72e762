// Autoconfiguration: identify, probe and attach of the pseudo instance and of each SCSI
// child, getinfo, and the numbering of host bus adapters.
#include <cstdio>
#include <cstring>

#include "ksys/cmn_err.h"
#include "ksys/ddi.h"
#include "ksys/scsi.h"
#include "qd_entry.h"
#include "qd_log.h"
#include "qd_mem.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"
#include "qmx_unittab.h"

namespace {

constexpr std::size_t PID_LEN = sizeof(scsi_inquiry::inq_pid);
constexpr std::size_t REV_LEN = sizeof(scsi_inquiry::inq_revision);
constexpr int ARQ_STATUSLEN = 32;

bool parent_is_pseudo(dev_info_t* dip) {
  dev_info_t* parent = ddi_get_parent(dip);
  return parent != nullptr && std::strcmp(ddi_get_name(parent), "pseudo") == 0;
}

scsi_device* scsi_dev_of(dev_info_t* dip) {
  return static_cast<scsi_device*>(ddi_get_driver_private(dip));
}

// A communications device of the maker: device type 9, and the vendor in either spelling.
bool is_orvane_comm(const scsi_inquiry* inq) {
  return inq->inq_dtype == DTYPE_COMM && (std::memcmp(inq->inq_vid, "Brannoc", 7) == 0 ||
                                          std::memcmp(inq->inq_vid, "OrvaneCo", 8) == 0);
}

// The product identification and the revision behind it, up to the first NUL: the inquiry
// text is not terminated, so it is never read past these two fields.
void warn_unrecognised(const scsi_inquiry* inq) {
  char text[PID_LEN + REV_LEN + 1] = {};
  std::memcpy(text, inq->inq_pid, PID_LEN);
  std::memcpy(text + PID_LEN, inq->inq_revision, REV_LEN);
  cmn_err(CE_WARN, "Unrecognized Orvane device: %s", text);
  cmn_err(CE_CONT, "A newer driver revision may be needed.\n");
  cmn_err(CE_CONT, "Contact Orvane for assistance.\n");
}

// A new SCSI unit record for the probed device; null (with the console told) when memory is
// short.
qd_unit* new_scsi_unit(scsi_device* devp, const qd_unitinfo* info, int bus, int target) {
  auto* up = static_cast<qd_unit*>(qd_malloc(sizeof(qd_unit)));
  if (up == nullptr) {
    cmn_err(CE_WARN, "qd: No memory for more modules!");
    return nullptr;
  }
  up->qd_lines =
      static_cast<qd_line**>(qd_malloc(sizeof(qd_line*) * static_cast<std::size_t>(info->nlines)));
  if (up->qd_lines == nullptr) {
    cmn_err(CE_WARN, "qd: No memory for module's qd_lines table!");
    return nullptr;
  }
  qd_units[bus * 16 + target] = up;
  up->qdu_sendpkt = nullptr;
  up->qdu_recvpkt = nullptr;
  up->qdu_sendbp = nullptr;
  up->qdu_recvbp = nullptr;
  up->qdu_info = info;
  // The record's locks live as long as the record: a later probe or attach of the same
  // target reuses them as they are.
  qdm_unit_init_locks(up);
  std::memcpy(up->qdu_fwrev, devp->sd_inq->inq_revision, REV_LEN);
  up->qdu_fwrev[REV_LEN] = '\0';
  up->qdu_caps = qd_fw_caps(up->qdu_fwrev);
  up->qdu_target = target;
  up->qdu_bus = bus;
  qdm_allocmorepkts(QD_PKT_GROW);
  up->qdu_statuslen =
      scsi_ifsetcap(&devp->sd_address, "auto-rqsense", 1, 1) == 1 ? ARQ_STATUSLEN : 1;
  return up;
}

int probe_scsi(dev_info_t* dip) {
  scsi_device* devp = scsi_dev_of(dip);
  if (devp == nullptr) {
    return DDI_PROBE_FAILURE;
  }
  const int target = devp->sd_address.a_target;
  const int lun = devp->sd_address.a_lun;
  const int bus = qdlogbus(devp);
  qd_trace_drv("qdprobe bus=% target=% lun=%\n", bus, target, lun);
  // The unit table has 16 targets per bus.
  if (bus == -1 || lun != 0 || target > QD_MAX_TARGET) {
    return DDI_PROBE_FAILURE;
  }
  const int slot = bus * 16 + target;
  qd_devs[slot] = devp;

  if (scsi_probe(devp, NULL_FUNC) != SCSIPROBE_EXISTS) {
    scsi_unprobe(devp);
    return DDI_PROBE_FAILURE;
  }
  const scsi_inquiry* inq = devp->sd_inq;
  if (!is_orvane_comm(inq)) {
    scsi_unprobe(devp);
    return DDI_PROBE_FAILURE;
  }
  char product[PID_LEN + 1] = {};
  std::memcpy(product, inq->inq_pid, PID_LEN);
  const qd_unitinfo* info = qdm_get_unitinfo(product);
  if (info == nullptr) {
    // Printed before the inquiry data goes with scsi_unprobe.
    warn_unrecognised(inq);
    scsi_unprobe(devp);
    return DDI_PROBE_FAILURE;
  }

  qd_unit* up = qd_units[slot];
  if (up == nullptr) {
    up = new_scsi_unit(devp, info, bus, target);
    if (up == nullptr) {
      scsi_unprobe(devp);
      return DDI_PROBE_FAILURE;
    }
  }
  up->qdu_devp = devp;
  devp->sd_private = reinterpret_cast<caddr_t>(up);
  scsi_unprobe(devp);
  return DDI_PROBE_SUCCESS;
}

int attach_scsi(dev_info_t* dip) {
  scsi_device* devp = scsi_dev_of(dip);
  auto* up = devp != nullptr ? reinterpret_cast<qd_unit*>(devp->sd_private) : nullptr;
  if (up == nullptr) {
    return DDI_SUCCESS;
  }
  if (up->qdu_devp != devp) {
    cmn_err(CE_WARN, "qd: devp does not match scsi_devp!");
    return DDI_FAILURE;
  }
  // A record bound again by a later probe keeps the packet it has.
  if (up->qdu_rcvpkt == nullptr) {
    up->qdu_rcvpkt = qdm_getpkt(up->qdu_info->pktsize);
    if (up->qdu_rcvpkt == nullptr) {
      cmn_err(CE_WARN, "qd: No memory for module's receive packet!");
      return DDI_FAILURE;
    }
  }
  qdm_init_driver(dip);
  up->qdu_flags |= QDU_OFFLINE | QDU_ATTACHED;
  cmn_err(CE_CONT, "Orvane %s %s at bus/target = %u/%u\n", up->qdu_info->name, up->qdu_fwrev,
          static_cast<unsigned>(up->qdu_bus), static_cast<unsigned>(up->qdu_target));
  // Starting offline, the check restarts the unit's firmware and sends the first command;
  // the unit is left down until a port opens.
  mutex_enter(&up->unit_mutex);
  qdm_init_unit(up);
  qdm_deinit_unit(up);
  mutex_exit(&up->unit_mutex);
  return qdmakenodes(dip, up);
}

} // namespace

int qdforceload(dev_info_t* dip) {
  if (ddi_getprop(DDI_DEV_T_ANY, dip, DDI_PROP_DONTPASS, "forceload", 0) != 0) {
    return 1;
  }
  for (int n = 0; n < QD_VRN_UNITS; ++n) {
    char name[8];
    char value[QD_VRN_PROPLEN];
    int len = QD_VRN_PROPLEN;
    std::snprintf(name, sizeof name, "vrn%x", static_cast<unsigned>(n));
    if (ddi_prop_op(DDI_DEV_T_ANY, dip, PROP_LEN_AND_VAL_BUF, DDI_PROP_DONTPASS, name, value,
                    &len) == DDI_PROP_SUCCESS) {
      return 1;
    }
  }
  return 0;
}

int qdlogbus(scsi_device* devp) {
  scsi_hba_tran* tran = devp->sd_address.a_hba_tran;
  dev_info_t* hba = tran != nullptr ? tran->tran_hba_dip : nullptr;
  for (int i = 0; i < qd_bus_cnt; ++i) {
    if (qd_bus_dips[i] == hba) {
      return i;
    }
  }
  if (qd_bus_cnt == QD_MAX_BUSES) {
    return -1;
  }
  qd_bus_dips[qd_bus_cnt] = hba;
  return qd_bus_cnt++;
}

int qdidentify(dev_info_t* dip) {
  qd_trace_drv("qdidentify $\n", ddi_get_name(dip));
  if (parent_is_pseudo(dip)) {
    forceload = static_cast<std::uint32_t>(qdforceload(dip));
    return forceload != 0 ? DDI_IDENTIFIED : DDI_NOT_IDENTIFIED;
  }
  if (std::strcmp(ddi_get_name(dip), QD_MODULE_NAME) == 0) {
    return DDI_IDENTIFIED;
  }
  if (scsi_device* devp = scsi_dev_of(dip); devp != nullptr) {
    // The adapter is numbered even though the node is refused.
    const int bus = qdlogbus(devp);
    qd_trace_drv("not identified: bus=% target=% lun=%\n", bus, devp->sd_address.a_target,
                 devp->sd_address.a_lun);
  }
  return DDI_NOT_IDENTIFIED;
}

int qdprobe(dev_info_t* dip) {
  qd_trace_drv("qdprobe $\n", ddi_get_name(dip));
  if (parent_is_pseudo(dip)) {
    return forceload != 0 ? DDI_PROBE_SUCCESS : DDI_PROBE_FAILURE;
  }
  return probe_scsi(dip);
}

int qdattach(dev_info_t* dip, ddi_attach_cmd_t cmd) {
  qd_trace_drv("qdattach $ cmd=%\n", ddi_get_name(dip), static_cast<unsigned>(cmd));
  if (cmd != DDI_ATTACH) {
    return DDI_FAILURE;
  }
  int result = DDI_SUCCESS;
  if (parent_is_pseudo(dip)) {
    qdm_init_driver(dip);
    // The pseudo instance stays, with or without its nodes.
    qdmakenodes(dip, nullptr);
  } else {
    result = attach_scsi(dip);
  }
  if (result == DDI_SUCCESS) {
    ++qd_attached;
  }
  return result;
}

int qdgetinfo(dev_info_t* dip, ddi_info_cmd_t cmd, void* arg, void** result) {
  qd_trace_drv("qdgetinfo cmd=%\n", static_cast<unsigned>(cmd));
  switch (cmd) {
  case DDI_INFO_DEVT2DEVINFO:
    *result = dip;
    return DDI_SUCCESS;
  case DDI_INFO_DEVT2INSTANCE:
    *result = reinterpret_cast<void*>(static_cast<std::uintptr_t>(
        getminor(static_cast<dev_t>(reinterpret_cast<std::uintptr_t>(arg)))));
    return DDI_SUCCESS;
  default:
    qd_assert_failed("0");
    return DDI_FAILURE;
  }
}
