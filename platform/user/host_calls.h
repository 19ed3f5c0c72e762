// The host's own calls for descriptors and paths that are not nodes. Kept in a file of their
// own: <sys/ioctl.h> defines terminal codes that clash with the System V ones.
#pragma once

#include <cstdint>

namespace qdev::detail {

int host_ioctl_value(int fd, int cmd, long value);
int host_ioctl_pointer(int fd, int cmd, const void* arg);

} // namespace qdev::detail
