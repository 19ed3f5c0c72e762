// Serving one connection on the kernel's CPU thread: reading requests, starting each as a
// kernel context, answering when it is done, and telling the program when its stream has
// become readable.
#include "connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "kemu/devopen.h"
#include "kemu/usermem.h"
#include "qdhost/node_server.h"
#include "remote_memory.h"

namespace qdhost {

namespace wire = qdev::wire;

static_assert(wire::kFread == FREAD && wire::kFwrite == FWRITE && wire::kFndelay == FNDELAY &&
              wire::kFnonblock == FNONBLOCK);
static_assert(wire::kPollIn == kemu::kPollIn && wire::kPollOut == kemu::kPollOut &&
              wire::kPollErr == kemu::kPollErr && wire::kPollHup == kemu::kPollHup);

namespace {

constexpr unsigned kReadable = kemu::kPollIn | kemu::kPollHup | kemu::kPollErr;
constexpr int kOpenFlags = FREAD | FWRITE | FNDELAY | FNONBLOCK;
constexpr unsigned kGone = EPOLLHUP | EPOLLERR | EPOLLRDHUP;

wire::Op op_of(const Request& r) {
  return static_cast<wire::Op>(r.h.op);
}

bool exclusive(const Request& r) {
  return op_of(r) == wire::Op::kOpen || op_of(r) == wire::Op::kClose;
}

} // namespace

// ---- What the connections share ------------------------------------------------------------

Request* ServerState::take_request(Connection* c) {
  Request* r = free_requests;
  if (r != nullptr) {
    free_requests = r->next;
  } else {
    all_requests.push_back(std::make_unique<Request>());
    r = all_requests.back().get();
  }
  r->next = nullptr;
  r->conn = c;
  return r;
}

void ServerState::give_request(Request* r) {
  *r = Request{}; // its buffers go back to the pool
  r->next = free_requests;
  free_requests = r;
}

// Under the mutex: a waiter that sees the end of the server may destroy it at once.
void ServerState::notify() {
  std::lock_guard<std::mutex> lk(mu);
  changed.notify_all();
}

void Connection::Queue::push(Request* r) {
  r->next = nullptr;
  (tail != nullptr ? tail->next : head) = r;
  tail = r;
}

Request* Connection::Queue::pop() {
  Request* r = head;
  head = r->next;
  if (head == nullptr) {
    tail = nullptr;
  }
  r->next = nullptr;
  return r;
}

// The stream's notify callback runs in a kernel context (on the CPU thread, as we do); it
// outlives neither the stream's open nor, through `conn`, the connection.
struct Connection::Readiness {
  Connection* conn = nullptr;
  kemu::StreamFile* file = nullptr;
  bool readable = false;

  void update() {
    if (file != nullptr) {
      readable = (file->poll() & kReadable) != 0;
    }
  }
  void on_notify() {
    update();
    if (readable && conn != nullptr) {
      conn->offer_notice();
    }
  }
};

Connection::Connection(ServerState& server, int fd, NodeInfo node)
    : server_(server), fd_(fd), node_(std::move(node)), ready_(std::make_shared<Readiness>()) {
  ready_->conn = this;
  ++server_.connections;
}

Connection::~Connection() {
  ready_->conn = nullptr;
  ::close(fd_);
  while (!waiting_.empty()) {
    server_.give_request(waiting_.pop());
  }
  while (!out_.empty()) {
    server_.give_request(out_.pop());
  }
  if (!reading_) {
    --server_.paused;
  }
  if (!finished_) {
    --server_.connections;
  }
}

bool Connection::start() {
  watch_ = server_.kernel.watch(fd_, this);
  return watch_.want(EPOLLIN | EPOLLRDHUP);
}

void Connection::watch() {
  if (!departed_) {
    const unsigned events =
        (reading_ ? unsigned{EPOLLIN} : 0u) | (writing_ ? unsigned{EPOLLOUT} : 0u);
    watch_.want(events | EPOLLRDHUP);
  }
}

void Connection::hang_up() {
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::shut_down() {
  hang_up();
  depart();
  // A close that began when the program left still has the departed program's bound.
  each_running([&](Request& r) {
    if (r.close) {
      bound_close(r);
    }
  });
}

// ---- Reading requests ----------------------------------------------------------------------

void Connection::ready(unsigned events) {
  ++server_.wakeups;
  if ((events & EPOLLOUT) != 0) {
    flush();
  }
  // One packet per call: the kernel calls again while more wait, after the other sockets.
  if (reading_ && (events & (EPOLLIN | kGone)) != 0) {
    std::vector<std::byte>& in = server_.in_area;
    iovec iov{in.data(), in.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return;
    }
    // The end of the socket, a broken one, an oversized packet, one the kernel did not
    // vouch for, or nonsense: the program is gone or cannot be understood.
    const cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&msg) : nullptr;
    if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS ||
        c->cmsg_len != CMSG_LEN(sizeof(ucred)) || static_cast<std::size_t>(n) > wire::kMaxPacket) {
      depart();
      return;
    }
    ucred sender{};
    std::memcpy(&sender, CMSG_DATA(c), sizeof sender);
    if (!on_packet({in.data(), static_cast<std::size_t>(n)},
                   cred_of_sender(sender.uid, sender.gid))) {
      depart();
    }
    return;
  }
  if ((events & kGone) != 0) {
    depart(); // gone while its socket was not read
  }
}

