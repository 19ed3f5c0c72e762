// Stand-ins for the daemon's surroundings, all in the test's own thread: a clock that
// moves only when the daemon waits, a unit node and module connections on socketpairs,
// and a log captured in memory.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "kvetherd/clock.h"
#include "kvetherd/log.h"
#include "kvetherd/module_connector.h"
#include "kvetherd/unit_node.h"
#include "qdio.h"

namespace kvtest {

// Time moves only inside the daemon's waits: a wait returns at once when a descriptor is
// ready; otherwise the clock jumps to the next scheduled event within the wait and runs
// it, or to the end of the wait. A budget of waits bounds every test: when it runs out the
// stop flag is set and the wait fails as if a SIGTERM had interrupted it.
class VirtualClock final : public kvetherd::Clock {
public:
  static constexpr std::time_t kStart = 946684800; // 2000-01-01 00:00:00 UTC

  std::time_t now() override { return t_; }
  int wait_readable(int nfds, fd_set* readable, int seconds) override;
  void pause(int seconds) override;

  // Runs fn when the clock reaches start + at (during a wait or a pause).
  void at(int seconds_from_start, std::function<void()> fn);
  std::time_t elapsed() const { return t_ - kStart; }

  std::vector<int> waits;  // the limits the daemon waited with
  std::vector<int> pauses; // the pauses it took
  volatile std::sig_atomic_t stop = 0;
  int budget = 1000;

private:
  void run_until(std::time_t until);

  std::time_t t_ = kStart;
  std::multimap<std::time_t, std::function<void()>> events_;
};

// Both ends of a socketpair; closes what is still open.
struct Pair {
  explicit Pair(int type);
  ~Pair();
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
  void close_near();
  void close_far();
  int near = -1; // the daemon's end
  int far = -1;  // the test's end
};

// Reads what is waiting on fd without blocking.
std::string drain(int fd);
// Writes all of text; fails the test otherwise.
void put(int fd, const std::string& text);

// The unit node: packets on a SOCK_SEQPACKET pair (one read, one packet, as the driver
// gives them), the requests answered as the driver would (online only when offline and the
// other way round, else EINVAL), and refusals on request.
class FakeUnitNode final : public kvetherd::UnitNode {
public:
  FakeUnitNode();
  int open(const std::string& path) override;
  int fd() const override { return open_ ? pair.near : -1; }
  ssize_t read(void* buf, std::size_t n) override;
  ssize_t write(const void* buf, std::size_t n) override;
  int pop() override;
  int request(unsigned cmd, void* data, int len) override;
  void close() override;

  // The driver's side.
  Pair pair;
  vrn_uptr_info description{}; // what VRNGETUPTR gives and VRNSETUPTR sets
  bool online = false;
  // The next calls fail with these errno values, in turn.
  int open_error = 0;
  std::deque<int> pop_errors;
  std::map<unsigned, std::deque<int>> request_errors;
  int read_error = 0;
  int write_error = 0;

  std::vector<std::string> calls; // "open <path>", "pop", the request names, "close"
  std::vector<vrn_uptr_info> set_records;
  std::vector<std::string> requests() const; // the I_STR requests only

private:
  bool open_ = false;
};

// Connection attempts, scripted one by one: a success makes a stream pair whose far end
// the test holds as the module; a failure reports its events with errno set. Attempts
// past the script fail as a refused connect.
class ScriptedConnector final : public kvetherd::ModuleConnector {
public:
  struct Attempt {
    bool ok = true;
    std::vector<qdnet::VrnEvent> events; // for a failure: reported in turn
    int error = ECONNREFUSED;
    qdnet::VrnInquiry inquiry{"Orvane", "Lanvara8S-115A", "V6.0"};
  };

  int connect(in_addr_t addr, const qdnet::VrnReporter& report,
              qdnet::VrnInquiry* inquiry) override;

  static Attempt refused() { return Attempt{false, {qdnet::VrnEvent::connect_failed}}; }
  static Attempt success() { return Attempt{}; }

  std::deque<Attempt> script;
  std::vector<in_addr_t> addresses; // of every attempt
  std::vector<std::unique_ptr<Pair>> modules;
  // Called after each successful attempt with its pair.
  std::function<void(Pair&)> on_connect;
  int module_fd() const { return modules.empty() ? -1 : modules.back()->far; }
};

// The daemon's log, in memory: lines with the date stamp, and what went to syslog.
class CapturedLog {
public:
  explicit CapturedLog(kvetherd::Clock& clock);
  ~CapturedLog();
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  kvetherd::Logger& logger() { return logger_; }
  // The lines without their date stamps.
  std::vector<std::string> lines();
  std::string text();
  std::vector<std::string> syslog;

private:
  struct Sink final : kvetherd::SyslogSink {
    explicit Sink(std::vector<std::string>& to) : to_(to) {}
    void error(const std::string& text) override { to_.push_back(text); }
    std::vector<std::string>& to_;
  };

  char* buf_ = nullptr;
  std::size_t len_ = 0;
  std::FILE* file_;
  Sink sink_{syslog};
  kvetherd::Logger logger_;
};

} // namespace kvtest
