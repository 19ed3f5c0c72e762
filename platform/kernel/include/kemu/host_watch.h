// A host descriptor that the emulated CPU's thread watches (Kernel::watch). Free of the
// kernel's other headers, so that socket code can include it beside <fcntl.h>.
#pragma once

#include <cstdint>

namespace kemu {

namespace detail {
class Reactor;
}

class HostWatcher {
public:
  // revents as epoll reports them (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR, EPOLLRDHUP).
  virtual void ready(unsigned revents) = 0;

protected:
  ~HostWatcher() = default;
};

// One descriptor, its watcher and the events wanted for it: watched from want() until
// unwatch(), and unwatched when the handle goes. It does not own the descriptor. A
// descriptor closed while watched is dropped from the watch by the system; its number may be
// watched again at once, by another handle.
//
// want() and unwatch() may be called from any thread (also from the watcher), each after the
// handle is complete; the handle itself is moved and destroyed by its owner alone. Declare
// it after what its watcher uses, so that it goes (and waits for a running callback) first.
// An empty handle (Kernel::watch refused, or moved from) watches nothing; any other must go
// before its kernel.
class HostWatch {
public:
  HostWatch() = default;
  ~HostWatch();
  HostWatch(HostWatch&& o) noexcept;
  HostWatch& operator=(HostWatch&& o) noexcept;

  // False for an empty handle.
  explicit operator bool() const { return reactor_ != nullptr; }

  // From now on the watcher is called while the descriptor is ready for `events` (EPOLLIN,
  // EPOLLOUT, EPOLLRDHUP; level-triggered; 0: none for now, though EPOLLHUP and EPOLLERR
  // come whatever it says). No system call when they are the events wanted already. False
  // for an empty handle, once the kernel has stopped watching, or when epoll refuses the
  // descriptor.
  bool want(unsigned events);
  // Once it returns, the watcher is not running (unless the caller is that very call) and
  // will not run for this handle until want() again.
  void unwatch();

private:
  friend class detail::Reactor;
  HostWatch(detail::Reactor* reactor, std::uint32_t slot) : reactor_(reactor), slot_(slot) {}

  detail::Reactor* reactor_ = nullptr;
  std::uint32_t slot_ = 0; // the reactor's record of the descriptor, watcher and events
};

} // namespace kemu
