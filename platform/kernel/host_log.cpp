// The host log: messages written at once, or kept in a bounded buffer that a thread other
// than the one saying them writes out without blocking.
#include "kemu/host_log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

namespace kemu {

namespace {

// Most bytes one write takes from the buffer.
constexpr std::size_t kChunk = 64 * 1024;

struct Sink {
  std::mutex mu;
  bool buffered = false;
  std::string name;
  std::size_t capacity = 0;
  std::string buf; // [head, size) waits; room reserved, so saying allocates nothing
  std::size_t head = 0;
  std::uint64_t dropped = 0; // since the last note
  std::uint64_t dropped_total = 0;
  bool signalled = false; // event_fd written since the writer last looked
  int event_fd = -1;
  // Where the writer writes: a descriptor of its own opened non-blocking when it can (a pipe,
  // a terminal), else the caller's: a socket is sent to with MSG_DONTWAIT, a file never
  // waits for a reader, and anything else gets PIPE_BUF bytes at most once poll says so.
  int out = -1;
  bool own_out = false;
  bool socket = false;
  bool small = false;
  std::vector<char> out_buf; // the writer's copy of what it writes, outside the mutex
};

Sink& sink() {
  static Sink s;
  return s;
}

void close_out(Sink& s) {
  if (s.own_out) {
    ::close(s.out);
  }
  if (s.event_fd >= 0) {
    ::close(s.event_fd);
  }
  s.out = -1;
  s.own_out = s.socket = s.small = false;
  s.event_fd = -1;
}

void open_out(Sink& s, int fd) {
  s.out = fd;
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) {
    s.small = true;
    return;
  }
  if (S_ISSOCK(st.st_mode)) {
    s.socket = true;
  } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
    // A file description of our own: O_NONBLOCK on the shared one would reach whoever
    // shares it (the shell that started us).
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
      s.out = own;
      s.own_out = true;
    } else {
      s.small = true;
    }
  }
}

// Bytes the descriptor took, 0 when it takes none now, -1 when it is broken.
ssize_t put(const Sink& s, const char* p, std::size_t n) {
  if (s.small) {
    pollfd pf{s.out, POLLOUT, 0};
    if (::poll(&pf, 1, 0) != 1 || (pf.revents & POLLOUT) == 0) {
      return (pf.revents & (POLLERR | POLLNVAL)) != 0 ? -1 : 0;
    }
    n = std::min<std::size_t>(n, PIPE_BUF);
  }
  for (;;) {
    const ssize_t r =
        s.socket ? ::send(s.out, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(s.out, p, n);
    if (r >= 0) {
      return r;
    }
    if (errno == EAGAIN) {
      return 0;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

bool append(Sink& s, std::string_view text) {
  if (s.buf.size() - s.head + text.size() > s.capacity) {
    return false;
  }
  if (s.buf.size() + text.size() > s.capacity) {
    s.buf.erase(0, s.head); // what was written already
    s.head = 0;
  }
  s.buf.append(text);
  return true;
}

} // namespace

void log_text(std::string_view text) {
  Sink& s = sink();
  std::unique_lock lk(s.mu);
  if (!s.buffered) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return;
  }
  if (!append(s, text)) {
    ++s.dropped;
    ++s.dropped_total;
  }
  if (!s.signalled) {
    s.signalled = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(s.event_fd, &one, sizeof one);
  }
}

void buffer_log(int fd, std::string name, std::size_t capacity) {
  Sink& s = sink();
  std::lock_guard lk(s.mu);
  close_out(s);
  s.name = std::move(name);
  s.capacity = capacity;
  s.buf.clear();
  s.buf.reserve(capacity);
  s.head = 0;
  s.dropped = s.dropped_total = 0;
  s.signalled = false;
  s.event_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  s.out_buf.resize(kChunk);
  open_out(s, fd);
  s.buffered = true;
}

void direct_log() {
  Sink& s = sink();
  std::lock_guard lk(s.mu);
  s.buffered = false;
  close_out(s);
  s.buf.clear();
  s.head = 0;
}

int log_ready_fd() {
  Sink& s = sink();
  std::lock_guard lk(s.mu);
  return s.event_fd;
}

int log_out_fd() {
  Sink& s = sink();
  std::lock_guard lk(s.mu);
  return s.out;
}

bool write_log() {
  Sink& s = sink();
  std::unique_lock lk(s.mu);
  if (!s.buffered) {
    return false;
  }
  if (s.signalled) {
    s.signalled = false;
    std::uint64_t v = 0;
    [[maybe_unused]] const ssize_t r = ::read(s.event_fd, &v, sizeof v);
  }
  for (;;) {
    if (s.head == s.buf.size() && s.dropped > 0) {
      const std::string note = s.name + ": " + std::to_string(s.dropped) +
                               " messages dropped: nobody read them in time\n";
      if (append(s, note)) {
        s.dropped = 0;
      }
    }
    const std::size_t n = std::min(s.buf.size() - s.head, kChunk);
    if (n == 0) {
      return false;
    }
    std::copy_n(s.buf.data() + s.head, n, s.out_buf.data());
    lk.unlock();
    const ssize_t wrote = put(s, s.out_buf.data(), n);
    lk.lock();
    if (wrote < 0) {
      s.buf.clear(); // nobody will ever read it
      s.head = 0;
      return false;
    }
    if (wrote == 0) {
      return true;
    }
    s.head += static_cast<std::size_t>(wrote);
    if (s.head == s.buf.size()) {
      s.buf.clear();
      s.head = 0;
    }
  }
}

bool drain_log(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (write_log()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd pf{log_out_fd(), POLLOUT, 0};
    ::poll(&pf, 1, static_cast<int>(left.count()));
  }
  return true;
}

std::uint64_t log_dropped() {
  Sink& s = sink();
  std::lock_guard lk(s.mu);
  return s.dropped_total;
}

} // namespace kemu