bool Connection::on_packet(std::span<const std::byte> packet, const cred_t& cred) {
  wire::Header h{};
  if (packet.size() < sizeof h) {
    return false;
  }
  std::memcpy(&h, packet.data(), sizeof h);
  switch (static_cast<wire::Op>(h.op)) {
  case wire::Op::kInterrupt:
    interrupt(static_cast<std::uint32_t>(h.a));
    return true;
  case wire::Op::kStat: {
    Request* r = server_.take_request(this);
    ++held_requests_;
    r->h = h;
    r->b = node_.spec_type;
    answer_now(r, 0, static_cast<std::int64_t>(node_.dev));
    return true;
  }
  case wire::Op::kClose:
    interrupt_all(); // calls still blocked would keep the close waiting
    [[fallthrough]];
  case wire::Op::kOpen:
  case wire::Op::kRead:
  case wire::Op::kWrite:
  case wire::Op::kIoctl:
  case wire::Op::kSetFlags:
  case wire::Op::kPoll: {
    Request* r = server_.take_request(this);
    r->h = h;
    r->cred = cred;
    r->close = static_cast<wire::Op>(h.op) == wire::Op::kClose;
    r->payload = server_.pool.copy(packet.subspan(sizeof h));
    accept(r);
    return true;
  }
  default:
    return false;
  }
}

// ---- Carrying requests into the kernel -----------------------------------------------------

void Connection::accept(Request* r) {
  ++held_requests_;
  held_bytes_ += r->payload.size();
  waiting_.push(r);
  try_start();
  held_changed();
}

template <class F> void Connection::each_running(F&& fn) {
  for (Request* r : running_) {
    if (r != nullptr) {
      fn(*r);
    }
  }
}

// In arrival order: an open or a close waits for the calls before it and runs alone.
void Connection::try_start() {
  while (!waiting_.empty() && running_count_ < kMaxRunning && !exclusive_) {
    Request* r = waiting_.head;
    if (exclusive(*r) && running_count_ > 0) {
      return;
    }
    waiting_.pop();
    switch (op_of(*r)) {
    case wire::Op::kOpen:
      if (opened_) {
        answer_now(r, EBUSY, -1); // one open per connection
        continue;
      }
      break;
    case wire::Op::kClose:
      if (!opened_) {
        answer_now(r, EBADF, -1);
        continue;
      }
      break;
    default:
      if (!opened_) {
        // A call the program gave up on before a close overtook it ends as interrupted.
        answer_now(r, r->interrupted ? EINTR : EBADF, -1);
        continue;
      }
      if (op_of(*r) == wire::Op::kRead &&
          (r->h.a < 0 || static_cast<std::size_t>(r->h.a) > wire::kMaxData)) {
        answer_now(r, EINVAL, -1);
        continue;
      }
      break;
    }
    start(r);
  }
}

void Connection::start(Request* r) {
  for (Request*& slot : running_) {
    if (slot == nullptr) {
      slot = r;
      break;
    }
  }
  ++running_count_;
  exclusive_ = exclusive(*r);
  // Both callables hold one pointer: std::function keeps them without the heap.
  r->ctx = server_.kernel.start([r] { r->conn->execute(*r); },
                                [r](bool completed) { r->conn->done(r, completed); }, r->cred);
  if (r->ctx == 0) {
    done(r, false); // the kernel is stopping
    return;
  }
  if (r->interrupted) {
    server_.kernel.post_signal(r->ctx); // the program gave up before the call began
  }
  if (r->close && departed_) {
    bound_close(*r);
  }
}

