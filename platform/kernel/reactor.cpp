// The CPU thread's epoll set: its wake-up, its timer and the descriptors it watches.
#include "reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <iterator>
#include <utility>

namespace kemu::detail {

std::unique_ptr<Reactor> Reactor::make() {
  const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  const int event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (epoll_fd < 0 || event_fd < 0 || timer_fd < 0) {
    for (int fd : {epoll_fd, event_fd, timer_fd}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    return nullptr;
  }
  for (auto [fd, tag] : {std::pair{event_fd, kEventTag}, std::pair{timer_fd, kTimerTag}}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev);
  }
  return std::unique_ptr<Reactor>(new Reactor(epoll_fd, event_fd, timer_fd));
}

Reactor::Reactor(int epoll_fd, int event_fd, int timer_fd)
    : epoll_fd_(epoll_fd), event_fd_(event_fd), timer_fd_(timer_fd) {}

Reactor::~Reactor() {
  for (int fd : {epoll_fd_, event_fd_, timer_fd_}) {
    ::close(fd);
  }
}

void Reactor::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(event_fd_, &one, sizeof one);
}

// ---- The CPU thread's ------------------------------------------------------------------------

void Reactor::arm(std::int64_t ns) {
  if (ns == deadline_) {
    return;
  }
  deadline_ = ns;
  itimerspec its{};
  its.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  its.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &its, nullptr);
}

bool Reactor::wait(bool block) {
  epoll_event ev[kEvents];
  const int n = epoll_wait(epoll_fd_, ev, std::size(ev), block ? -1 : 0);
  ready_count_ = 0;
  for (int i = 0; i < n; ++i) {
    const std::uint64_t tag = ev[i].data.u64;
    if (tag == kEventTag || tag == kTimerTag) {
      std::uint64_t v = 0;
      [[maybe_unused]] const auto r =
          ::read(tag == kEventTag ? event_fd_ : timer_fd_, &v, sizeof v);
      if (tag == kTimerTag) {
        deadline_ = 0; // it has fired: a one-shot timer is disarmed now
      }
    } else {
      ready_[ready_count_++] = {tag, ev[i].events};
    }
  }
  return ready_count_ != 0;
}

void Reactor::run_watchers() {
  std::unique_lock<std::mutex> lk(mu_);
  for (std::size_t i = 0; i < ready_count_; ++i) {
    const std::uint64_t tag = ready_[i].tag;
    const auto slot = static_cast<std::uint32_t>(tag);
    const Slot& s = slots_[slot];
    if (s.gen != static_cast<std::uint32_t>(tag >> 32) || !s.added) {
      continue; // unwatched since epoll reported it
    }
    HostWatcher* w = s.w;
    running_ = slot;
    running_on_ = std::this_thread::get_id();
    lk.unlock();
    w->ready(ready_[i].events);
    lk.lock();
    running_ = kNoSlot;
    ended_.notify_all();
  }
  ready_count_ = 0;
}

// ---- Watches ---------------------------------------------------------------------------------

HostWatch Reactor::watch(int fd, HostWatcher* w) {
  std::lock_guard<std::mutex> lk(mu_);
  if (closed_ || fd < 0 || w == nullptr) {
    return {};
  }
  std::uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Slot& s = slots_[slot];
  s.w = w;
  s.fd = fd;
  s.events = 0;
  return HostWatch(this, slot);
}

bool Reactor::want(std::uint32_t slot, unsigned events) {
  std::lock_guard<std::mutex> lk(mu_);
  if (closed_) {
    return false;
  }
  Slot& s = slots_[slot];
  epoll_event ev{};
  ev.events = events;
  if (s.added) {
    if (s.events == events) {
      return true; // nothing for epoll to learn: no system call
    }
    ev.data.u64 = slot | std::uint64_t{s.gen} << 32;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, s.fd, &ev) != 0) {
      return false;
    }
    s.events = events;
    return true;
  }
  ev.data.u64 = slot | std::uint64_t{s.gen} << 32;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
    return false;
  }
  const auto at = static_cast<std::size_t>(s.fd);
  if (at >= slot_of_fd_.size()) {
    slot_of_fd_.resize(at + 1, kNoSlot);
  }
  // Another slot added for this number had its descriptor closed (else the add would have
  // failed): the system dropped it, and its handle must not remove this one.
  if (const std::uint32_t was = slot_of_fd_[at]; was != kNoSlot) {
    slots_[was].added = false;
    ++slots_[was].gen;
  }
  slot_of_fd_[at] = slot;
  s.added = true;
  s.events = events;
  return true;
}

void Reactor::unwatch(std::uint32_t slot, bool drop) {
  std::unique_lock<std::mutex> lk(mu_);
  Slot& s = slots_[slot];
  if (s.added) {
    s.added = false;
    ++s.gen; // events already taken for it are dropped
    slot_of_fd_[static_cast<std::size_t>(s.fd)] = kNoSlot;
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, s.fd, nullptr);
  }
  if (drop) {
    s.w = nullptr;
    s.fd = -1;
    free_.push_back(slot);
  }
  if (running_on_ != std::this_thread::get_id()) {
    ended_.wait(lk, [&] { return running_ != slot; });
  }
}

void Reactor::close() {
  std::lock_guard<std::mutex> lk(mu_);
  closed_ = true;
}

} // namespace kemu::detail

namespace kemu {

HostWatch::~HostWatch() {
  if (reactor_ != nullptr) {
    reactor_->unwatch(slot_, true);
  }
}

HostWatch::HostWatch(HostWatch&& o) noexcept
    : reactor_(std::exchange(o.reactor_, nullptr)), slot_(o.slot_) {}

HostWatch& HostWatch::operator=(HostWatch&& o) noexcept {
  if (this != &o) {
    if (reactor_ != nullptr) {
      reactor_->unwatch(slot_, true);
    }
    reactor_ = std::exchange(o.reactor_, nullptr);
    slot_ = o.slot_;
  }
  return *this;
}

bool HostWatch::want(unsigned events) {
  return reactor_ != nullptr && reactor_->want(slot_, events);
}

void HostWatch::unwatch() {
  if (reactor_ != nullptr) {
    reactor_->unwatch(slot_, false);
  }
}

} // namespace kemu
