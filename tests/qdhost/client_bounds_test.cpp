// What clients cannot make the server do: grow with the requests one of them queues, hold a
// host thread while they wait in the kernel, or spin when no more of them can be taken in.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "served.h"

#include "qdev/wire.h"
#include "qdhost/loop_codes.h"
#include "qdhost/node_server.h"
#include "qdtest/child_wait.h"

namespace {

namespace loop = qdhost::loop;
namespace wire = qdev::wire;

// The bound a connection's held requests and replies may reach: the server's, plus the one
// packet that takes it past.
constexpr std::size_t kHeldBound = 256 * 1024 + wire::kMaxPacket;
// Requests read and not yet answered, past which the server reads no more.
constexpr std::uint32_t kHeldRequests = 16;

// A program's socket, spoken to without the device access library.
class RawClient {
public:
  explicit RawClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    int size = wire::kSocketBuffer;
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sa_.sun_family = AF_UNIX;
    std::strncpy(sa_.sun_path, path.c_str(), sizeof sa_.sun_path - 1);
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connect() { return ::connect(fd_, reinterpret_cast<sockaddr*>(&sa_), sizeof sa_) == 0; }
  void close() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  // False when the socket takes no more now (flags MSG_DONTWAIT) or is broken.
  bool send(wire::Op op, std::uint32_t id, std::int64_t a = 0, std::size_t payload = 0,
            int flags = 0) {
    wire::Header h{};
    h.op = static_cast<std::uint32_t>(op);
    h.id = id;
    h.a = a;
    std::vector<std::byte> packet(sizeof h + payload, std::byte{'x'});
    std::memcpy(packet.data(), &h, sizeof h);
    return ::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL | flags) ==
           static_cast<ssize_t>(packet.size());
  }
  // The next result (readiness notices skipped); op 0 at the end of the conversation or
  // when none comes within the bound.
  wire::Header result() {
    std::vector<std::byte> buf(wire::kMaxPacket);
    for (;;) {
      pollfd pf{fd_, POLLIN, 0};
      if (::poll(&pf, 1, static_cast<int>(hosttest::kLimit.count())) != 1) {
        ADD_FAILURE() << "no answer within the bound";
        return {};
      }
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      wire::Header h{};
      if (n >= static_cast<ssize_t>(sizeof h)) {
        std::memcpy(&h, buf.data(), sizeof h);
        return h;
      }
      if (n != 1) {
        return {};
      }
    }
  }
  bool open() {
    return send(wire::Op::kOpen, 1, wire::kFread | wire::kFwrite) && result().error == 0;
  }

private:
  int fd_ = -1;
  sockaddr_un sa_{};
};

std::size_t host_threads() {
  return qdtest::dir_entries("/proc/self/task").size();
}

class ClientBounds : public hosttest::Served {
protected:
  qdhost::NodeServerStats stats() const { return server_->stats(); }
  std::string echo() const { return node(loop::kEchoNode); }
};

TEST_F(ClientBounds, AClientQueueingWithoutEndIsNoLongerReadAndHoldsNoMore) {
  RawClient c(echo());
  ASSERT_TRUE(c.connect());
  ASSERT_TRUE(c.open());
  // Reads that wait take every place in the kernel; the writes behind them queue, until the
  // server stops reading the socket and it fills.
  for (std::uint32_t id = 2; id < 6; ++id) {
    ASSERT_TRUE(c.send(wire::Op::kRead, id, 1));
  }
  ASSERT_TRUE(await([&] { return calls() == 4; }, "the reads to wait"));
  std::uint32_t sent = 0;
  while (sent < 1000 && c.send(wire::Op::kWrite, 6 + sent, 0, wire::kMaxData, MSG_DONTWAIT)) {
    ++sent;
  }
  ASSERT_LT(sent, 1000u) << "the socket kept taking requests";
  ASSERT_TRUE(await([&] { return stats().paused == 1; }, "the server to stop reading"));
  EXPECT_LE(stats().held_peak, kHeldBound);
  EXPECT_GE(stats().held_peak, 256u * 1024) << "held up to its bound";
  c.close();
  EXPECT_TRUE(await([&] { return connections() == 0 && calls() == 0; }, "the connection's end"));
  EXPECT_EQ(stats().paused, 0u);
}

// Small requests reach the count bound long before the byte bound.
TEST_F(ClientBounds, SixteenUnansweredRequestsStopTheReading) {
  RawClient c(echo());
  ASSERT_TRUE(c.connect());
  ASSERT_TRUE(c.open());
  for (std::uint32_t id = 2; id < 2 + kHeldRequests; ++id) {
    ASSERT_TRUE(c.send(wire::Op::kRead, id, 1)); // nothing to read: each waits
  }
  EXPECT_TRUE(await([&] { return stats().paused == 1; }, "the server to stop reading"));
  c.close();
  EXPECT_TRUE(await([&] { return connections() == 0 && calls() == 0; }, "the connection's end"));
}

TEST_F(ClientBounds, ClientsWaitingInTheKernelHoldNoHostThread) {
  const std::size_t before = host_threads();
  std::vector<std::unique_ptr<RawClient>> clients;
  for (std::uint32_t i = 0; i < 32; ++i) {
    auto& c = clients.emplace_back(std::make_unique<RawClient>(echo()));
    ASSERT_TRUE(c->connect());
    ASSERT_TRUE(c->open());
    ASSERT_TRUE(c->send(wire::Op::kRead, 2, 1)); // nothing to read: it waits
  }
  ASSERT_TRUE(await([&] { return calls() == clients.size(); }, "every read to wait"));
  EXPECT_EQ(host_threads(), before);
  clients.clear();
  EXPECT_TRUE(await([&] { return connections() == 0; }, "the connections' end"));
}

