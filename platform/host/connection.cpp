// Serving one connection: reading requests, carrying them into the kernel, answering, and
// telling the program when its stream has become readable.
#include "connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kemu/devopen.h"
#include "kemu/usermem.h"
#include "remote_memory.h"

namespace qdhost {

namespace wire = qdev::wire;

static_assert(wire::kFread == FREAD && wire::kFwrite == FWRITE && wire::kFndelay == FNDELAY &&
              wire::kFnonblock == FNONBLOCK);
static_assert(wire::kPollIn == kemu::kPollIn && wire::kPollOut == kemu::kPollOut &&
              wire::kPollErr == kemu::kPollErr && wire::kPollHup == kemu::kPollHup);

namespace {

constexpr std::size_t kMaxWorkers = 4;
constexpr unsigned kReadable = kemu::kPollIn | kemu::kPollHup | kemu::kPollErr;
constexpr int kOpenFlags = FREAD | FWRITE | FNDELAY | FNONBLOCK;

void wake(int efd) {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(efd, &one, sizeof one);
}

} // namespace

void ServerState::notify() {
  { std::lock_guard<std::mutex> lk(mu); }
  changed.notify_all();
}

// The stream's notify callback runs in a kernel context and must not block: it only notes
// the stream's state and wakes the reader thread, which sends the notice. `readable` is
// written only in kernel contexts (the callback, and each call on its way out), which run
// one at a time, so the last value written is the stream's state.
struct Connection::Readiness {
  int efd = -1;
  std::atomic<bool> readable{false};
  kemu::StreamFile* file = nullptr;

  ~Readiness() {
    if (efd >= 0) {
      ::close(efd);
    }
  }
  void update() {
    if (file != nullptr) {
      readable = (file->poll() & kReadable) != 0;
    }
  }
  void on_notify() {
    update();
    if (readable) {
      wake(efd);
    }
  }
};

Connection::Connection(ServerState& server, int fd, const cred_t& cred, NodeInfo node)
    : server_(server), fd_(fd), cred_(cred), node_(std::move(node)),
      ready_(std::make_shared<Readiness>()) {
  ready_->efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ++server_.connections;
}

Connection::~Connection() {
  hang_up();
  if (reader_.joinable()) {
    reader_.join();
  }
  ::close(fd_);
}

void Connection::start() {
  reader_ = std::thread([this] { reader_main(); });
}

void Connection::hang_up() {
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::shut_down() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    interrupt_all_locked();
    for (auto& [id, c] : inflight_) {
      if (c.close) {
        bound_close_locked(c);
      }
    }
  }
  hang_up();
}

// ---- Reading requests ----------------------------------------------------------------------

void Connection::reader_main() {
  std::vector<std::byte> buf(wire::kMaxPacket + 1);
  pollfd pf[2] = {{fd_, POLLIN, 0}, {ready_->efd, POLLIN, 0}};
  for (;;) {
    if (::poll(pf, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if ((pf[1].revents & POLLIN) != 0) {
      std::uint64_t v = 0;
      [[maybe_unused]] ssize_t n = ::read(ready_->efd, &v, sizeof v);
      offer_notice();
    }
    if (pf[0].revents != 0) {
      ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        continue;
      }
      // The end of the socket, a broken one, an oversized packet or nonsense: the program
      // is gone or cannot be understood.
      if (n <= 0 || static_cast<std::size_t>(n) > wire::kMaxPacket ||
          !on_packet({buf.data(), static_cast<std::size_t>(n)})) {
        break;
      }
    }
  }
  end_of_client();
}

bool Connection::on_packet(std::span<const std::byte> packet) {
  Request r;
  if (packet.size() < sizeof r.h) {
    return false;
  }
  std::memcpy(&r.h, packet.data(), sizeof r.h);
  auto op = static_cast<wire::Op>(r.h.op);
  switch (op) {
  case wire::Op::kInterrupt:
    interrupt(static_cast<std::uint32_t>(r.h.a));
    return true;
  case wire::Op::kStat:
    send_result(r.h.id, 0, static_cast<std::int64_t>(node_.dev), node_.spec_type);
    return true;
  case wire::Op::kClose: {
    // Calls still blocked would keep the close waiting.
    std::lock_guard<std::mutex> lk(mu_);
    interrupt_all_locked();
  }
    [[fallthrough]];
  case wire::Op::kOpen:
  case wire::Op::kRead:
  case wire::Op::kWrite:
  case wire::Op::kIoctl:
  case wire::Op::kSetFlags:
  case wire::Op::kPoll:
    r.payload.assign(packet.begin() + sizeof r.h, packet.end());
    enqueue(std::move(r));
    return true;
  default:
    return false;
  }
}

void Connection::enqueue(Request r) {
  std::lock_guard<std::mutex> lk(mu_);
  if (stopping_) {
    return;
  }
  inflight_[r.h.id] = InFlight{.close = r.h.op == static_cast<std::uint32_t>(wire::Op::kClose)};
  queue_.push_back(std::move(r));
  if (idle_ == 0 && workers_.size() < kMaxWorkers) {
    workers_.emplace_back([this] { worker_main(); });
  }
  cv_.notify_one();
}

// As a signal to a process: it reaches every call the program has waiting, its close too.
void Connection::interrupt(std::uint32_t id) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = inflight_.find(id);
  if (it == inflight_.end()) {
    return; // finished already: the signal came too late to matter
  }
  it->second.interrupted = true;
  for (auto& [other, c] : inflight_) {
    if (c.ctx != 0) {
      server_.kernel.post_signal(c.ctx);
    }
  }
}

