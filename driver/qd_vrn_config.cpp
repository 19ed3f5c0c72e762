// The Lanvara units of qd.conf: one "vrn%x" entry per unit, "model,address".
#include <cstdio>
#include <cstring>

#include "ksys/cmn_err.h"
#include "ksys/ddi.h"
#include "qd_entry.h"
#include "qd_mem.h"
#include "qd_pool.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qd_unitops.h"
#include "qd_util.h"
#include "qmx_unittab.h"

namespace {

// The entry's value, always terminated (one byte more than is read).
struct vrn_entry {
  char name[8];
  char value[QD_VRN_PROPLEN + 1];
};

bool read_entry(dev_info_t* dip, int n, vrn_entry& e) {
  std::snprintf(e.name, sizeof e.name, "vrn%x", static_cast<unsigned>(n));
  std::memset(e.value, 0, sizeof e.value);
  int len = QD_VRN_PROPLEN;
  return ddi_prop_op(DDI_DEV_T_ANY, dip, PROP_LEN_AND_VAL_BUF, DDI_PROP_DONTPASS, e.name, e.value,
                     &len) == DDI_PROP_SUCCESS;
}

} // namespace

int qd_vrn_config(dev_info_t* dip) {
  qd_trace_drv("qd_vrn_config\n");
  for (int n = 0; n < QD_VRN_UNITS; ++n) {
    qd_units[QD_VRN_BASE + n] = nullptr;
    vrn_entry e;
    if (!read_entry(dip, n, e)) {
      continue;
    }
    // The model stands before the first comma; the address starts at the first digit after
    // it. Without a comma there is no address.
    const char* address = e.value + std::strlen(e.value);
    if (char* comma = std::strchr(e.value, ','); comma != nullptr) {
      *comma = '\0';
      address = comma + 1;
      while (*address != '\0' && qdisdigit(*address) == 0) {
        ++address;
      }
    }
    const std::uint32_t ipaddr = qdinet_addr(address);
    if (ipaddr == 0) {
      cmn_err(CE_CONT, "qd: invalid IP address for %s\n", e.name);
      continue;
    }
    const qd_unitinfo* info = qdm_get_unitinfo(e.value);
    if (info == nullptr || (info->flags & QDM_LANVARA) == 0) {
      qd_trace_drv("$ is no Lanvara model\n", e.name);
      continue;
    }
    cmn_err(CE_CONT, "Orvane %s (%s) at IP address %s\n", info->name, e.name, address);

    auto* up = static_cast<qd_unit*>(qd_malloc(sizeof(qd_unit)));
    if (up == nullptr) {
      cmn_err(CE_CONT, "qd: No memory for more modules!\n");
      return 1;
    }
    up->qd_lines = static_cast<qd_line**>(qd_malloc(sizeof(qd_line*) * QD_VRN_NLINES));
    if (up->qd_lines == nullptr) {
      cmn_err(CE_CONT, "qd: No memory for %s's qd_lines table!\n", e.name);
      return 1;
    }
    qdm_allocmorepkts(QD_PKT_GROW);
    up->qdu_rcvpkt = qdm_vrn_getrcvpkt();
    if (up->qdu_rcvpkt == nullptr) {
      // Without it no answer of the unit could ever be read.
      cmn_err(CE_CONT, "qd: No memory for %s's receive packet!\n", e.name);
      continue;
    }
    up->qdu_info = info;
    up->qdu_flags = QDU_LANVARA | QDU_OFFLINE;
    up->qdu_target = n;
    up->qdu_bus = -1;
    up->qdu_ipaddr = ipaddr;
    qdm_unit_init_locks(up);
    qd_units[QD_VRN_BASE + n] = up;
  }
  return 0;
}
