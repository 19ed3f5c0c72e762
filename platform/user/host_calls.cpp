#include "host_calls.h"

#include <sys/ioctl.h>

namespace qdev::detail {

int host_ioctl_value(int fd, int cmd, long value) {
  return ::ioctl(fd, static_cast<unsigned long>(static_cast<unsigned>(cmd)), value);
}

int host_ioctl_pointer(int fd, int cmd, const void* arg) {
  return ::ioctl(fd, static_cast<unsigned long>(static_cast<unsigned>(cmd)), arg);
}

} // namespace qdev::detail
