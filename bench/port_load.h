// Checked data through many ports at once, moved as programs move it: for each port a child
// process writes a pattern of its own in blocking writes on one descriptor, and a second,
// forked from it, reads it back on another descriptor and checks every byte. Both are
// single-threaded, as the device access library expects of a program. The processes report
// what they did in the moving phase alone (their own rusage), so the benchmark can add their
// CPU to the server's for the same window.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qdbench {

// How a port's processes reach it. Every function runs in a process of the port, after
// the fork; descriptors opened in `prepare` are seen by the others.
struct PortAccess {
  // In the port's first process, before it starts the others: 0, or an errno.
  std::function<int(unsigned port)> prepare = [](unsigned) { return 0; };
  // A blocking descriptor ready for the data, or -1 with errno.
  std::function<int(unsigned port)> open_writer;
  std::function<int(unsigned port)> open_reader;
};

struct LoadOptions {
  unsigned ports = 1;
  std::size_t bytes = 0;    // per port, each way
  std::size_t chunk = 8192; // bytes per write and per read
  std::chrono::seconds limit{600};
};

// CPU and context switches of a set of processes.
struct Usage {
  double cpu_s = 0;
  std::uint64_t switches = 0;
};

struct LoadResult {
  std::uint64_t written = 0; // bytes, all ports
  std::uint64_t read = 0;    // bytes read back and checked, all ports
  std::uint64_t wrong = 0;   // reads whose bytes were not the port's own
  double write_s = 0;        // from the start to the last writer's end
  double read_s = 0;         // from the start to the last reader's end
  Usage moving;              // every process of every port, while moving
  Usage lifetime;            // the same processes' whole lives (wait4), for a check
  unsigned processes = 0;
};

class PortLoad {
public:
  PortLoad(LoadOptions options, PortAccess access);
  // Kills whatever still runs.
  ~PortLoad();
  PortLoad(const PortLoad&) = delete;
  PortLoad& operator=(const PortLoad&) = delete;

  // Starts every port's processes; true once all have their descriptors open and set.
  bool start();
  // Lets them move the data: at_start runs just before, at_end as soon as the last process
  // has reported. True when every byte came back as sent (the ports stay open).
  bool run(LoadResult& result, const std::function<void()>& at_start,
           const std::function<void()>& at_end);
  // Lets the processes close their descriptors and end, and reaps them.
  void finish(LoadResult& result);
  const std::string& error() const { return error_; }

private:
  struct Report;
  void port_process(unsigned port);
  bool collect(std::size_t count, std::vector<Report>& out, std::chrono::milliseconds limit);
  void fail(std::string why);

  LoadOptions options_;
  PortAccess access_;
  int report_r_ = -1, report_w_ = -1;   // reports from the processes
  int go_r_ = -1, go_w_ = -1;           // closed: move
  int release_r_ = -1, release_w_ = -1; // closed: close and end
  std::vector<pid_t> children_;
  std::string error_;
};

} // namespace qdbench
