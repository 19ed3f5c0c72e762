// Module linkage: what a loadable driver hands the kernel from its _init, _info and _fini.
//
// A driver defines, with C++ linkage (never extern "C"):
//   int _init();                 // returns mod_install(&its modlinkage)
//   int _info(modinfo* mip);     // returns mod_info(&its modlinkage, mip)
//   int _fini();                 // returns mod_remove(&its modlinkage)
//   char _depends_on[] = "misc/scsi";
#pragma once

#include "ksys/devops.h"

inline constexpr int MODREV_1 = 1;
inline constexpr int MODMAXLINK = 8;
inline constexpr int MODMAXNAMELEN = 32;
inline constexpr int MODMAXLINKINFOLEN = 32;

// What kind of module a linkage describes.
struct mod_ops {
  const char* kind;
};
extern mod_ops mod_driverops;
extern mod_ops mod_miscops;

struct modldrv {
  mod_ops* drv_modops; // &mod_driverops
  const char* drv_linkinfo;
  dev_ops* drv_dev_ops;
};

struct modlmisc {
  mod_ops* misc_modops; // &mod_miscops
  const char* misc_linkinfo;
};

struct modlinkage {
  int ml_rev;                   // MODREV_1
  void* ml_linkage[MODMAXLINK]; // modldrv or modlmisc pointers, ended by a null
};

struct modspecific_info {
  char msi_linkinfo[MODMAXLINKINFOLEN];
  int msi_p0; // a driver's major number, -1 when not installed
};

struct modinfo {
  int mi_rev;
  int mi_id;
  char mi_name[MODMAXNAMELEN];
  modspecific_info mi_msinfo[MODMAXLINK];
};

// Only during the module's _init: registers what the linkage describes (a driver gets a
// major number and an entry in the device switch). 0, or an errno.
int mod_install(modlinkage* linkage);
// Only during the module's _fini: undoes mod_install. EBUSY while one of the driver's
// instances is attached. 0, or an errno.
int mod_remove(modlinkage* linkage);
// Fills *mip from the linkage; non-zero on success, 0 for a malformed linkage.
int mod_info(modlinkage* linkage, modinfo* mip);
