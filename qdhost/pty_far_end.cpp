#include "qdhost/pty_far_end.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qdhost {

namespace {

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

std::shared_ptr<PtyFarEnd> PtyFarEnd::open(qdemu::EngineHost& host, std::string* why) {
  std::shared_ptr<PtyFarEnd> p(new PtyFarEnd(host));
  p->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p->master_ < 0) {
    *why = errno_text("posix_openpt");
    return nullptr;
  }
  char name[128];
  if (::grantpt(p->master_) != 0 || ::unlockpt(p->master_) != 0 ||
      ::ptsname_r(p->master_, name, sizeof name) != 0) {
    *why = errno_text("pseudo-terminal");
    return nullptr;
  }
  p->slave_path_ = name;
  p->slave_hold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p->slave_hold_ < 0) {
    *why = errno_text(name);
    return nullptr;
  }
  termios t{};
  if (::tcgetattr(p->slave_hold_, &t) != 0) {
    *why = errno_text(name);
    return nullptr;
  }
  ::cfmakeraw(&t);
  if (::tcsetattr(p->slave_hold_, TCSANOW, &t) != 0) {
    *why = errno_text(name);
    return nullptr;
  }
  p->watch_ = host.watch(p->master_, p.get());
  return p;
}

PtyFarEnd::~PtyFarEnd() {
  stop();
  for (int fd : {master_, slave_hold_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

void PtyFarEnd::start() {
  std::lock_guard<std::mutex> lk(mu_);
  started_ = true;
  rewatch_locked();
}

void PtyFarEnd::stop() {
  bool was = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    was = std::exchange(started_, false);
  }
  if (was) {
    watch_.unwatch(); // no callback runs from here on
  }
  std::lock_guard<std::mutex> lk(mu_);
  flush_locked();
}

void PtyFarEnd::rewatch_locked() {
  if (!started_ || broken_) {
    return;
  }
  unsigned events = 0;
  if (!delivering_ && !held_) {
    events |= EPOLLIN;
  }
  if (!backlog_.empty()) {
    events |= EPOLLOUT;
  }
  if (!watch_.want(events)) {
    broken_ = true; // nothing watches it (the kernel is stopping)
  }
}

void PtyFarEnd::transmit(std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  const bool had_backlog = !backlog_.empty();
  std::size_t room = kBacklog - backlog_.size();
  std::size_t keep = std::min(room, bytes.size());
  backlog_.insert(backlog_.end(), bytes.begin(), bytes.begin() + static_cast<long>(keep));
  dropped_ += bytes.size() - keep;
  flush_locked();
  if (!had_backlog && !backlog_.empty()) {
    rewatch_locked(); // wait for the master to take more
  }
}

void PtyFarEnd::hold_off(bool held) {
  std::lock_guard<std::mutex> lk(mu_);
  if (held_ != held) {
    held_ = held;
    rewatch_locked();
  }
}

void PtyFarEnd::flush_locked() {
  std::size_t done = 0;
  while (done < backlog_.size()) {
    ssize_t n = ::write(master_, backlog_.data() + done, backlog_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break; // full (EAGAIN) or gone: keep it for later
    }
  }
  backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<long>(done));
}

void PtyFarEnd::ready(unsigned events) {
  std::lock_guard<std::mutex> lk(mu_);
  if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
    broken_ = true; // the pair is broken: nothing more comes from it
    watch_.unwatch();
    return;
  }
  if ((events & EPOLLOUT) != 0) {
    const bool had = !backlog_.empty();
    flush_locked();
    if (had && backlog_.empty()) {
      rewatch_locked();
    }
  }
  if ((events & EPOLLIN) != 0 && !delivering_ && !held_) {
    ssize_t n = ::read(master_, in_, sizeof in_);
    if (n > 0) {
      in_len_ = static_cast<std::size_t>(n);
      delivering_ = true;
      rewatch_locked();
      host_.post([self = shared_from_this()] { self->deliver(); });
    }
  }
}

// Where the engine's calls run: the port takes what was read, then the master is read again.
void PtyFarEnd::deliver() {
  if (port_ != nullptr) {
    port_->receive({in_, in_len_});
  }
  std::lock_guard<std::mutex> lk(mu_);
  delivering_ = false;
  rewatch_locked();
}

} // namespace qdhost