bool Connection::interrupted(std::uint32_t id) {
  std::lock_guard<std::mutex> lk(mu_);
  auto it = inflight_.find(id);
  return it != inflight_.end() && it->second.interrupted;
}

// Every call but a close: a close goes on waiting for its output.
void Connection::interrupt_all_locked() {
  for (auto& [id, c] : inflight_) {
    if (c.close) {
      continue;
    }
    c.interrupted = true;
    if (c.ctx != 0) {
      server_.kernel.post_signal(c.ctx);
    }
  }
}

// A close nobody waits for any more (the program is gone, or qdhost is stopping) waits for
// its output a bounded time, as an exiting process's close does, then gets a signal: the
// driver then flushes and completes the close. Armed once the close runs in the kernel; a
// nearer bound replaces a farther one.
void Connection::bound_close_locked(InFlight& f) {
  if (f.ctx == 0) {
    return;
  }
  kemu::Kernel& k = server_.kernel;
  clock_t ticks = server_.drain_bound;
  if (server_.shutting_down) {
    ticks = std::min(ticks, kShutdownDrain);
  }
  const clock_t at = k.lbolt() + ticks;
  if (f.bound != 0) {
    if (f.bound_at <= at) {
      return;
    }
    k.cancel_interrupt(f.bound);
  }
  f.bound_at = at;
  f.bound = k.interrupt([&k, ctx = f.ctx] { k.post_signal(ctx); }, ticks);
}

// ---- Carrying requests into the kernel -----------------------------------------------------

void Connection::worker_main() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    ++idle_;
    cv_.wait(lk, [&] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (stopping_) {
      return;
    }
    Request r = std::move(queue_.front());
    queue_.pop_front();
    lk.unlock();
    execute(r);
    lk.lock();
    inflight_.erase(r.h.id);
  }
}

bool Connection::run(std::uint32_t id, const std::function<void()>& fn) {
  kemu::Kernel& k = server_.kernel;
  bool counted = false;
  bool ok = k.call(
      [&] {
        ++server_.calls;
        counted = true;
        server_.notify();
        {
          std::lock_guard<std::mutex> lk(mu_);
          auto it = inflight_.find(id);
          if (it != inflight_.end()) {
            it->second.ctx = k.context_id();
            if (it->second.interrupted) {
              k.post_signal_current(); // the program gave up before the call began
            }
            if (it->second.close && stopping_) {
              bound_close_locked(it->second);
            }
          }
        }
        // Also when the kernel unwinds the call: no bound may outlive its close.
        struct Leave {
          Connection* c;
          std::uint32_t id;
          ~Leave() {
            std::lock_guard<std::mutex> lk(c->mu_);
            if (auto it = c->inflight_.find(id); it != c->inflight_.end()) {
              if (it->second.bound != 0) {
                c->server_.kernel.cancel_interrupt(it->second.bound);
                it->second.bound = 0;
              }
              it->second.ctx = 0;
            }
          }
        } leave{this, id};
        fn();
        ready_->update();
      },
      kemu::Wait::kJump, cred_);
  if (counted) {
    --server_.calls;
    server_.notify();
  }
  return ok;
}

void Connection::execute(Request& r) {
  const std::uint32_t id = r.h.id;
  switch (static_cast<wire::Op>(r.h.op)) {
  case wire::Op::kOpen:
    do_open(r);
    return;
  case wire::Op::kClose:
    do_close(r);
    return;
  default:
    break;
  }
  std::shared_lock<std::shared_mutex> lk(file_mu_);
  if (!opened_) {
    // A call the program gave up on before a close overtook it ends as interrupted.
    send_result(id, interrupted(id) ? EINTR : EBADF, -1);
    return;
  }
  switch (static_cast<wire::Op>(r.h.op)) {
  case wire::Op::kRead:
    do_read(r);
    return;
  case wire::Op::kWrite:
    do_write(r);
    return;
  case wire::Op::kIoctl:
    do_ioctl(r);
    return;
  case wire::Op::kSetFlags: {
    const int flags = static_cast<int>(r.h.a) & (FNDELAY | FNONBLOCK);
    bool ok = run(id, [&] { file_.set_flags(flags); });
    send_result(id, ok ? 0 : EIO, ok ? 0 : -1);
    return;
  }
  case wire::Op::kPoll: {
    unsigned bits = 0;
    bool ok = run(id, [&] { bits = file_.poll(); });
    send_result(id, ok ? 0 : EIO, ok ? static_cast<std::int64_t>(bits) : -1);
    return;
  }
  default:
    send_result(id, EINVAL, -1);
    return;
  }
}

