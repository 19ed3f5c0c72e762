// The qd driver's module image.
#include "qd_image.h"

#include "qd_entry.h"

kemu::ModuleImage qd_module_image() {
  return {QD_MODULE_NAME, _init, _info, _fini, _depends_on};
}
