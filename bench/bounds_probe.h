// What qdhost's clients cost it when they do not behave like the data movers: many idle
// connections of one unprivileged user, and a client that queues writes without reading
// the results.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qdbench {

struct IdleConnections {
  bool ok = false;
  std::string error;
  int wanted = 0;
  int opened = 0;
  std::string first_failure; // why an open failed, if one did
  long rss_before_kib = 0;
  long rss_after_kib = 0;
  int threads_before = 0;
  int threads_after = 0;
};

// `count` opens, round robin over `nodes`, by a child process running as user and group
// 65534 when the benchmark runs as root; qdhost's VmRSS and threads before and once all are
// open and idle. They are closed before it returns.
IdleConnections idle_connections(pid_t qdhost, const std::vector<std::string>& nodes, int count);

struct QueuedWrites {
  bool ok = false;
  std::string error;
  int wanted = 0;
  int sent = 0;          // write requests that left the client
  bool held_off = false; // qdhost stopped taking requests (the client's sends stalled)
  std::size_t request_bytes = 0;
  long rss_before_kib = 0;
  long rss_peak_kib = 0;
  long rss_after_kib = 0;
};

// On `node` (a port whose loopback plug and hardware flow control stop its output once the
// data that came back is not read): a connection that opens it, asks for four reads, then
// sends `count` writes of the largest size one request carries without reading a result.
QueuedWrites queued_writes(pid_t qdhost, const std::string& node, int count);

} // namespace qdbench
