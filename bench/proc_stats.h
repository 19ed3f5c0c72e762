// What Linux's /proc says about another process: CPU time, resident memory, its threads and
// their context switches.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace qdbench {

// User plus system CPU seconds of the whole process, its ended threads included
// (/proc/PID/stat, clock-tick resolution); negative when it cannot be read.
double process_cpu_seconds(pid_t pid);
// VmRSS in KiB (/proc/PID/status); negative when it cannot be read.
long resident_kib(pid_t pid);
// Nanoseconds its live threads have run (/proc/PID/task/*/schedstat): finer than the stat
// file, for short windows in which no thread ends.
std::uint64_t live_threads_run_ns(pid_t pid);

// A process's threads, sampled from /proc/PID/task: how many there were at most, and the
// context switches (voluntary and not) made by all of them between start() and now.
// /proc/PID/status counts the first thread's only and /proc/PID/stat has none, so each
// thread is followed on its own; one that ends between two samples loses what it did after
// the last. Sampling is safe from one thread while another reads.
class ThreadWatch {
public:
  explicit ThreadWatch(pid_t pid) : pid_(pid) {}

  void sample();
  // Starts a window: switches() counts from now, peak_threads() is reset.
  void start();
  std::uint64_t switches();
  int peak_threads();
  int threads();

private:
  struct Seen {
    std::uint64_t base = 0; // at the window's start, or 0 for a thread born in it
    std::uint64_t last = 0;
  };
  void read_locked();

  pid_t pid_;
  std::mutex mutex_;
  std::map<pid_t, Seen> seen_;
  int peak_ = 0;
  int now_ = 0;
};

} // namespace qdbench
