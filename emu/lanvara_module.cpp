#include "qdemu/lanvara_module.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "fas.h"
#include "qmx_unittab.h"

namespace qdemu {
namespace {

constexpr std::size_t kReadChunk = 4096;

struct Rule {
  std::uint8_t opcode;
  AnswerFault fault;
  std::vector<std::uint8_t> bytes;
  int times;
};

// What the engine side hands to the I/O thread; `conn` names the connection it belongs to.
struct OutItem {
  std::uint64_t conn;
  std::vector<std::uint8_t> bytes;
  bool close_after;
};

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace

// State shared by the I/O thread, the engine side and the test's thread.
struct LanvaraModule::Shared {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  ModuleStats stats;
  std::deque<OutItem> outbox;
  bool silent = false;
  bool drop = false;
  bool stopping = false;
  std::size_t split = 0;
  std::vector<Rule> rules;
  int wake_fd = -1;
  // Buffers that have done their work (answers written, bytes read and fed), kept for the
  // next ones so that traffic stops calling the heap.
  std::vector<std::vector<std::uint8_t>> spare;

  std::vector<std::uint8_t> take_spare() {
    std::lock_guard lock(mutex);
    if (spare.empty()) {
      return {};
    }
    std::vector<std::uint8_t> v = std::move(spare.back());
    spare.pop_back();
    v.clear();
    return v;
  }
  void give_spare(std::vector<std::uint8_t> v) {
    constexpr std::size_t kSpares = 64;
    std::lock_guard lock(mutex);
    if (spare.size() < kSpares && v.capacity() != 0) {
      spare.push_back(std::move(v));
    }
  }

  void wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd, &one, sizeof one);
  }
  // Runs fn under the lock, then tells the watchers.
  template <class F> void update(F&& fn) {
    {
      std::lock_guard lock(mutex);
      fn();
    }
    changed.notify_all();
  }
};

// The engine and what only the engine side touches; kept alive by every posted call, so
// that work still queued when the module goes finds it.
struct LanvaraModule::Core {
  Core(EngineHost& host, const qd_unitinfo& model, const UnitOptions& unit,
       std::shared_ptr<Shared> shared)
      : engine(host.clock(), model, unit), shared(std::move(shared)) {
    engine.set_listener([this](Notice n) { notice(n); });
  }

  void notice(Notice n) {
    if (conn == 0) {
      return;
    }
    std::vector<std::uint8_t> bytes = shared->take_spare();
    engine.take_answers_into(static_cast<std::size_t>(-1), bytes);
    const bool close = n != Notice::answers_ready;
    if (bytes.empty() && !close) {
      shared->give_spare(std::move(bytes));
      return;
    }
    shared->update([&] {
      shared->stats.unlock_failures = engine.stats().unlock_failures;
      if (n == Notice::unit_reset) {
        ++shared->stats.resets;
      }
      shared->outbox.push_back({conn, std::move(bytes), close});
    });
    shared->wake();
    if (close) {
      conn = 0; // nothing more for this connection
    }
  }

  Engine engine;
  std::shared_ptr<Shared> shared;
  std::uint64_t conn = 0;
};

// The I/O thread's own state.
struct LanvaraModule::Io {
  int listen_fd = -1;
  int conn_fd = -1;
  std::uint64_t conn = 0;
  std::uint64_t last_conn = 0;
  std::deque<std::vector<std::uint8_t>> pending; // one write each
  bool close_after = false;
  in_addr_t address = 0;
  std::uint16_t port = 0;
  std::thread thread; // unless the host watches the descriptors

  // The host's watch callbacks, when it has them (the kernel's CPU thread). Each holds `mu`
  // while it runs; once stop() has set `stopping` under it, they touch nothing, so the
  // watches stop() then takes away stay the ones it saw.
  struct Callback final : kemu::HostWatcher {
    Callback(LanvaraModule* m, void (*fn)(LanvaraModule&, unsigned)) : module(m), on(fn) {}
    void ready(unsigned events) override {
      Io& io = *module->io_;
      std::lock_guard lock(io.mu);
      if (!io.stopping) {
        on(*module, events);
      }
    }
    LanvaraModule* module;
    void (*on)(LanvaraModule&, unsigned);
  };
  bool watched = false; // the host watches the descriptors (else `thread` does)
  std::mutex mu;
  bool stopping = false;
  Callback on_wake, on_listen, on_conn;
  kemu::HostWatch wake_watch, listen_watch, conn_watch; // last, so that they go first
  explicit Io(LanvaraModule* m)
      : on_wake(m, [](LanvaraModule& mod, unsigned) { mod.on_wake(); }),
        on_listen(m, [](LanvaraModule& mod, unsigned) { mod.on_accept(); }),
        on_conn(m, [](LanvaraModule& mod, unsigned ev) { mod.on_conn(ev); }) {}
};

