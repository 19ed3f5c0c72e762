// Device nodes: the diagnostic node, every port's node and dial-out node, and the Lanvara
// unit nodes, with the minor number layout of the driver.
#include <cstdio>
#include <cstring>

#include "ksys/ddi.h"
#include "qd_entry.h"
#include "qd_line.h"
#include "qd_trace_route.h"
#include "qd_unit.h"
#include "qmx_unittab.h"

const char* const funny_hex[32] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "a",
                                   "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l",
                                   "m", "n", "o", "p", "q", "r", "s", "t", "u", "v"};

namespace {

constexpr int POD_PORTS = 18;
constexpr int NAME_ROOM = 20; // names are at most 19 characters
constexpr minor_t DIAG_MINOR = qd_minor::DIAG;

bool is_lanvara_model(const qd_unit* up) {
  return (up->qdu_info->flags & QDM_LANVARA) != 0;
}

char unit_letter(const qd_unit* up) {
  return is_lanvara_model(up) ? 'n' : static_cast<char>('c' + up->qdu_bus);
}

unsigned unit_number(const qd_unit* up) {
  return static_cast<unsigned>(up->qdu_target);
}

int create(dev_info_t* dip, const char* name, minor_t minor, const char* type) {
  qd_trace_drv("create node $ minor=%\n", name, minor);
  return ddi_create_minor_node(dip, name, S_IFCHR, minor, type, 0);
}

// Every node of the instance goes. When the instance held the diagnostic and Lanvara unit
// nodes, the next attach has to make them again.
int remove_all(dev_info_t* dip) {
  ddi_remove_minor_node(dip, nullptr);
  if (qd_global_dip == dip) {
    global_made = 0;
    ether_made = 0;
    qd_global_dip = nullptr;
  }
  return DDI_FAILURE;
}

int port_node(dev_info_t* dip, const qd_unit* up, unsigned port, bool dialout) {
  char name[NAME_ROOM];
  if (!qd_port_node_name(up, port, dialout, name, sizeof name)) {
    return DDI_SUCCESS;
  }
  const int kind = qdf_port_type(up->qdu_info, port);
  const char* type = dialout                   ? DDI_NT_SERIAL_DO
                     : qd_port_is_serial(kind) ? DDI_NT_SERIAL
                                               : DDI_PSEUDO;
  const minor_t minor = qd_base_minor(up) + port + (dialout ? qd_minor::DIALOUT : 0);
  return create(dip, name, minor, type);
}

} // namespace

minor_t qd_base_minor(const qd_unit* up) {
  if (is_lanvara_model(up)) {
    return qd_minor::vrn_base(unit_number(up)).value;
  }
  return qd_minor::scsi_base(static_cast<unsigned>(up->qdu_bus), unit_number(up)).value;
}

bool qd_port_node_name(const qd_unit* up, unsigned port, bool dialout, char* name,
                       std::size_t room) {
  const int kind = qdf_port_type(up->qdu_info, port);
  if (kind == QD_PORT_NONE || (dialout && !qd_port_is_serial(kind))) {
    return false;
  }
  const char* base = qd_port_is_serial(kind) ? "tty" : "lp";
  const char* suffix = dialout ? ",cu" : "";
  int n;
  if ((up->qdu_info->flags & QDM_PODS) != 0) {
    n = std::snprintf(name, room, "%s%c%x%c%s%s", base, unit_letter(up), unit_number(up),
                      static_cast<char>('0' + port / POD_PORTS), funny_hex[port % POD_PORTS],
                      suffix);
  } else if (port < 32) {
    n = std::snprintf(name, room, "%s%c%x%s%s", base, unit_letter(up), unit_number(up),
                      funny_hex[port], suffix);
  } else {
    // The one model with more than 32 ports and no pods: two base-32 digits, which no port
    // of another unit can take (a SCSI unit's number is one digit, no Lanvara model has
    // that many ports).
    n = std::snprintf(name, room, "%s%c%x%s%s%s", base, unit_letter(up), unit_number(up),
                      funny_hex[(port / 32) % 32], funny_hex[port % 32], suffix);
  }
  return n > 0 && static_cast<std::size_t>(n) < room;
}

int qdmakenodes(dev_info_t* dip, qd_unit* up) {
  qd_trace_drv("qdmakenodes &\n", up);
  if (global_made == 0) {
    if (create(dip, "qmxdiag", DIAG_MINOR, DDI_PSEUDO) != DDI_SUCCESS) {
      return remove_all(dip);
    }
    global_made = 1;
    qd_global_dip = dip;
  }
  if (ether_made == 0) {
    for (int n = 0; n < QD_VRN_UNITS; ++n) {
      if (qd_unit* vp = qd_units[QD_VRN_BASE + n]; vp != nullptr) {
        qddomakenodes(dip, vp);
        if (global_made == 0) {
          // The failure took this instance's nodes, the diagnostic node among them.
          return DDI_FAILURE;
        }
      }
    }
    ether_made = 1;
  }
  if (up == nullptr) {
    return DDI_SUCCESS;
  }
  return qddomakenodes(dip, up);
}

int qddomakenodes(dev_info_t* dip, qd_unit* up) {
  if (up == nullptr || up->qdu_info == nullptr) {
    return DDI_FAILURE;
  }
  qd_trace_drv("qddomakenodes bus=% target=%\n", up->qdu_bus, up->qdu_target);
  const auto nports = static_cast<unsigned>(up->qdu_info->nlines);
  if ((up->qdu_info->flags & QDM_PODS) == 0) {
    for (unsigned i = 0; i < nports; ++i) {
      if (port_node(dip, up, i, false) != DDI_SUCCESS) {
        return remove_all(dip);
      }
    }
    for (unsigned i = 0; i < nports; ++i) {
      if (port_node(dip, up, i, true) != DDI_SUCCESS) {
        return remove_all(dip);
      }
    }
  } else {
    for (unsigned i = 0; i < nports; ++i) {
      if (port_node(dip, up, i, false) != DDI_SUCCESS ||
          port_node(dip, up, i, true) != DDI_SUCCESS) {
        return remove_all(dip);
      }
    }
  }
  if (is_lanvara_model(up)) {
    char name[NAME_ROOM];
    std::snprintf(name, sizeof name, "vrnn%x", unit_number(up));
    if (create(dip, name, qd_base_minor(up) + QD_UNITNODE_LINE, DDI_PSEUDO) != DDI_SUCCESS) {
      return remove_all(dip);
    }
  }
  ddi_report_dev(dip);
  return DDI_SUCCESS;
}
