#include "fakes.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kvtest {

// ---- VirtualClock ---------------------------------------------------------------------

void VirtualClock::run_until(std::time_t until) {
  while (!events_.empty() && events_.begin()->first <= until) {
    auto node = events_.extract(events_.begin());
    t_ = std::max(t_, node.key());
    node.mapped()();
  }
}

int VirtualClock::wait_readable(int nfds, fd_set* readable, int seconds) {
  waits.push_back(seconds);
  if (--budget <= 0) {
    stop = 1;
    errno = EINTR;
    return -1;
  }
  const std::time_t deadline = t_ + seconds;
  for (;;) {
    fd_set ready = *readable;
    timeval zero{};
    const int n = ::select(nfds, &ready, nullptr, nullptr, &zero);
    if (n != 0) {
      if (n > 0) {
        *readable = ready;
      }
      return n;
    }
    if (events_.empty() || events_.begin()->first > deadline) {
      t_ = deadline;
      FD_ZERO(readable);
      return 0;
    }
    auto node = events_.extract(events_.begin());
    t_ = std::max(t_, node.key());
    node.mapped()();
  }
}

void VirtualClock::pause(int seconds) {
  pauses.push_back(seconds);
  if (--budget <= 0) {
    stop = 1;
    return;
  }
  const std::time_t until = t_ + seconds;
  run_until(until);
  t_ = until;
}

void VirtualClock::at(int seconds_from_start, std::function<void()> fn) {
  events_.emplace(kStart + seconds_from_start, std::move(fn));
}

// ---- Pairs ----------------------------------------------------------------------------

Pair::Pair(int type) {
  int fds[2];
  if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) {
    ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    return;
  }
  near = fds[0];
  far = fds[1];
}

Pair::~Pair() {
  close_near();
  close_far();
}

void Pair::close_near() {
  if (near >= 0) {
    ::close(near);
    near = -1;
  }
}

void Pair::close_far() {
  if (far >= 0) {
    ::close(far);
    far = -1;
  }
}

std::string drain(int fd) {
  std::string out;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) {
      return out;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
}

void put(int fd, const std::string& text) {
  const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  ASSERT_EQ(n, static_cast<ssize_t>(text.size())) << std::strerror(errno);
}

// ---- FakeUnitNode ---------------------------------------------------------------------

namespace {

int fail(int err) {
  errno = err;
  return -1;
}

int next_error(std::deque<int>& q) {
  if (q.empty()) {
    return 0;
  }
  const int e = q.front();
  q.pop_front();
  return e;
}

const char* request_name(unsigned cmd) {
  switch (cmd) {
  case VRNGETUPTR:
    return "VRNGETUPTR";
  case VRNSETUPTR:
    return "VRNSETUPTR";
  case VRNONLINE:
    return "VRNONLINE";
  case VRNOFFLINE:
    return "VRNOFFLINE";
  default:
    return "other";
  }
}

} // namespace

FakeUnitNode::FakeUnitNode() : pair(SOCK_SEQPACKET) {
  std::strcpy(description.model_name, "Lanvara8S-115A");
  std::strcpy(description.fw_version, "V5.1");
  description.net_addr = htonl(0x7f000005); // 127.0.0.5
}

int FakeUnitNode::open(const std::string& path) {
  calls.push_back("open " + path);
  if (open_error != 0) {
    return fail(open_error);
  }
  open_ = true;
  return 0;
}

ssize_t FakeUnitNode::read(void* buf, std::size_t n) {
  if (read_error != 0) {
    return fail(read_error);
  }
  return ::recv(pair.near, buf, n, 0);
}

ssize_t FakeUnitNode::write(const void* buf, std::size_t n) {
  if (write_error != 0) {
    return fail(write_error);
  }
  return ::send(pair.near, buf, n, MSG_NOSIGNAL);
}

int FakeUnitNode::pop() {
  calls.push_back("pop");
  const int e = next_error(pop_errors);
  return e != 0 ? fail(e) : 0;
}

int FakeUnitNode::request(unsigned cmd, void* data, int len) {
  calls.push_back(request_name(cmd));
  if (const int e = next_error(request_errors[cmd]); e != 0) {
    return fail(e);
  }
  switch (cmd) {
  case VRNGETUPTR:
    EXPECT_EQ(len, static_cast<int>(sizeof description));
    std::memcpy(data, &description, sizeof description);
    return 0;
  case VRNSETUPTR:
    EXPECT_EQ(len, static_cast<int>(sizeof description));
    std::memcpy(&description, data, sizeof description);
    set_records.push_back(description);
    return 0;
  case VRNONLINE:
  case VRNOFFLINE:
    EXPECT_EQ(len, 0);
    if (online == (cmd == VRNONLINE)) {
      return fail(EINVAL);
    }
    online = cmd == VRNONLINE;
    return 0;
  default:
    return fail(ENXIO);
  }
}

void FakeUnitNode::close() {
  calls.push_back("close");
  open_ = false;
}

std::vector<std::string> FakeUnitNode::requests() const {
  std::vector<std::string> out;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
               [](const std::string& c) { return c.rfind("VRN", 0) == 0; });
  return out;
}

// ---- ScriptedConnector ----------------------------------------------------------------

int ScriptedConnector::connect(in_addr_t addr, const qdnet::VrnReporter& report,
                               qdnet::VrnInquiry* inquiry) {
  addresses.push_back(addr);
  Attempt a = refused();
  if (!script.empty()) {
    a = script.front();
    script.pop_front();
  }
  if (!a.ok) {
    for (const auto e : a.events) {
      errno = a.error;
      report(e, {});
    }
    errno = a.error;
    return -1;
  }
  for (const auto e : {qdnet::VrnEvent::connected, qdnet::VrnEvent::unlock_ok,
                       qdnet::VrnEvent::inquiry_ok, qdnet::VrnEvent::data_ok}) {
    report(e, {});
  }
  *inquiry = a.inquiry;
  modules.push_back(std::make_unique<Pair>(SOCK_STREAM));
  const int fd = std::exchange(modules.back()->near, -1); // the daemon closes its end
  if (on_connect) {
    on_connect(*modules.back());
  }
  return fd;
}

// ---- CapturedLog ----------------------------------------------------------------------

CapturedLog::CapturedLog(kvetherd::Clock& clock)
    : file_(::open_memstream(&buf_, &len_)), logger_(file_, sink_, [&clock] {
        const std::time_t t = clock.now();
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        return tm;
      }) {}

CapturedLog::~CapturedLog() {
  std::fclose(file_);
  std::free(buf_);
}

std::string CapturedLog::text() {
  std::fflush(file_);
  return std::string(buf_, len_);
}

std::vector<std::string> CapturedLog::lines() {
  std::vector<std::string> out;
  const std::string all = text();
  std::size_t at = 0;
  while (at < all.size()) {
    const std::size_t nl = all.find('\n', at);
    std::string line = all.substr(at, nl - at);
    // "MM/DD/YY hh:mm:ss: " with a year of two or three digits.
    const std::size_t stamp = line.find(": ");
    out.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
    if (nl == std::string::npos) {
      break;
    }
    at = nl + 1;
  }
  return out;
}

} // namespace kvtest
