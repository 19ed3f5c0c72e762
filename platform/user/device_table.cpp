// Which descriptors are opened nodes. A fixed table indexed by descriptor, so that a call
// made from a signal handler finds (and lets go of) its device without allocating.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "device.h"
#include "qdev/test_hooks.h"

namespace qdev::detail {
namespace {

constexpr int kMaxFds = 4096;

std::array<std::unique_ptr<Device>, kMaxFds>& table() {
  static std::array<std::unique_ptr<Device>, kMaxFds> t;
  return t;
}

constinit test_hooks::ReleaseHook release_hook = nullptr;

} // namespace

Device* find(int fd) {
  if (fd < 0 || fd >= kMaxFds) {
    return nullptr;
  }
  Device* d = table()[static_cast<std::size_t>(fd)].get();
  return d != nullptr && d->fd == fd ? d : nullptr; // not a forgotten one
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
  Device* d = find(fd);
  if (d == nullptr) {
    return;
  }
  // Closed before it is forgotten, so that a handler landing here finds it closing. Forgotten
  // first, its still open socket would look to the handler's call like one passed on by
  // another program, to take over and close; our close would then fail, or close whatever
  // file had taken the number since.
  if (release_hook != nullptr) {
    release_hook(fd);
  }
  const int saved = errno; // the caller's result is already set
  ::close(fd);
  errno = saved;
  // A handler landing after the close may have opened another node on the number. The
  // record is forgotten, not freed (this may be a signal handler): the next node adopted on
  // the number frees it.
  if (table()[static_cast<std::size_t>(fd)].get() == d) {
    d->fd = -1;
  }
}

Busy::~Busy() {
  leave_call();
  if (--d_.depth == 0 && d_.closing && find(d_.fd) == &d_) {
    release(d_.fd);
  }
}

} // namespace qdev::detail

namespace qdev::test_hooks {

ReleaseHook set_release_hook(ReleaseHook hook) {
  return std::exchange(detail::release_hook, hook);
}

} // namespace qdev::test_hooks
