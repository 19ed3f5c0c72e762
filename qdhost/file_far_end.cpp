#include "qdhost/file_far_end.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qdhost {

std::shared_ptr<FileFarEnd> FileFarEnd::open(const std::string& path, qdemu::EngineHost& host,
                                             std::string* why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENXIO) {
    // A FIFO nobody reads yet: held open for reading too, its reader finds what was sent.
    fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      errno = ENXIO;
    }
  }
  if (fd < 0) {
    *why = path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::shared_ptr<FileFarEnd> f(new FileFarEnd(host, fd, path));
  struct ::stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    f->writer_ = std::thread([raw = f.get()] { raw->write_out(); });
  } else {
    f->watch_ = host.watch(fd, f.get());
  }
  return f;
}

FileFarEnd::~FileFarEnd() {
  if (writer_.joinable()) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      stopping_ = true;
    }
    more_.notify_one();
    writer_.join();
  }
  watch_.unwatch(); // no callback runs from here on
  ::close(fd_);
}

void FileFarEnd::write_out() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    more_.wait(lk, [&] { return stopping_ || !backlog_.empty(); });
    if (backlog_.empty()) {
      return; // stopping, and all is written
    }
    std::vector<std::uint8_t> chunk;
    chunk.swap(backlog_);
    lk.unlock();
    std::size_t done = 0;
    while (done < chunk.size()) {
      const ssize_t n = ::write(fd_, chunk.data() + done, chunk.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        lost_ += chunk.size() - done; // broken for good
        break;
      }
    }
    lk.lock();
    if (held_ && backlog_.size() < kHoldAt) {
      held_ = false;
      tell_ready();
    }
  }
}

void FileFarEnd::tell_ready() {
  host_.post([weak = weak_from_this()] {
    const auto self = weak.lock(); // gone: nobody to tell
    if (self != nullptr && self->port_ != nullptr) {
      self->port_->far_end_ready();
    }
  });
}

void FileFarEnd::flush_locked() {
  std::size_t done = 0;
  while (done < backlog_.size()) {
    const ssize_t n = ::write(fd_, backlog_.data() + done, backlog_.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      break; // full: the rest waits for room
    } else {
      lost_ += backlog_.size() - done; // broken for good
      done = backlog_.size();
    }
  }
  backlog_.erase(backlog_.begin(), backlog_.begin() + static_cast<long>(done));
}

void FileFarEnd::transmit(std::span<const std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  backlog_.insert(backlog_.end(), bytes.begin(), bytes.end());
  if (writer_.joinable()) {
    more_.notify_one();
    held_ = held_ || backlog_.size() >= kHoldAt;
    return;
  }
  flush_locked();
  if (backlog_.empty() || held_) {
    return;
  }
  // The port waits until the file takes more; without a watch it never would, so the rest
  // is lost instead.
  if (!watch_.want(EPOLLOUT)) {
    lost_ += backlog_.size();
    backlog_.clear();
    return;
  }
  held_ = true;
}

// On the CPU thread, outside every kernel context.
void FileFarEnd::ready(unsigned events) {
  std::lock_guard<std::mutex> lk(mu_);
  if ((events & (EPOLLERR | EPOLLHUP)) != 0 && (events & EPOLLOUT) == 0) {
    lost_ += backlog_.size();
    backlog_.clear();
  } else {
    flush_locked();
  }
  if (!backlog_.empty()) {
    return;
  }
  watch_.unwatch();
  held_ = false;
  tell_ready();
}

} // namespace qdhost