// In the request's kernel context, as the program.
void Connection::execute(Request& r) {
  r.entered = true;
  ++server_.calls;
  server_.notify();
  switch (op_of(r)) {
  case wire::Op::kOpen: {
    const int err =
        kemu::open_device(node_.dev, static_cast<int>(r.h.a) & kOpenFlags, nullptr, file_);
    r.res = {err == 0 ? 0 : -1, err};
    if (err == 0) {
      ready_->file = &file_;
      file_.set_notify([ready = ready_] { ready->on_notify(); });
    }
    break;
  }
  case wire::Op::kClose:
    file_.set_notify({});
    ready_->file = nullptr;
    ready_->readable = false;
    r.res = {0, 0};
    file_.close();
    break;
  case wire::Op::kRead: {
    // The stream head copies into the server's one read area, and the bytes leave it before
    // this context can block again: contexts run one at a time and give the CPU up only
    // where they block, so no other read lands there meanwhile. What is kept is only what
    // came, however much the program asked for.
    const std::span<std::byte> area(server_.read_area.data(), static_cast<std::size_t>(r.h.a));
    r.res = file_.read(area);
    if (r.res.ok() && r.res.value > 0) {
      r.reply = server_.pool.copy(area.first(static_cast<std::size_t>(r.res.value)));
      held_bytes_ += r.reply.size();
    }
    break;
  }
  case wire::Op::kWrite:
    r.res = file_.write(r.payload.span());
    break;
  case wire::Op::kIoctl: {
    RemoteMemory mem;
    if (!mem.parse(r.h.count, r.payload.span())) {
      r.res = {-1, EINVAL};
      break;
    }
    {
      kemu::UserMemoryScope scope(mem);
      r.res = file_.ioctl(static_cast<int>(r.h.a), static_cast<std::intptr_t>(r.h.b));
    }
    const std::vector<std::byte> writes = mem.writes(&r.count);
    r.reply = server_.pool.copy(writes);
    held_bytes_ += r.reply.size();
    break;
  }
  case wire::Op::kSetFlags:
    file_.set_flags(static_cast<int>(r.h.a) & (FNDELAY | FNONBLOCK));
    r.res = {0, 0};
    break;
  case wire::Op::kPoll:
    r.res = {static_cast<long>(file_.poll()), 0};
    break;
  default:
    r.res = {-1, EINVAL};
    break;
  }
  ready_->update();
}

// On the CPU thread once the request's context has ended; completed false when the kernel
// unwound it (it is stopping).
void Connection::done(Request* r, bool completed) {
  if (r->entered) {
    --server_.calls;
    server_.notify();
  }
  for (Request*& slot : running_) {
    if (slot == r) {
      slot = nullptr;
    }
  }
  --running_count_;
  if (exclusive(*r)) {
    exclusive_ = false;
  }
  if (r->bound != 0) {
    server_.kernel.cancel_interrupt(r->bound); // no bound may outlive its close
    r->bound = 0;
  }
  switch (op_of(*r)) {
  case wire::Op::kOpen:
    if (!completed && r->res.ok()) {
      r->res = {-1, EIO}; // the kernel is stopping; it takes the stream with it
    }
    opened_ = r->res.ok();
    if (opened_) {
      opener_ = r->cred;
    }
    break;
  case wire::Op::kClose:
    opened_ = false;
    r->res = {0, 0};
    break;
  case wire::Op::kSetFlags:
  case wire::Op::kPoll:
    if (!completed) {
      r->res = {-1, EIO};
    }
    break;
  default:
    break;
  }
  push_result(r);
  try_start();
  held_changed();
  maybe_finish();
}

void Connection::answer_now(Request* r, int error, std::int64_t a) {
  r->res = {static_cast<long>(a), error};
  push_result(r);
}

void Connection::release(Request* r) {
  --held_requests_;
  held_bytes_ -= r->payload.size() + r->reply.size();
  server_.give_request(r);
}

// As a signal to a process: it reaches every call the program has in the kernel, its close
// too.
void Connection::interrupt(std::uint32_t id) {
  Request* target = nullptr;
  for (Request* r = waiting_.head; r != nullptr; r = r->next) {
    if (r->h.id == id) {
      target = r;
    }
  }
  each_running([&](Request& r) {
    if (r.h.id == id) {
      target = &r;
    }
  });
  if (target == nullptr) {
    return; // answered already: the signal came too late to matter
  }
  target->interrupted = true;
  each_running([&](Request& r) { server_.kernel.post_signal(r.ctx); });
}

// Every call but a close: a close goes on waiting for its output.
void Connection::interrupt_all() {
  for (Request* r = waiting_.head; r != nullptr; r = r->next) {
    if (!r->close) {
      r->interrupted = true;
    }
  }
  each_running([&](Request& r) {
    if (!r.close) {
      r.interrupted = true;
      server_.kernel.post_signal(r.ctx);
    }
  });
}

