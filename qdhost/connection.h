// One program's open of one node: its socket, its stream, and its requests on their way
// through the kernel. Internal to the node server.
//
// Everything here runs on the kernel's CPU thread: the socket's watch callback, each
// request's kernel context (Kernel::start), the callback that answers once a context is
// done, and the connection's making and destruction by the server, also when it stops. So
// nothing is locked but what other threads read (ServerState's counters), and a request
// waiting in the kernel holds no host thread.
//
// A request is read, becomes a context, and its result is sent when the context is done. It
// runs with the credentials the kernel attached to its packet: those of the process that
// sent it, whoever opened the connection (a descriptor may be passed on, or its program may
// change its ids).
// Per connection at most kMaxRunning requests are in the kernel at once, an open or a
// close alone; the rest wait in arrival order. Requests read and not yet answered are
// bounded (kHeldRequests, kHeldBytes of what came with them and what goes back): past the
// bound the socket is not read until they drain, so a program that queues without end
// only fills its own socket.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "byte_pool.h"
#include "kemu/host_watch.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "ksys/cred.h"
#include "ksys/time.h"
#include "qdev/wire.h"

namespace qdhost {

// How long a close may wait for its output once qdhost is stopping, at most.
inline constexpr clock_t kShutdownDrain = 5 * hz;
// Requests of one connection in the kernel at once.
inline constexpr std::size_t kMaxRunning = 4;
// Requests read and not yet answered, and their bytes, past which a socket is not read.
inline constexpr std::size_t kHeldRequests = 16;
inline constexpr std::size_t kHeldBytes = 256 * 1024;

class Connection;

// One request, from its packet to its result. Pooled by the server.
struct Request {
  qdev::wire::Header h{};
  Bytes payload; // what came with it: write data, ioctl regions
  Bytes reply;   // what goes back with the result: read data, ioctl writes
  cred_t cred{}; // its sender's, as the kernel attests them
  kemu::IoResult res{-1, EIO};
  std::int64_t b = 0;       // the result's b
  std::uint32_t count = 0;  // the result's count
  kemu::ContextId ctx = 0;  // the context running it, once started
  bool entered = false;     // its code began in the kernel
  bool interrupted = false; // the program gave up on it
  bool close = false;       // the stream's close (the program's, or a departed program's)
  kemu::WorkId bound = 0;   // queued signal that ends a close's wait for output
  clock_t bound_at = 0;
  Connection* conn = nullptr;
  Request* next = nullptr; // in a queue, or the free list
};

// What the connections of one server share with it; the CPU thread's, but for the counters
// and the log, which other threads read.
struct ServerState {
  ServerState(kemu::Kernel& k, clock_t bound) : kernel(k), drain_bound(bound) {}
  kemu::Kernel& kernel;
  const clock_t drain_bound;  // a departed program's close waits for output this long
  bool shutting_down = false; // then closes wait kShutdownDrain at most

  BytePool pool;
  std::vector<std::byte> in_area;   // where every packet lands first
  std::vector<std::byte> read_area; // where every read lands first (see Connection::execute)
  Request* free_requests = nullptr;
  std::vector<std::unique_ptr<Request>> all_requests;
  Request* take_request(Connection* c);
  void give_request(Request* r);

  // Watched by other threads (tests, stop()).
  std::mutex mu;
  std::condition_variable changed;
  std::atomic<std::size_t> connections{0};
  std::atomic<std::size_t> calls{0};     // requests whose code runs in the kernel
  std::atomic<std::size_t> paused{0};    // connections not read for their bound
  std::atomic<std::size_t> held_peak{0}; // most bytes one connection ever held
  std::atomic<std::uint64_t> wakeups{0}; // watch callbacks run
  std::atomic<std::uint64_t> refused{0}; // clients turned away
  void notify();
  // A connection has ended: the server counts it out and destroys it when it next runs.
  std::function<void(Connection*)> retire;
};

struct NodeInfo {
  std::string name;
  dev_t dev;
  int spec_type;
};

class Connection final : private kemu::HostWatcher {
public:
  Connection(ServerState& server, int fd, NodeInfo node);
  // Only once finished() (or with the kernel gone).
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts reading; false when the kernel would not watch the socket.
  bool start();
  // qdhost is stopping: every call waiting in the kernel gets a signal at once, a close
  // waiting for output gets one after kShutdownDrain at most, and the program is hung up.
  void shut_down();
  bool finished() const { return finished_; }

private:
  struct Readiness; // what the stream's notify callback shares with us
  // Requests are numbered from 1: the close made for a departed program runs as this one.
  static constexpr std::uint32_t kDepartedClose = 0;

  struct Queue {
    Request* head = nullptr;
    Request* tail = nullptr;
    bool empty() const { return head == nullptr; }
    void push(Request* r);
    Request* pop();
  };

  // The socket.
  void ready(unsigned events) override;
  bool on_packet(std::span<const std::byte> packet, const cred_t& cred);
  void watch();
  void depart();
  void hang_up();

  // Requests.
  void accept(Request* r);
  void try_start();
  void start(Request* r);
  void execute(Request& r); // in the request's context
  void done(Request* r, bool completed);
  void answer_now(Request* r, int error, std::int64_t a);
  void release(Request* r);
  void interrupt(std::uint32_t id);
  void interrupt_all();
  void bound_close(Request& r);
  template <class F> void each_running(F&& fn);

  // Answers and readiness notices.
  void push_result(Request* r);
  bool send_result(const Request& r);
  void after_result();
  void offer_notice();
  void send_notice();
  void flush();

  void held_changed();
  void maybe_finish();

  ServerState& server_;
  const int fd_;
  const NodeInfo node_;
  std::shared_ptr<Readiness> ready_;
  kemu::StreamFile file_;
  bool opened_ = false;
  cred_t opener_{}; // a departed program's close runs with the credentials of the open

  Queue waiting_;                   // read, not started
  Request* running_[kMaxRunning]{}; // in the kernel
  std::size_t running_count_ = 0;
  bool exclusive_ = false; // an open or a close runs
  Queue out_;              // answered, waiting for room in the socket
  std::size_t held_requests_ = 0;
  std::size_t held_bytes_ = 0;

  bool reading_ = true;   // the socket is read (not held back by the bound)
  bool writing_ = false;  // waiting for room in the socket
  bool departed_ = false; // the program went away, or qdhost hung it up
  bool closing_departed_ = false;
  bool notice_out_ = false;    // a readiness notice the program has not read past yet
  bool notice_wanted_ = false; // one could not be sent yet
  bool finished_ = false;
  kemu::HostWatch watch_; // the socket; last, so that it goes first
};

} // namespace qdhost
