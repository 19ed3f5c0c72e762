// Programs the benchmark runs as children (qdhost, kvetherd), and the work directory they
// use. Every child is in a process group of its own and dies with the benchmark
// (qdtest/child_guard.h, shared with the tests' harness), so nothing is left running when
// the benchmark fails, is interrupted or is killed.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qdbench {

// A SIGINT or SIGTERM came: every bounded wait gives up, so the run ends and cleans up.
// Install before the first child is started.
void install_stop_handler();
bool stop_requested();

// A fresh directory under /tmp, removed with everything in it at destruction.
class WorkDir {
public:
  WorkDir();
  ~WorkDir();
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  bool write(const std::string& name, const std::string& text) const;

private:
  std::string path_;
};

std::string read_text(const std::string& path);

struct Ended {
  int status = -1; // exit status, -1 when a signal ended it or it had to be killed
  int signal = 0;
  rusage usage{}; // the child's own and its reaped children's, whole life
};

class ChildProcess {
public:
  // Runs binary with args; env entries "NAME=value" are added to the benchmark's own;
  // standard output and error go to log_path; standard input is /dev/null.
  ChildProcess(const std::string& binary, const std::vector<std::string>& args,
               const std::vector<std::string>& env, std::string log_path);
  // Kills its process group and reaps it, unless it was waited for.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  std::string log() const { return read_text(log_path_); }
  // Until `text` shows in the log (true), or the child ends or the limit passes (false).
  bool wait_log(const std::string& text, std::chrono::milliseconds limit);
  // Sends sig and waits for the end; past the limit the group is killed.
  Ended stop(int sig, std::chrono::milliseconds limit);

private:
  bool reap(int options);

  pid_t pid_ = -1;
  std::string log_path_;
  bool reaped_ = false;
  Ended ended_;
};

// Reaps a child started with qdtest::fork_child within the limit (killing its group past
// it), with its rusage.
Ended wait_child(pid_t pid, std::chrono::milliseconds limit);

} // namespace qdbench
