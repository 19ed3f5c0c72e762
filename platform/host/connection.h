// One program's open of one node: its socket, its stream and the host threads that serve
// them. Internal to the node server.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "ksys/cred.h"
#include "ksys/time.h"
#include "qdev/wire.h"

namespace qdhost {

// How long a close may wait for its output once qdhost is stopping, at most.
inline constexpr clock_t kShutdownDrain = 5 * hz;

// What the connections of one server share with it.
struct ServerState {
  ServerState(kemu::Kernel& k, clock_t bound) : kernel(k), drain_bound(bound) {}
  kemu::Kernel& kernel;
  const clock_t drain_bound;              // a departed program's close waits for output this long
  std::atomic<bool> shutting_down{false}; // then closes wait kShutdownDrain at most
  std::mutex mu;
  std::condition_variable changed;
  std::atomic<std::size_t> connections{0};
  std::atomic<std::size_t> calls{0}; // calls running in the kernel
  int wake_fd = -1;                  // eventfd of the accepting thread: a connection finished
  void notify();
};

struct NodeInfo {
  std::string name;
  dev_t dev;
  int spec_type;
};

class Connection {
public:
  Connection(ServerState& server, int fd, const cred_t& cred, NodeInfo node);
  // Hangs up if the conversation still goes on, and waits until everything is closed.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start();
  // Ends the conversation from this side: the program sees the end of its socket.
  void hang_up();
  // qdhost is stopping: every call waiting in the kernel gets a signal at once, a close
  // waiting for output gets one after kShutdownDrain at most, and the program is hung up.
  void shut_down();
  bool finished() const { return finished_; }

private:
  struct Request {
    qdev::wire::Header h{};
    std::vector<std::byte> payload;
  };
  struct InFlight {
    kemu::ContextId ctx = 0; // the kernel context running it, once it runs
    bool interrupted = false;
    bool close = false;     // the stream's close, the program's or one for a departed program
    kemu::WorkId bound = 0; // queued signal that ends the close's wait for output
    clock_t bound_at = 0;
  };
  // Requests are numbered from 1: the close made for a departed program runs as this one.
  static constexpr std::uint32_t kDepartedClose = 0;
  struct Readiness; // what the stream's notify callback shares with us

  void reader_main();
  bool on_packet(std::span<const std::byte> packet);
  void enqueue(Request r);
  void interrupt(std::uint32_t id);
  void interrupt_all_locked();
  void bound_close_locked(InFlight& f);
  bool interrupted(std::uint32_t id);
  void worker_main();
  void execute(Request& r);
  void do_open(const Request& r);
  void do_read(const Request& r);
  void do_write(const Request& r);
  void do_ioctl(const Request& r);
  void do_close(const Request& r);
  // Runs fn in the kernel as the program; false when the kernel would not run it.
  bool run(std::uint32_t id, const std::function<void()>& fn);
  void close_stream(std::uint32_t id);
  void send_result(std::uint32_t id, int error, std::int64_t a, std::int64_t b = 0,
                   std::uint32_t count = 0, std::span<const std::byte> payload = {});
  void send_notice_locked();
  void offer_notice();
  void end_of_client();

  ServerState& server_;
  const int fd_;
  const cred_t cred_;
  const NodeInfo node_;
  std::shared_ptr<Readiness> ready_;

  kemu::StreamFile file_;
  std::atomic<bool> opened_{false};
  std::shared_mutex file_mu_; // exclusive for open and close, shared for every other call

  std::mutex send_mu_;
  bool notice_out_ = false; // a readiness notice the program has not read past yet

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Request> queue_;
  std::map<std::uint32_t, InFlight> inflight_;
  std::vector<std::thread> workers_;
  int idle_ = 0;
  bool stopping_ = false;

  std::thread reader_;
  std::atomic<bool> finished_{false};
};

} // namespace qdhost
