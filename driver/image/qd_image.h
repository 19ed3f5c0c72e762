// The qd driver as a module for the emulated kernel's loader, as tests and qdhost load it:
//
//   kemu::Ddi ddi{tree};                        // with the "pseudo" nexus and the adapters
//   kemu::Scsa scsa;                            // units plugged into its adapters
//   ddi.load_conf("qd", "qd.conf", conf_text);
//   scsa.configure();
//   ddi.load(qd_module_image());
//   ddi.attach_all("qd");
//   ...
//   ddi.unload("qd");                           // detach of every instance, then _fini
#pragma once

#include "kemu/ddi.h"

kemu::ModuleImage qd_module_image();
