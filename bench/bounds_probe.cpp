#include "bounds_probe.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "child_process.h"
#include "port_access.h"
#include "proc_stats.h"
#include "qdev/qdev.h"
#include "qdev/wire.h"
#include "qdtest/child_guard.h"

namespace qdbench {

namespace {

constexpr uid_t kNobody = 65534;
constexpr auto kSettle = std::chrono::seconds(1);

struct OpenReport {
  int opened = 0;
  int error = 0;
  char failed_node[128] = {};
};

bool read_full(int fd, void* buf, std::size_t n, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  auto* p = static_cast<char*>(buf);
  std::size_t got = 0;
  while (got < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || stop_requested() ||
        ::poll(&pfd, 1, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR && !stop_requested()) {
        continue;
      }
      return false;
    }
    if ((pfd.revents & (POLLIN | POLLHUP)) == 0) {
      continue;
    }
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(r);
  }
  return true;
}

} // namespace

IdleConnections idle_connections(pid_t qdhost, const std::vector<std::string>& nodes, int count) {
  IdleConnections r;
  r.wanted = count;
  r.rss_before_kib = resident_kib(qdhost);
  r.threads_before = ThreadWatch(qdhost).threads();
  int report[2], release[2];
  if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
    r.error = std::string("pipe: ") + std::strerror(errno);
    return r;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = qdtest::fork_child();
  if (pid == 0) {
    ::close(report[0]);
    ::close(release[1]);
    if (::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        ::_exit(2);
      }
      qdtest::stay_with(parent); // the change of user cleared the parent-death signal
    }
    OpenReport rep;
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
      const std::string& node = nodes[static_cast<std::size_t>(i) % nodes.size()];
      const int fd = qdev::open(node.c_str(), O_RDWR | O_NDELAY);
      if (fd < 0) {
        rep.error = errno;
        std::strncpy(rep.failed_node, node.c_str(), sizeof rep.failed_node - 1);
        break;
      }
      fds.push_back(fd);
    }
    rep.opened = static_cast<int>(fds.size());
    (void)!::write(report[1], &rep, sizeof rep);
    char c;
    while (::read(release[0], &c, 1) < 0 && errno == EINTR) {
    }
    for (int fd : fds) {
      qdev::close(fd);
    }
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(release[0]);
  OpenReport rep;
  if (pid < 0) {
    r.error = std::string("fork: ") + std::strerror(errno);
  } else if (!read_full(report[0], &rep, sizeof rep, std::chrono::seconds(300))) {
    r.error = "the connecting process did not report (it runs as user 65534 under root: can "
              "it reach the device directory?)";
  } else {
    r.opened = rep.opened;
    if (rep.error != 0) {
      r.first_failure = std::string(rep.failed_node) + ": " + std::strerror(rep.error);
    }
    std::this_thread::sleep_for(kSettle);
    r.rss_after_kib = resident_kib(qdhost);
    r.threads_after = ThreadWatch(qdhost).threads();
    r.ok = true;
  }
  ::close(release[1]);
  ::close(report[0]);
  if (pid > 0) {
    const Ended e = wait_child(pid, std::chrono::seconds(300));
    if (r.ok && e.status != 0) {
      r.ok = false;
      r.error = "the connecting process ended with status " + std::to_string(e.status);
    }
  }
  return r;
}

namespace {

// A raw connection to a node, speaking the wire protocol itself so that it can queue
// requests without waiting for their results.
class RawConnection {
public:
  explicit RawConnection(const std::string& node) {
    const std::string path = qdev::node_socket_path(node.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd_ < 0 || path.empty() || path.size() >= sizeof addr.sun_path) {
      return;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawConnection() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  int fd() const { return fd_; }
  // Sends one request: 1 sent, 0 the socket would block, -1 failed.
  int send(qdev::wire::Op op, std::int64_t a, const void* payload, std::size_t len) {
    qdev::wire::Header h{};
    h.op = static_cast<std::uint32_t>(op);
    h.id = next_id_;
    h.a = a;
    iovec iov[2] = {{&h, sizeof h}, {const_cast<void*>(payload), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = len > 0 ? 2 : 1;
    const ssize_t n = ::sendmsg(fd_, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
    }
    ++next_id_;
    return 1;
  }
  // The result of the open (the first request), within the limit: its errno, or -1.
  int open_result() {
    pollfd p{fd_, POLLIN, 0};
    for (int tries = 0; tries < 100 && ::poll(&p, 1, 100) >= 0; ++tries) {
      if ((p.revents & POLLIN) == 0) {
        continue;
      }
      std::vector<char> buf(qdev::wire::kMaxPacket);
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n >= static_cast<ssize_t>(sizeof(qdev::wire::Header))) {
        qdev::wire::Header h;
        std::memcpy(&h, buf.data(), sizeof h);
        if (h.op == static_cast<std::uint32_t>(qdev::wire::Op::kResult)) {
          return h.error;
        }
      } else if (n <= 0) {
        return -1;
      }
    }
    return -1;
  }

private:
  int fd_ = -1;
  std::uint32_t next_id_ = 1;
};

} // namespace

QueuedWrites queued_writes(pid_t qdhost, const std::string& node, int count) {
  QueuedWrites r;
  r.wanted = count;
  r.request_bytes = qdev::wire::kMaxData;
  // Holds the port's settings (hardware flow control) while the raw connection works.
  const int holder = open_port_node(node, O_RDWR);
  if (holder < 0) {
    r.error = node + ": " + std::strerror(errno);
    return r;
  }
  {
    RawConnection conn(node);
    if (conn.fd() < 0) {
      r.error = node + ": cannot connect: " + std::strerror(errno);
      qdev::close(holder);
      return r;
    }
    using qdev::wire::Op;
    if (conn.send(Op::kOpen, qdev::wire::kFread | qdev::wire::kFwrite, nullptr, 0) != 1 ||
        conn.open_result() != 0) {
      r.error = node + ": the raw open failed";
      qdev::close(holder);
      return r;
    }
    for (int i = 0; i < 4; ++i) {
      conn.send(Op::kRead, 1, nullptr, 0);
    }
    r.rss_before_kib = resident_kib(qdhost);
    r.rss_peak_kib = r.rss_before_kib;
    const std::vector<char> payload(qdev::wire::kMaxData, 'q');
    auto last_progress = std::chrono::steady_clock::now();
    constexpr auto kStalled = std::chrono::seconds(3);
    while (r.sent < count && !stop_requested()) {
      const int s = conn.send(Op::kWrite, 0, payload.data(), payload.size());
      if (s < 0) {
        r.error = std::string("send: ") + std::strerror(errno);
        break;
      }
      if (s == 1) {
        ++r.sent;
        last_progress = std::chrono::steady_clock::now();
        if (r.sent % 16 == 0) {
          r.rss_peak_kib = std::max(r.rss_peak_kib, resident_kib(qdhost));
        }
        continue;
      }
      r.rss_peak_kib = std::max(r.rss_peak_kib, resident_kib(qdhost));
      if (std::chrono::steady_clock::now() - last_progress > kStalled) {
        r.held_off = true;
        break;
      }
      pollfd p{conn.fd(), POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
    std::this_thread::sleep_for(kSettle);
    r.rss_after_kib = resident_kib(qdhost);
    r.rss_peak_kib = std::max(r.rss_peak_kib, r.rss_after_kib);
    r.ok = r.error.empty();
  }
  qdev::close(holder);
  return r;
}

} // namespace qdbench
