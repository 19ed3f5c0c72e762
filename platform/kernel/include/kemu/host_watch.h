// A host descriptor that the emulated CPU's thread watches (Kernel::watch). Free of the
// kernel's other headers, so that socket code can include it beside <fcntl.h>.
#pragma once

namespace kemu {

class HostWatcher {
public:
  // revents as epoll reports them (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR, EPOLLRDHUP).
  virtual void ready(unsigned revents) = 0;

protected:
  ~HostWatcher() = default;
};

} // namespace kemu