// A close nobody waits for any more (the program is gone, or qdhost is stopping) waits for
// its output a bounded time, as an exiting process's close does, then gets a signal: the
// driver then flushes and completes the close. A nearer bound replaces a farther one.
void Connection::bound_close(Request& r) {
  kemu::Kernel& k = server_.kernel;
  clock_t ticks = server_.drain_bound;
  if (server_.shutting_down) {
    ticks = std::min(ticks, kShutdownDrain);
  }
  const clock_t at = k.lbolt() + ticks;
  if (r.bound != 0) {
    if (r.bound_at <= at) {
      return;
    }
    k.cancel_interrupt(r.bound);
  }
  r.bound_at = at;
  r.bound = k.interrupt([&k, ctx = r.ctx] { k.post_signal(ctx); }, ticks);
}

// ---- Answering -----------------------------------------------------------------------------

// Results go in the order the calls finish; one that finds the socket full waits, with those
// after it, until the program reads.
void Connection::push_result(Request* r) {
  if (departed_) {
    release(r);
    return;
  }
  if (out_.empty() && send_result(*r)) {
    release(r);
    after_result();
    return;
  }
  out_.push(r);
  if (!writing_) {
    writing_ = true;
    watch();
  }
}

bool Connection::send_result(const Request& r) {
  wire::Header h{};
  h.op = static_cast<std::uint32_t>(wire::Op::kResult);
  h.id = r.h.id;
  h.a = r.res.value;
  h.b = r.b;
  h.error = r.res.error;
  h.count = r.count;
  iovec iov[2] = {{&h, sizeof h}, {r.reply.data(), r.reply.size()}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = r.reply.empty() ? 1 : 2;
  for (;;) {
    if (::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
      return true;
    }
    if (errno == EAGAIN) {
      return false;
    }
    if (errno != EINTR) {
      return true; // the program is gone: its socket tells us so
    }
  }
}

// The program reads every earlier packet before it sees a result, so any notice sent before
// is consumed by then; a fresh one follows if the stream is still readable.
void Connection::after_result() {
  notice_out_ = false;
  if (opened_ && ready_->readable) {
    send_notice();
  }
}

void Connection::offer_notice() {
  // Not while a request is unanswered: a program waiting for a result discards notices, and
  // the one after its result tells it.
  if (held_requests_ == 0 && !departed_ && opened_ && ready_->readable && !notice_out_) {
    send_notice();
  }
}

void Connection::send_notice() {
  if (!out_.empty()) {
    notice_wanted_ = true; // after the results ahead of it
    return;
  }
  const unsigned char b = wire::kReady;
  for (;;) {
    if (::send(fd_, &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
      notice_out_ = true;
      return;
    }
    if (errno == EAGAIN) {
      notice_wanted_ = true;
      if (!writing_) {
        writing_ = true;
        watch();
      }
      return;
    }
    if (errno != EINTR) {
      return;
    }
  }
}

void Connection::flush() {
  while (!out_.empty()) {
    if (!send_result(*out_.head)) {
      return;
    }
    release(out_.pop());
    after_result();
  }
  if (std::exchange(notice_wanted_, false)) {
    offer_notice();
  }
  if (out_.empty() && !notice_wanted_ && writing_) {
    writing_ = false;
    watch();
  }
  held_changed();
}

// ---- Bounds and the end --------------------------------------------------------------------

void Connection::held_changed() {
  for (std::size_t peak = server_.held_peak; held_bytes_ > peak;) {
    if (server_.held_peak.compare_exchange_weak(peak, held_bytes_)) {
      break;
    }
  }
  const bool over = held_requests_ >= kHeldRequests || held_bytes_ >= kHeldBytes;
  if (departed_ || over != reading_) {
    return;
  }
  reading_ = !over;
  if (over) {
    ++server_.paused;
  } else {
    --server_.paused;
  }
  watch();
  server_.notify();
}

void Connection::depart() {
  if (departed_) {
    return;
  }
  departed_ = true;
  watch_.unwatch();
  if (!reading_) {
    reading_ = true;
    --server_.paused;
  }
  while (!waiting_.empty()) {
    release(waiting_.pop());
  }
  while (!out_.empty()) {
    release(out_.pop());
  }
  interrupt_all();
  each_running([&](Request& r) {
    if (r.close) {
      bound_close(r); // the program's own close, now nobody's
    }
  });
  maybe_finish();
}

void Connection::maybe_finish() {
  if (!departed_ || finished_ || running_count_ > 0) {
    return;
  }
  if (opened_ && !closing_departed_) {
    // A program that dies closes its device, as an exiting process does.
    closing_departed_ = true;
    Request* r = server_.take_request(this);
    ++held_requests_;
    r->h.op = static_cast<std::uint32_t>(wire::Op::kClose);
    r->h.id = kDepartedClose;
    r->cred = opener_;
    r->close = true;
    start(r);
    return;
  }
  finished_ = true;
  server_.retire(this); // counts it out
}

} // namespace qdhost
