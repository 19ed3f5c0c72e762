// Loading the loopback driver (qdhost/loop_codes.h) into an emulated kernel.
#pragma once

#include <string>

#include "kemu/ddi.h"
#include "qdhost/loop_codes.h"

namespace qdhost::loop {

// Gives the driver its pseudo node, loads and attaches it. 0, or an errno with *why set.
// Needs a live Kernel; call from outside any kernel context.
int install(kemu::Ddi& ddi, std::string* why = nullptr);
// Detaches and unloads it (0, or the loader's errno).
int remove(kemu::Ddi& ddi);

} // namespace qdhost::loop
