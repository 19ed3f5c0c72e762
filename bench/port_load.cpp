#include "port_load.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "child_process.h"
#include "port_pattern.h"
#include "qdev/qdev.h"
#include "qdtest/child_guard.h"

namespace qdbench {

struct PortLoad::Report {
  enum Kind : std::uint32_t { kReady = 1, kDone, kFailed };
  enum Role : std::uint32_t { kWriter, kReader };
  std::uint32_t kind = 0;
  std::uint32_t role = 0;
  std::uint32_t port = 0;
  std::int32_t error = 0;
  std::uint64_t bytes = 0;
  std::uint64_t wrong = 0;
  std::int64_t end_ns = 0; // CLOCK_MONOTONIC
  double cpu_s = 0;
  std::uint64_t switches = 0;
  char what[64] = {};
};

namespace {

constexpr const char* kRoleNames[] = {"writer", "reader"};
constexpr unsigned kPerPort = 2; // processes

std::int64_t monotonic_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Usage own_usage() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return {sec(ru.ru_utime) + sec(ru.ru_stime),
          static_cast<std::uint64_t>(ru.ru_nvcsw + ru.ru_nivcsw)};
}

// Blocks until the pipe's writers have all closed it.
void await_close(int fd) {
  char c;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) {
      return;
    }
  }
}

} // namespace

PortLoad::PortLoad(LoadOptions options, PortAccess access)
    : options_(options), access_(std::move(access)) {}

PortLoad::~PortLoad() {
  for (pid_t pid : children_) {
    qdtest::end_child(pid);
    ::waitpid(pid, nullptr, 0);
  }
  for (int fd : {report_r_, report_w_, go_r_, go_w_, release_r_, release_w_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

void PortLoad::fail(std::string why) {
  if (error_.empty()) {
    error_ = std::move(why);
  }
}

bool PortLoad::start() {
  static_assert(sizeof(Report) <= PIPE_BUF, "a report must reach the pipe whole");
  int fds[2];
  for (auto [r, w] : {std::pair{&report_r_, &report_w_}, std::pair{&go_r_, &go_w_},
                      std::pair{&release_r_, &release_w_}}) {
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      fail(std::string("pipe: ") + std::strerror(errno));
      return false;
    }
    *r = fds[0];
    *w = fds[1];
  }
  for (unsigned port = 0; port < options_.ports; ++port) {
    const pid_t pid = qdtest::fork_child();
    if (pid == 0) {
      port_process(port); // never returns
    }
    if (pid < 0) {
      fail(std::string("fork: ") + std::strerror(errno));
      return false;
    }
    children_.push_back(pid);
  }
  std::vector<Report> ready;
  return collect(static_cast<std::size_t>(options_.ports) * kPerPort, ready,
                 std::chrono::seconds(60));
}

// Reads `count` reports; a failure report or the limit ends it with false.
bool PortLoad::collect(std::size_t count, std::vector<Report>& out,
                       std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (stop_requested()) {
      fail("interrupted");
      return false;
    }
    if (left.count() <= 0) {
      fail(std::to_string(count - out.size()) + " of " + std::to_string(count) +
           " client processes did not report within " + std::to_string(limit.count()) + " ms");
      return false;
    }
    pollfd p{report_r_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 1000))) <= 0) {
      continue;
    }
    Report r;
    const ssize_t n = ::read(report_r_, &r, sizeof r);
    if (n != static_cast<ssize_t>(sizeof r)) {
      continue;
    }
    if (r.kind == Report::kFailed) {
      fail("port " + std::to_string(r.port) + ", " + kRoleNames[r.role] + ": " + r.what + ": " +
           std::strerror(r.error));
      return false;
    }
    out.push_back(r);
  }
  return true;
}

bool PortLoad::run(LoadResult& result, const std::function<void()>& at_start,
                   const std::function<void()>& at_end) {
  at_start();
  const std::int64_t start_ns = monotonic_ns();
  ::close(go_w_);
  go_w_ = -1;
  std::vector<Report> done;
  const bool all =
      collect(static_cast<std::size_t>(options_.ports) * kPerPort, done, options_.limit);
  at_end();
  result.processes = static_cast<unsigned>(children_.size()) * kPerPort;
  for (const Report& r : done) {
    const double took = static_cast<double>(r.end_ns - start_ns) / 1e9;
    if (r.role == Report::kWriter) {
      result.written += r.bytes;
      result.write_s = std::max(result.write_s, took);
    } else if (r.role == Report::kReader) {
      result.read += r.bytes;
      result.wrong += r.wrong;
      result.read_s = std::max(result.read_s, took);
    }
    result.moving.cpu_s += r.cpu_s;
    result.moving.switches += r.switches;
    if (r.error != 0) {
      fail("port " + std::to_string(r.port) + ", " + kRoleNames[r.role] + ": " +
           std::strerror(r.error));
    }
  }
  const std::uint64_t expected = static_cast<std::uint64_t>(options_.ports) * options_.bytes;
  if (all && (result.written != expected || result.read != expected || result.wrong != 0)) {
    fail(std::to_string(result.written) + " bytes written, " + std::to_string(result.read) +
         " read back of " + std::to_string(expected) + ", " + std::to_string(result.wrong) +
         " reads wrong");
    return false;
  }
  return all;
}

