// kvflush's words for the driver's refusals.
#include "kvflush/flush_messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kvflush {

std::string refusal_message(int err) {
  switch (err) {
  case EPERM:
    return "Permission denied.\n";
  case ENOENT:
    return "Line has never been accessed.\n";
  case EIO:
    return "Queues not active, only firmware was flushed.\n";
  case ENXIO:
    return "SIGHUP cleared streams queues.\n";
  case ENODEV:
    return "Unit was not found.\n";
  case EINVAL:
    return "Port number is out of range.\n";
  case ENOTTY:
    return "Line is not currently enabled.\n";
  default: {
    char buf[256];
    std::snprintf(buf, sizeof buf, "Unrecognized return value %d - %s\n", err, std::strerror(err));
    return buf;
  }
  }
}

} // namespace kvflush
