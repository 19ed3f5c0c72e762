#include "qdhost/pty_far_end.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qdhost {

namespace {

constexpr std::size_t kReadChunk = 256;

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

std::shared_ptr<PtyFarEnd> PtyFarEnd::open(Post post, std::string* why) {
  std::shared_ptr<PtyFarEnd> p(new PtyFarEnd(std::move(post)));
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
  p->wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (p->wake_fd_ < 0) {
    *why = errno_text("eventfd");
    return nullptr;
  }
  return p;
}

PtyFarEnd::~PtyFarEnd() {
  stop();
  for (int fd : {master_, slave_hold_, wake_fd_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

void PtyFarEnd::start() {
  if (!io_.joinable()) {
    stopping_ = false;
    io_ = std::thread([this] { run(); });
  }
}

void PtyFarEnd::stop() {
  if (io_.joinable()) {
    stopping_ = true;
    wake();
    io_.join();
  }
  std::lock_guard<std::mutex> lk(mu_);
  flush_locked();
}

void PtyFarEnd::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
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
    wake(); // the thread now waits for the master to take more
  }
}

void PtyFarEnd::hold_off(bool held) {
  held_ = held;
  if (!held) {
    wake();
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

void PtyFarEnd::run() {
  std::vector<std::uint8_t> buf(kReadChunk);
  while (!stopping_) {
    bool want_out = false;
    {
      std::lock_guard<std::mutex> lk(mu_);
      want_out = !backlog_.empty();
    }
    pollfd pf[2] = {{wake_fd_, POLLIN, 0}, {master_, 0, 0}};
    const bool take = !delivering_ && !held_;
    if (take) {
      pf[1].events |= POLLIN;
    }
    if (want_out) {
      pf[1].events |= POLLOUT;
    }
    if (::poll(pf, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if ((pf[0].revents & POLLIN) != 0) {
      std::uint64_t v = 0;
      [[maybe_unused]] ssize_t n = ::read(wake_fd_, &v, sizeof v);
    }
    if ((pf[1].revents & (POLLERR | POLLNVAL)) != 0) {
      return; // the pair is broken: nothing more comes from it
    }
    if ((pf[1].revents & POLLOUT) != 0) {
      std::lock_guard<std::mutex> lk(mu_);
      flush_locked();
    }
    if ((pf[1].revents & POLLIN) != 0 && take) {
      ssize_t n = ::read(master_, buf.data(), buf.size());
      if (n > 0) {
        delivering_ = true;
        std::vector<std::uint8_t> bytes(buf.begin(), buf.begin() + n);
        post_([self = shared_from_this(), bytes = std::move(bytes)] {
          if (self->port_ != nullptr) {
            self->port_->receive(bytes);
          }
          self->delivering_ = false;
          self->wake();
        });
      }
    }
  }
}

} // namespace qdhost