void Connection::do_open(const Request& r) {
  std::unique_lock<std::shared_mutex> lk(file_mu_);
  if (opened_) {
    lk.unlock();
    send_result(r.h.id, EBUSY, -1); // one open per connection
    return;
  }
  const int flags = static_cast<int>(r.h.a) & kOpenFlags;
  int err = EIO;
  bool ok = run(r.h.id, [&] {
    err = kemu::open_device(node_.dev, flags, nullptr, file_);
    if (err == 0) {
      ready_->file = &file_;
      file_.set_notify([ready = ready_] { ready->on_notify(); });
    }
  });
  if (!ok && err == 0) {
    err = EIO; // the kernel is stopping; it takes the stream with it
  }
  opened_ = ok && err == 0;
  lk.unlock();
  send_result(r.h.id, err, err == 0 ? 0 : -1);
}

void Connection::do_read(const Request& r) {
  if (r.h.a < 0 || static_cast<std::size_t>(r.h.a) > wire::kMaxData) {
    send_result(r.h.id, EINVAL, -1);
    return;
  }
  std::vector<std::byte> buf(static_cast<std::size_t>(r.h.a));
  kemu::IoResult res{-1, EIO};
  run(r.h.id, [&] { res = file_.read(buf); });
  const std::size_t n = res.ok() ? static_cast<std::size_t>(res.value) : 0;
  send_result(r.h.id, res.error, res.value, 0, 0, {buf.data(), n});
}

void Connection::do_write(const Request& r) {
  kemu::IoResult res{-1, EIO};
  run(r.h.id, [&] { res = file_.write(r.payload); });
  send_result(r.h.id, res.error, res.value);
}

void Connection::do_ioctl(const Request& r) {
  RemoteMemory mem;
  if (!mem.parse(r.h.count, r.payload)) {
    send_result(r.h.id, EINVAL, -1);
    return;
  }
  kemu::IoResult res{-1, EIO};
  run(r.h.id, [&] {
    kemu::UserMemoryScope scope(mem);
    res = file_.ioctl(static_cast<int>(r.h.a), static_cast<std::intptr_t>(r.h.b));
  });
  std::uint32_t count = 0;
  std::vector<std::byte> writes = mem.writes(&count);
  send_result(r.h.id, res.error, res.value, 0, count, writes);
}

void Connection::do_close(const Request& r) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    interrupt_all_locked();
  }
  std::unique_lock<std::shared_mutex> lk(file_mu_); // the other calls have ended
  int err = EBADF;
  if (opened_) {
    err = 0;
    close_stream(r.h.id);
  }
  lk.unlock();
  send_result(r.h.id, err, err == 0 ? 0 : -1);
}

void Connection::close_stream(std::uint32_t id) {
  run(id, [&] {
    file_.set_notify({});
    ready_->file = nullptr;
    ready_->readable = false;
    file_.close();
  });
  opened_ = false;
}

// ---- Answering -----------------------------------------------------------------------------

void Connection::send_result(std::uint32_t id, int error, std::int64_t a, std::int64_t b,
                             std::uint32_t count, std::span<const std::byte> payload) {
  wire::Header h{};
  h.op = static_cast<std::uint32_t>(wire::Op::kResult);
  h.id = id;
  h.a = a;
  h.b = b;
  h.error = error;
  h.count = count;
  iovec iov[2] = {{&h, sizeof h}, {const_cast<std::byte*>(payload.data()), payload.size()}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = payload.empty() ? 1 : 2;
  std::lock_guard<std::mutex> lk(send_mu_);
  while (::sendmsg(fd_, &msg, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
  // The program reads every earlier packet before it sees this result, so any notice sent
  // before is consumed by then; a fresh one follows if the stream is still readable.
  notice_out_ = false;
  if (opened_ && ready_->readable) {
    send_notice_locked();
  }
}

void Connection::send_notice_locked() {
  const unsigned char b = wire::kReady;
  while (::send(fd_, &b, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
  notice_out_ = true;
}

void Connection::offer_notice() {
  std::lock_guard<std::mutex> lk(send_mu_);
  if (opened_ && ready_->readable && !notice_out_) {
    send_notice_locked();
  }
}

// ---- The end ---------------------------------------------------------------------------------

void Connection::end_of_client() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stopping_ = true;
    for (const Request& r : queue_) {
      inflight_.erase(r.h.id);
    }
    queue_.clear();
    interrupt_all_locked();
    for (auto& [id, c] : inflight_) {
      if (c.close) {
        bound_close_locked(c); // the program's own close, now nobody's
      }
    }
  }
  cv_.notify_all();
  for (std::thread& t : workers_) {
    t.join();
  }
  // A program that dies closes its device, as an exiting process does.
  if (opened_) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      inflight_[kDepartedClose] = InFlight{.close = true};
    }
    close_stream(kDepartedClose);
    std::lock_guard<std::mutex> lk(mu_);
    inflight_.erase(kDepartedClose);
  }
  finished_ = true;
  --server_.connections;
  server_.notify();
  wake(server_.wake_fd);
}

} // namespace qdhost