void PortLoad::finish(LoadResult& result) {
  if (release_w_ >= 0) {
    ::close(release_w_);
    release_w_ = -1;
  }
  for (pid_t pid : children_) {
    const Ended e = wait_child(pid, std::chrono::seconds(60));
    auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    result.lifetime.cpu_s += sec(e.usage.ru_utime) + sec(e.usage.ru_stime);
    result.lifetime.switches += static_cast<std::uint64_t>(e.usage.ru_nvcsw + e.usage.ru_nivcsw);
    if (e.status != 0) {
      fail("a client process ended with status " + std::to_string(e.status) + ", signal " +
           std::to_string(e.signal));
    }
  }
  children_.clear();
}

// ---- In the port's processes ----------------------------------------------------------------

void PortLoad::port_process(unsigned port) {
  ::close(go_w_);
  ::close(release_w_);
  ::close(report_r_);
  const pid_t port_pid = ::getpid();
  auto send = [&](Report r) {
    r.port = port;
    while (::write(report_w_, &r, sizeof r) < 0 && errno == EINTR) {
    }
  };
  auto failed = [&](Report::Role role, const char* what, int err) {
    Report r;
    r.kind = Report::kFailed;
    r.role = role;
    r.error = err;
    std::strncpy(r.what, what, sizeof r.what - 1);
    send(r);
    ::_exit(1);
  };
  // Ready, the go, the work, its report, then the descriptors stay open until released.
  auto serve = [&](Report::Role role, int fd, auto&& work) {
    Report ready;
    ready.kind = Report::kReady;
    ready.role = role;
    send(ready);
    await_close(go_r_);
    const Usage before = own_usage();
    Report done;
    done.kind = Report::kDone;
    done.role = role;
    work(done);
    done.end_ns = monotonic_ns();
    const Usage after = own_usage();
    done.cpu_s = after.cpu_s - before.cpu_s;
    done.switches = after.switches - before.switches;
    send(done);
    await_close(release_r_);
    if (fd >= 0) {
      qdev::close(fd);
    }
  };

  if (const int err = access_.prepare(port); err != 0) {
    failed(Report::kWriter, "prepare", err);
  }
  const pid_t reader = ::fork();
  if (reader == 0) {
    qdtest::stay_with(port_pid);
    const int fd = access_.open_reader(port);
    if (fd < 0) {
      failed(Report::kReader, "open", errno);
    }
    const std::vector<std::byte> pat = port_pattern(port);
    std::vector<std::byte> buf(options_.chunk);
    serve(Report::kReader, fd, [&](Report& r) {
      while (r.bytes < options_.bytes) {
        const ssize_t n =
            qdev::read(fd, buf.data(), std::min(buf.size(), options_.bytes - r.bytes));
        if (n <= 0) {
          r.error = n < 0 ? errno : EIO;
          return;
        }
        const auto got = static_cast<std::size_t>(n);
        const std::size_t at = r.bytes % pat.size();
        const std::size_t first = std::min(got, pat.size() - at);
        r.wrong += std::memcmp(buf.data(), pat.data() + at, first) != 0 ||
                   std::memcmp(buf.data() + first, pat.data(), got - first) != 0;
        r.bytes += got;
      }
    });
    ::_exit(0);
  }

  const int fd = access_.open_writer(port);
  if (fd < 0) {
    failed(Report::kWriter, "open", errno);
  }
  const std::vector<std::byte> pat = port_pattern(port);
  serve(Report::kWriter, fd, [&](Report& r) {
    while (r.bytes < options_.bytes) {
      const std::size_t at = r.bytes % pat.size();
      const std::size_t n = std::min({options_.chunk, options_.bytes - r.bytes, pat.size() - at});
      const ssize_t w = qdev::write(fd, pat.data() + at, n);
      if (w <= 0) {
        r.error = w < 0 ? errno : EIO;
        return;
      }
      r.bytes += static_cast<std::size_t>(w);
    }
  });
  int status = 0;
  while (::waitpid(reader, &status, 0) < 0 && errno == EINTR) {
  }
  ::_exit(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1);
}

} // namespace qdbench
