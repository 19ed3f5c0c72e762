// The driver's entry points and entry tables: module linkage, autoconfiguration, device
// nodes and the Lanvara units of qd.conf, the STREAMS procedures, detach and unload.
#pragma once

#include <cstdint>

#include "ksys/cred.h"
#include "ksys/ddi.h"
#include "ksys/devops.h"
#include "ksys/modctl.h"
#include "ksys/stream.h"
#include "ksys/types.h"

struct qd_unit;
struct qd_line;
struct scsi_device;

// ---- Module linkage ----------------------------------------------------------------------

// The variables carry the names of their types, so the types are named with `struct`.
extern struct modlinkage modlinkage;
extern struct modldrv modldrv;
extern char _depends_on[];
extern struct dev_ops qd_ops;
extern struct cb_ops qd_cb_ops;
extern struct streamtab qdinfo;
extern struct qinit rinit;
extern struct qinit winit;
extern struct module_info minfo;

inline constexpr const char* QD_MODULE_NAME = "qd";
inline constexpr const char* QD_MODULE_DESC = "Orvane Lanvara/QMX module drvr";

int _init();
int _info(modinfo* mip);
int _fini();

// ---- Autoconfiguration -------------------------------------------------------------------

// Highest SCSI target the unit table has room for; probe refuses the others.
inline constexpr int QD_MAX_TARGET = 15;
// Bytes read of a "vrn%x" entry of qd.conf.
inline constexpr int QD_VRN_PROPLEN = 119;
inline constexpr int QD_VRN_UNITS = 256;

int qdidentify(dev_info_t* dip);
int qdprobe(dev_info_t* dip);
int qdattach(dev_info_t* dip, ddi_attach_cmd_t cmd);
int qdgetinfo(dev_info_t* dip, ddi_info_cmd_t cmd, void* arg, void** result);
// Non-zero when qd.conf asks for the pseudo instance ("forceload", or any "vrn%x" entry).
int qdforceload(dev_info_t* dip);
// The driver's number of the child's host bus adapter, 0-15; -1 when 16 are taken.
int qdlogbus(scsi_device* devp);

// ---- Device nodes and the Lanvara units of qd.conf ---------------------------------------

// Port digits: a base-32 digit per port.
extern const char* const funny_hex[32];

// Creates the diagnostic node and the Lanvara unit nodes when no instance has them yet,
// then the nodes of the unit (none: the pseudo instance).
int qdmakenodes(dev_info_t* dip, qd_unit* up);
// The port and dial-out nodes of the unit, and its unit node for a Lanvara unit.
int qddomakenodes(dev_info_t* dip, qd_unit* up);
// Lanvara unit records from the "vrn%x" entries; 0 when all were looked at, 1 when memory
// ran out.
int qd_vrn_config(dev_info_t* dip);
// The name of a port's node (dial-out: with ",cu"); false when the port has none.
bool qd_port_node_name(const qd_unit* up, unsigned port, bool dialout, char* name,
                       std::size_t room);
// Minor number of port 0 of the unit.
minor_t qd_base_minor(const qd_unit* up);

// ---- STREAMS entry points ----------------------------------------------------------------

int qdopen(queue_t* q, dev_t* devp, int oflag, int sflag, cred_t* credp);
int qdclose(queue_t* q, int flag, cred_t* credp);
int qdioctl(dev_t dev, int cmd, intptr_t arg, int mode, cred_t* credp, int* rvalp);
int qdrput(queue_t* q, mblk_t* mp);
int qdrsrv(queue_t* q);
int qdwput(queue_t* q, mblk_t* mp);
// Bytes the relay daemon wrote to a unit node: into the receive packet and through the
// answer dispatch. Caller holds the unit's "unit_mutex"; the message is consumed.
void qd_vrn_receive(qd_line* lp, mblk_t* mp);

// ---- Detach and unload -------------------------------------------------------------------

int qddetach(dev_info_t* dip, ddi_detach_cmd_t cmd);
// 0 done (now or earlier in this load), 1 refused.
int qdtakedown();
// 0 released, 1 the unit did not come down.
int qdkillunit(qd_unit* up);

// ---- Driver-wide state of these entry points (defined in qd_state.cpp) --------------------

extern std::uint32_t forceload;      // the pseudo instance is wanted
extern int global_made;              // the diagnostic node exists
extern int ether_made;               // the Lanvara unit nodes exist
extern dev_info_t* qd_global_dip;    // the instance that holds those nodes
extern std::int32_t qd_unload_tries; // takedown attempts
extern int qd_mod_loaded;            // mod_install succeeded
extern int qd_takedown_done;         // everything has been released
extern int qd_attached;              // instances attached
// Contexts inside qdopen or qdclose: the takedown waits for them, as they may sleep on a
// line or unit that it would otherwise free under them.
extern int qd_entry_active;

// Counts a context inside qdopen or qdclose for as long as it lives.
struct qd_entry_guard {
  qd_entry_guard() { ++qd_entry_active; }
  ~qd_entry_guard() { --qd_entry_active; }
  qd_entry_guard(const qd_entry_guard&) = delete;
  qd_entry_guard& operator=(const qd_entry_guard&) = delete;
};