// A second server on the same kernel, with its own limit and a log the test reads.
class Limited : public hosttest::Served {
protected:
  void serve(std::size_t max_connections) {
    qdhost::NodeServerOptions o{other_.path()};
    o.max_connections = max_connections;
    o.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lk(mu_);
      log_.push_back(line);
    };
    limited_ = std::make_unique<qdhost::NodeServer>(*kernel_, *ddi_, o);
    ASSERT_EQ(limited_->start(), 0) << limited_->error();
  }
  void TearDown() override {
    limited_.reset();
    Served::TearDown();
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lk(mu_);
    return log_;
  }
  std::string echo() const { return other_ / loop::kEchoNode; }
  bool wait(const std::function<bool()>& pred) {
    return limited_->wait_for(pred, hosttest::kLimit);
  }
  // A refused client's socket ends without an answer.
  static bool refused(RawClient& c) {
    c.send(wire::Op::kStat, 1);
    return c.result().op == 0;
  }
  static bool served(RawClient& c) {
    return c.send(wire::Op::kStat, 1) &&
           c.result().op == static_cast<std::uint32_t>(wire::Op::kResult);
  }

  hosttest::TempDir other_;
  std::unique_ptr<qdhost::NodeServer> limited_;
  std::mutex mu_;
  std::vector<std::string> log_;
};

TEST_F(Limited, PastTheConnectionLimitNewClientsAreRefusedUntilOneLeaves) {
  serve(2);
  RawClient a(echo()), b(echo()), c(echo()), d(echo()), e(echo());
  ASSERT_TRUE(a.connect() && b.connect());
  ASSERT_TRUE(wait([&] { return limited_->connection_count() == 2; }));
  ASSERT_TRUE(c.connect() && d.connect());
  EXPECT_TRUE(refused(c));
  EXPECT_TRUE(refused(d));
  EXPECT_EQ(limited_->stats().refused, 2u);
  ASSERT_EQ(log().size(), 1u) << "said once";
  EXPECT_NE(log()[0].find("connection limit (2)"), std::string::npos) << log()[0];
  EXPECT_TRUE(served(a));
  a.close();
  ASSERT_TRUE(wait([&] { return limited_->connection_count() == 1; }));
  ASSERT_TRUE(e.connect());
  EXPECT_TRUE(served(e));
}

// While the process has no descriptor left, a client that connects is refused at once: the
// listener does not stay readable (which would spin the CPU thread), and once descriptors
// are free again clients are served.
TEST_F(Limited, OutOfDescriptorsNewClientsAreRefusedWithoutASpin) {
  serve(100);
  // One client served first, and kept (a connection that ended could free its descriptor
  // at any moment below): the sanitizers' type check needs a descriptor of its own the
  // first time it meets the server's types, and none is left below.
  RawClient first(echo());
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(served(first));
  constexpr int kClients = 3;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<RawClient>(echo()));
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  for (const std::string& name : qdtest::dir_entries("/proc/self/fd")) {
    highest = std::max(highest, std::stoi(name));
  }
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(highest) + 16;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::dup(0)) >= 0;) {
    fillers.push_back(fd);
  }
  const auto wakeups = limited_->stats().wakeups;
  bool all_refused = true;
  for (auto& c : clients) {
    all_refused = c->connect() && refused(*c) && all_refused;
  }
  const auto woken = limited_->stats().wakeups - wakeups;
  for (int fd : fillers) {
    ::close(fd);
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(all_refused);
  EXPECT_LE(woken, 2u * kClients) << "a wake-up or two per client, not a spin";
  EXPECT_EQ(limited_->stats().refused, static_cast<std::uint64_t>(kClients));
  ASSERT_EQ(log().size(), 1u) << "said once";
  EXPECT_NE(log()[0].find(std::strerror(EMFILE)), std::string::npos) << log()[0];
  RawClient after(echo());
  ASSERT_TRUE(after.connect());
  EXPECT_TRUE(served(after));
}

// A client that connects and leaves again and again cannot make the server log at will;
// what is left out is counted in the next line.
TEST_F(Limited, RefusalsAreToldAtMostOnceASecond) {
  serve(1);
  const auto cycle = [&] {
    RawClient a(echo()), b(echo());
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(wait([&] { return limited_->connection_count() == 1; }));
    ASSERT_TRUE(b.connect());
    ASSERT_TRUE(refused(b));
    a.close();
    ASSERT_TRUE(wait([&] { return limited_->connection_count() == 0; }));
  };
  constexpr std::size_t kCycles = 40;
  const clock_t from = kernel_->lbolt();
  for (std::size_t i = 0; i < kCycles; ++i) {
    cycle();
  }
  const auto seconds = static_cast<std::size_t>((kernel_->lbolt() - from) / hz);
  EXPECT_LE(log().size(), 1 + seconds) << "in " << seconds << " s of the kernel's clock";
  // A second later the next one is told, with the count of those not told since the last.
  EXPECT_FALSE(kernel_->run_until([] { return false; }, hz));
  cycle();
  std::size_t accounted = 0;
  for (const std::string& line : log()) {
    ++accounted;
    const std::size_t at = line.find(" more such messages left out)");
    if (at != std::string::npos) {
      accounted += std::stoul(line.substr(line.rfind('(', at) + 1));
    }
  }
  EXPECT_EQ(accounted, kCycles + 1);
  EXPECT_EQ(limited_->stats().refused, kCycles + 1);
}

} // namespace
