// The entry tables the kernel finds the driver by, and the module's _init, _info and _fini.
#include "ksys/cmn_err.h"
#include "qd_entry.h"
#include "qd_mem.h"
#include "qd_state.h"
#include "qd_trace_route.h"
#include "qd_unitops.h"

struct module_info minfo = {0, QD_MODULE_NAME, 0, INFPSZ, 512, 128};
struct qinit rinit = {qdrput, qdrsrv, qdopen, qdclose, nullptr, &minfo, nullptr};
struct qinit winit = {qdwput, nullptr, nullptr, nullptr, nullptr, &minfo, nullptr};
struct streamtab qdinfo = {&rinit, &winit, nullptr, nullptr};

// A STREAMS driver is opened and closed through its streamtab (qdopen and qdclose in
// rinit); the character open and close entries are never called for it.
struct cb_ops qd_cb_ops = {
    nulldev,     // open
    nulldev,     // close
    nodev,       // strategy
    nodev,       // print
    nodev,       // dump
    nodev,       // read
    nodev,       // write
    qdioctl,     // ioctl
    nodev,       // devmap
    nodev,       // mmap
    nodev,       // segmap
    nochpoll,    // chpoll
    ddi_prop_op, // prop_op
    &qdinfo,     // STREAMS table
    D_MP,        // the driver does its own locking
    CB_REV,
    nodev, // aread
    nodev, // awrite
};

struct dev_ops qd_ops = {
    DEVO_REV,   // revision
    0,          // reference count
    qdgetinfo,  // getinfo
    qdidentify, // identify
    qdprobe,    // probe
    qdattach,   // attach
    qddetach,   // detach
    nodev,      // reset
    &qd_cb_ops, // character entries
    nullptr,    // no bus operations
    nullptr,    // no power operation
};

struct modldrv modldrv = {&mod_driverops, QD_MODULE_DESC, &qd_ops};
struct modlinkage modlinkage = {MODREV_1, {&modldrv, nullptr}};
char _depends_on[] = "misc/scsi";

int _init() {
  // One process may load the driver many times: every load starts from the load-time
  // values.
  qd_reset_driver_state();
  qd_trace_drv("_init\n");
  const int r = mod_install(&modlinkage);
  if (r == 0) {
    qd_mod_loaded = 1;
  }
  return r;
}

int _info(modinfo* mip) {
  qd_trace_drv("_info\n");
  return mod_info(&modlinkage, mip);
}

int _fini() {
  qd_trace_drv("_fini\n");
  if (qd_mod_loaded == 0) {
    return -1;
  }
  // No instance ever attached, yet a failed attach may have started the driver (timer,
  // memory): nothing may outlive the module.
  if (qd_attached == 0 && qd_takedown_done == 0 &&
      (qd_init_driver_done != 0 || qd_mem_head != nullptr) && qdtakedown() != 0) {
    return EBUSY;
  }
  const int r = mod_remove(&modlinkage);
  if (r == 0) {
    qd_mod_loaded = 0;
  }
  return r;
}
