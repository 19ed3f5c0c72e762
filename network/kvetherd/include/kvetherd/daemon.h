// The relay daemon of one Lanvara unit, from its first log line on: start-up on the unit
// node, then the cycle (offline, connect and exchange, update the description, online,
// relay) for ever. What comes before the log exists (arguments, fork, signals, the log
// file) is the program's main.
#pragma once

#include <netinet/in.h>

#include <csignal>
#include <string>

#include "kvetherd/clock.h"
#include "kvetherd/log.h"
#include "kvetherd/module_connector.h"
#include "kvetherd/relay.h"
#include "kvetherd/unit_node.h"
#include "qdio.h"

namespace kvetherd {

inline constexpr int kReconnectPause = 10; // seconds between connection attempts

struct DaemonParts {
  UnitNode& node;
  ModuleConnector& module;
  Clock& clock;
  Logger& log;
  const volatile std::sig_atomic_t& stop; // set by SIGTERM
};

class Daemon {
public:
  explicit Daemon(const DaemonParts& parts) : p_(parts) {}
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Logs the start, opens the node, pops its two modules, reads the unit description and
  // takes `address` (dotted, may be null) in place of the driver's.
  Outcome start(const std::string& node_path, const char* address);
  // One pass of the cycle: the unit offline (not on the first pass), connection attempts
  // every 10 seconds until one succeeds, the unit online, the relay. retry when the relay
  // ended and the socket is closed; fatal or terminated when the daemon must stop.
  Outcome cycle();
  // start, then the cycle until it must stop: fatal or terminated.
  Outcome run(const std::string& node_path, const char* address);

  // One connection attempt with the exchange; on success the description goes to the
  // driver and the socket stays open (done). retry: nothing is left open.
  Outcome make_socket_connection();

  // The shutdown without the exit: its log line, then the node and the socket closed.
  void shutdown();
  // SIGTERM's log line, then the shutdown.
  void terminate();

  const vrn_uptr_info& unit() const { return unit_; }
  int sock_fd() const { return sock_fd_; }

private:
  Outcome failure(Outcome outcome, int flags, const std::string& text);
  Outcome take_offline();
  void close_socket();
  void report(qdnet::VrnEvent e);

  DaemonParts p_;
  vrn_uptr_info unit_{};
  int sock_fd_ = -1;
  bool first_ = true;
};

// The address as a number whose most significant byte is its first octet, as "%8x" shows.
unsigned address_number(in_addr_t addr_net);

} // namespace kvetherd
