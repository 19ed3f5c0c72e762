// Which descriptors are opened nodes. A fixed table indexed by descriptor, so that a call
// made from a signal handler finds its device without allocating.
#include <unistd.h>

#include <array>

#include "device.h"

namespace qdev::detail {
namespace {

constexpr int kMaxFds = 4096;

std::array<std::unique_ptr<Device>, kMaxFds>& table() {
  static std::array<std::unique_ptr<Device>, kMaxFds> t;
  return t;
}

} // namespace

Device* find(int fd) {
  if (fd < 0 || fd >= kMaxFds) {
    return nullptr;
  }
  return table()[static_cast<std::size_t>(fd)].get();
}

bool adopt(std::unique_ptr<Device> d) {
  int fd = d->fd;
  if (fd < 0 || fd >= kMaxFds) {
    return false;
  }
  table()[static_cast<std::size_t>(fd)] = std::move(d);
  return true;
}

void release(int fd) {
  if (find(fd) != nullptr) {
    table()[static_cast<std::size_t>(fd)].reset();
    ::close(fd);
  }
}

Busy::~Busy() {
  if (--d_.depth == 0 && d_.closing && find(d_.fd) == &d_) {
    release(d_.fd);
  }
}

} // namespace qdev::detail
