// Opening device nodes as a program would: the device switch turns the major number into
// the driver's streamtab and the stream head does the rest. qdhost serves each minor node
// by its name through the second form.
#pragma once

#include <string_view>

#include "kemu/streamhead.h"
#include "ksys/cred.h"
#include "ksys/types.h"

namespace kemu {

// Must run in a user context (as_user, Kernel::call or a Task); cred null means the
// context's own. ENXIO when no loaded driver has the major or the driver is no STREAMS
// driver; otherwise the stream head's result (the driver's open decides about the minor).
int open_device(dev_t dev, int flags, const cred_t* cred, StreamFile& out);
// The character minor node of that name: ENOENT when there is none.
int open_device(std::string_view node_name, int flags, const cred_t* cred, StreamFile& out);

} // namespace kemu