LanvaraModule::LanvaraModule(EngineHost& host, LanvaraOptions options)
    : host_(host), options_(std::move(options)), shared_(std::make_shared<Shared>()),
      io_(std::make_unique<Io>(this)) {}

LanvaraModule::~LanvaraModule() {
  stop();
  // The engine goes where its calls run.
  if (core_) {
    host_.post([core = std::move(core_)]() mutable { core.reset(); });
  }
}

int LanvaraModule::start() {
  in_addr a{};
  if (::inet_pton(AF_INET, options_.address.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) {
    return EINVAL;
  }
  const qd_unitinfo* model = qdm_get_unitinfo(options_.model.c_str());
  if (model == nullptr || (model->flags & QDM_LANVARA) == 0) {
    return EINVAL;
  }
  if (!core_) {
    core_ = std::make_shared<Core>(host_, *model, options_.unit, shared_);
  }
  Io& io = *io_;
  io.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (io.listen_fd < 0) {
    return errno;
  }
  const int on = 1;
  ::setsockopt(io.listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(options_.port);
  sa.sin_addr = a;
  socklen_t len = sizeof sa;
  if (::bind(io.listen_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
      ::listen(io.listen_fd, 4) < 0 ||
      ::getsockname(io.listen_fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
    const int err = errno;
    close_fd(io.listen_fd);
    return err;
  }
  io.address = a.s_addr;
  io.port = ntohs(sa.sin_port);
  shared_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (shared_->wake_fd < 0) {
    const int err = errno;
    close_fd(io.listen_fd);
    return err;
  }
  shared_->stopping = false;
  io.stopping = false;
  // On the kernel's real clock its CPU's thread does the I/O; else a thread of our own.
  // Told before the first callback can run: they read it.
  io.wake_watch = host_.watch(shared_->wake_fd, &io.on_wake);
  io.listen_watch = host_.watch(io.listen_fd, &io.on_listen);
  io.watched = io.wake_watch && io.listen_watch;
  if (io.watched && !(io.wake_watch.want(EPOLLIN) && io.listen_watch.want(EPOLLIN))) {
    io.wake_watch = {};
    io.listen_watch = {};
    io.watched = false; // no callback runs any more
  }
  if (!io.watched) {
    io.thread = std::thread([this] { run(); });
  }
  return 0;
}

void LanvaraModule::stop() {
  Io& io = *io_;
  if (io.watched) {
    {
      std::lock_guard lock(io.mu);
      io.stopping = true;
    }
    // Once unwatched, no callback runs or will run: the rest is ours.
    io.wake_watch = {};
    io.listen_watch = {};
    io.conn_watch = {};
    io.watched = false;
  } else if (io.thread.joinable()) {
    shared_->update([&] { shared_->stopping = true; });
    shared_->wake();
    io.thread.join();
  } else {
    return;
  }
  close_fd(io_->conn_fd);
  close_fd(io_->listen_fd);
  close_fd(shared_->wake_fd);
  shared_->update([&] { shared_->stats.connected = false; });
}

in_addr_t LanvaraModule::address() const {
  return io_->address;
}

std::uint16_t LanvaraModule::port() const {
  return io_->port;
}

void LanvaraModule::set_silent(bool on) {
  shared_->update([&] { shared_->silent = on; });
}

void LanvaraModule::drop() {
  shared_->update([&] { shared_->drop = true; });
  shared_->wake();
}

void LanvaraModule::set_split(std::size_t piece) {
  shared_->update([&] { shared_->split = piece; });
}

void LanvaraModule::on_answer(std::uint8_t opcode, AnswerFault fault,
                              std::vector<std::uint8_t> bytes, int times) {
  shared_->update([&] { shared_->rules.push_back({opcode, fault, std::move(bytes), times}); });
}

void LanvaraModule::clear_faults() {
  shared_->update([&] {
    shared_->rules.clear();
    shared_->silent = false;
    shared_->split = 0;
  });
}

void LanvaraModule::with_engine(std::function<void(Engine&)> fn) {
  if (!core_) {
    const qd_unitinfo* model = qdm_get_unitinfo(options_.model.c_str());
    if (model == nullptr) {
      return;
    }
    core_ = std::make_shared<Core>(host_, *model, options_.unit, shared_);
  }
  host_.post([core = core_, fn = std::move(fn)] { fn(core->engine); });
}

void LanvaraModule::attach(unsigned line, std::shared_ptr<FarEnd> far_end) {
  with_engine([line, far_end = std::move(far_end)](Engine& e) { e.attach(line, far_end); });
}

ModuleStats LanvaraModule::stats() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->stats;
}

bool LanvaraModule::wait_for(const std::function<bool(const ModuleStats&)>& pred,
                             std::chrono::milliseconds limit) const {
  std::unique_lock lock(shared_->mutex);
  return shared_->changed.wait_for(lock, limit, [&] { return pred(shared_->stats); });
}

// ---- The I/O thread ----------------------------------------------------------------------

namespace {

// Splits answer bytes into whole answers (a malformed last one runs to the end).
std::vector<std::span<const std::uint8_t>> answer_items(const std::vector<std::uint8_t>& b) {
  std::vector<std::span<const std::uint8_t>> items;
  std::size_t at = 0;
  while (at < b.size()) {
    std::size_t len = b.size() - at;
    if (len >= static_cast<std::size_t>(FAS_HDR_SIZE) || b[at] == PKT_END) {
      len = std::min(len, static_cast<std::size_t>(size_faspkt(&b[at], 1)));
    }
    items.emplace_back(b.data() + at, len);
    at += len;
  }
  return items;
}

} // namespace

void LanvaraModule::take_outbox() {
  Io& io = *io_;
  Shared& sh = *shared_;
  std::lock_guard lock(sh.mutex);
  while (!sh.outbox.empty()) {
    OutItem item = std::move(sh.outbox.front());
    sh.outbox.pop_front();
    if (item.conn != io.conn || io.close_after) {
      continue;
    }
    if (!sh.silent && sh.rules.empty() && sh.split == 0) {
      // No fault to meet: the answers go out as they are, in one write.
      if (!item.bytes.empty()) {
        io.pending.push_back(std::move(item.bytes));
      }
      io.close_after = io.close_after || item.close_after;
      continue;
    }
    std::vector<std::uint8_t> out;
    bool close = item.close_after;
    for (std::span<const std::uint8_t> answer : answer_items(item.bytes)) {
      if (sh.silent) {
        break;
      }
      auto rule = std::find_if(sh.rules.begin(), sh.rules.end(),
                               [&](const Rule& r) { return r.opcode == answer[0]; });
      if (rule == sh.rules.end()) {
        out.insert(out.end(), answer.begin(), answer.end());
        continue;
      }
      const AnswerFault fault = rule->fault;
      if (fault == AnswerFault::replace || fault == AnswerFault::drop_connection) {
        out.insert(out.end(), rule->bytes.begin(), rule->bytes.end());
      }
      if (rule->times > 0 && --rule->times == 0) {
        sh.rules.erase(rule);
      }
      if (fault == AnswerFault::go_silent) {
        sh.silent = true;
      } else if (fault == AnswerFault::drop_connection) {
        close = true;
        break;
      }
    }
    const std::size_t piece = sh.split == 0 ? out.size() : sh.split;
    for (std::size_t at = 0; at < out.size(); at += piece) {
      const auto from = out.begin() + static_cast<std::ptrdiff_t>(at);
      io.pending.emplace_back(from,
                              from + static_cast<std::ptrdiff_t>(std::min(piece, out.size() - at)));
    }
    io.close_after = io.close_after || close;
  }
}

void LanvaraModule::write_pending() {
  Io& io = *io_;
  Shared& sh = *shared_;
  while (!io.pending.empty()) {
    auto& front = io.pending.front();
    const ssize_t n = ::send(io.conn_fd, front.data(), front.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        watch_conn();
        return;
      }
      close_conn(false);
      return;
    }
    sh.update([&] {
      sh.stats.bytes_out += static_cast<std::uint64_t>(n);
      ++sh.stats.writes;
    });
    front.erase(front.begin(), front.begin() + n);
    if (front.empty()) {
      sh.give_spare(std::move(front));
      io.pending.pop_front();
    }
  }
  if (io.close_after) {
    close_conn(true);
  }
  watch_conn();
}

void LanvaraModule::close_conn(bool by_module) {
  Io& io = *io_;
  Shared& sh = *shared_;
  if (io.conn_fd < 0) {
    return;
  }
  io.conn_watch = {};
  close_fd(io.conn_fd);
  io.conn = 0;
  io.pending.clear();
  io.close_after = false;
  sh.update([&] {
    sh.stats.connected = false;
    ++(by_module ? sh.stats.closed_by_module : sh.stats.closed_by_host);
  });
}

// Watched: the connection's descriptor is read always and written while answers wait.
void LanvaraModule::watch_conn() {
  Io& io = *io_;
  if (io.conn_fd >= 0) {
    io.conn_watch.want(EPOLLIN | (io.pending.empty() ? 0u : unsigned{EPOLLOUT}));
  }
}

bool LanvaraModule::on_wake() {
  Io& io = *io_;
  Shared& sh = *shared_;
  std::uint64_t count;
  [[maybe_unused]] ssize_t n = ::read(sh.wake_fd, &count, sizeof count);
  bool drop = false;
  {
    std::lock_guard lock(sh.mutex);
    if (sh.stopping) {
      return false;
    }
    drop = std::exchange(sh.drop, false);
  }
  if (drop) {
    close_conn(true);
  }
  take_outbox();
  if (io.conn_fd >= 0) {
    write_pending();
  }
  return true;
}

void LanvaraModule::on_accept() {
  Io& io = *io_;
  Shared& sh = *shared_;
  const int fd = ::accept4(io.listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  close_conn(true); // replaced by the newcomer
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  io.conn_fd = fd;
  io.conn = ++io.last_conn;
  if (io.watched) {
    io.conn_watch = host_.watch(fd, &io.on_conn);
  }
  watch_conn();
  sh.update([&] {
    ++sh.stats.connections;
    sh.stats.connected = true;
  });
  host_.post([core = core_, conn = io.conn] {
    core->conn = conn;
    core->engine.new_connection();
  });
}

void LanvaraModule::on_conn(unsigned events) {
  Io& io = *io_;
  Shared& sh = *shared_;
  if (io.conn_fd >= 0 && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
    std::vector<std::uint8_t> buf = sh.take_spare();
    buf.resize(kReadChunk);
    const ssize_t n = ::read(io.conn_fd, buf.data(), buf.size());
    if (n > 0) {
      // Acknowledge at once: a host that does not set TCP_NODELAY holds its next small
      // write back until this segment is acknowledged, and a delayed acknowledgement
      // would put tens of milliseconds on every exchange.
      const int on = 1;
      ::setsockopt(io.conn_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      buf.resize(static_cast<std::size_t>(n));
      sh.update([&] { sh.stats.bytes_in += static_cast<std::uint64_t>(n); });
      host_.post([core = core_, conn = io.conn, bytes = std::move(buf)]() mutable {
        if (core->conn == conn) {
          core->engine.feed_stream(bytes);
        }
        core->shared->give_spare(std::move(bytes));
      });
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      close_conn(false);
    }
  }
  if (io.conn_fd >= 0 && (events & EPOLLOUT) != 0) {
    write_pending();
  }
}

void LanvaraModule::run() {
  Io& io = *io_;
  Shared& sh = *shared_;
  for (;;) {
    pollfd fds[3] = {{sh.wake_fd, POLLIN, 0}, {io.listen_fd, POLLIN, 0}, {io.conn_fd, 0, 0}};
    if (io.conn_fd >= 0) {
      fds[2].events = static_cast<short>(POLLIN | (io.pending.empty() ? 0 : POLLOUT));
    }
    if (::poll(fds, io.conn_fd >= 0 ? 3 : 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[0].revents != 0 && !on_wake()) {
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      on_accept();
    }
    // poll's bits are epoll's for these.
    if (io.conn_fd >= 0 && fds[2].revents != 0) {
      on_conn(static_cast<unsigned>(fds[2].revents));
    }
  }
}

} // namespace qdemu
