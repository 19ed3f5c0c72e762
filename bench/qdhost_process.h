// qdhost as a child process of the benchmark, on a device directory of its own in the work
// directory, its heap allocations counted by the preloaded shim.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "child_process.h"

namespace qdbench {

struct Programs {
  std::string qdhost;
  std::string kvetherd;
  std::string alloc_shim; // empty: allocations are not counted
};

class QdhostProcess {
public:
  // Files go to work/<name>.*, the device directory is work/<name>/dev.
  QdhostProcess(const WorkDir& work, const std::string& name, Programs programs);
  ~QdhostProcess();
  QdhostProcess(const QdhostProcess&) = delete;
  QdhostProcess& operator=(const QdhostProcess&) = delete;

  // Starts it on the qd.conf and topology texts and waits until it serves its nodes; sets
  // QD_DEVDIR for this process (and so for the clients it forks). False: error() says why.
  bool start(const std::string& conf, const std::string& topology,
             const std::vector<std::string>& args);
  pid_t pid() const { return child_ ? child_->pid() : -1; }
  const std::string& devdir() const { return devdir_; }
  std::string node(const std::string& name) const { return devdir_ + "/" + name; }
  const Programs& programs() const { return programs_; }
  // Allocations so far (0 when not counted).
  std::uint64_t allocations() const { return counter_ ? counter_->count() : 0; }
  bool counts_allocations() const { return counter_ && counter_->ok(); }
  // Paths of the nodes whose names start with `prefix` (no pty links, no dial-out nodes), by
  // minor number.
  std::vector<std::string> nodes(const std::string& prefix) const;
  // SIGTERM and the wait; false (error() says why) when it failed to end cleanly or left
  // something in its device directory.
  bool stop(Ended* ended);
  std::string log() const { return child_ ? child_->log() : std::string(); }
  const std::string& error() const { return error_; }

private:
  const WorkDir& work_;
  std::string name_;
  Programs programs_;
  std::string devdir_;
  std::unique_ptr<AllocCounter> counter_;
  std::unique_ptr<ChildProcess> child_;
  std::string error_;
};

} // namespace qdbench
