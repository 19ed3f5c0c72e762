#include "proc_stats.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qdbench {

namespace {

std::string proc_path(pid_t pid, const std::string& rest) {
  return "/proc/" + std::to_string(pid) + "/" + rest;
}

// The value of a "Name:  value ..." line of a status file, or -1.
long status_field(const std::string& path, const std::string& name) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ':') {
      return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

} // namespace

double process_cpu_seconds(pid_t pid) {
  std::ifstream in(proc_path(pid, "stat"));
  std::string text;
  std::getline(in, text);
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  const auto close = text.rfind(')');
  if (close == std::string::npos) {
    return -1;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) {
    fields >> skip;
  }
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long resident_kib(pid_t pid) {
  return status_field(proc_path(pid, "status"), "VmRSS");
}

std::uint64_t live_threads_run_ns(pid_t pid) {
  std::uint64_t ns = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(proc_path(pid, "task"), ec)) {
    std::ifstream in(task.path() / "schedstat");
    std::uint64_t run = 0;
    if (in >> run) {
      ns += run;
    }
  }
  return ns;
}

void ThreadWatch::read_locked() {
  std::error_code ec;
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator(proc_path(pid_, "task"), ec)) {
    const std::string status = (task.path() / "status").string();
    const long vol = status_field(status, "voluntary_ctxt_switches");
    const long invol = status_field(status, "nonvoluntary_ctxt_switches");
    if (vol < 0 || invol < 0) {
      continue; // ended meanwhile
    }
    ++count;
    Seen& s = seen_[static_cast<pid_t>(std::stol(task.path().filename().string()))];
    s.last = static_cast<std::uint64_t>(vol + invol);
  }
  now_ = count;
  if (count > peak_) {
    peak_ = count;
  }
}

void ThreadWatch::sample() {
  std::lock_guard lk(mutex_);
  read_locked();
}

void ThreadWatch::start() {
  std::lock_guard lk(mutex_);
  seen_.clear();
  peak_ = 0;
  read_locked();
  for (auto& [tid, s] : seen_) {
    s.base = s.last;
  }
}

std::uint64_t ThreadWatch::switches() {
  std::lock_guard lk(mutex_);
  read_locked();
  std::uint64_t n = 0;
  for (const auto& [tid, s] : seen_) {
    n += s.last - s.base;
  }
  return n;
}

int ThreadWatch::peak_threads() {
  std::lock_guard lk(mutex_);
  return peak_;
}

int ThreadWatch::threads() {
  std::lock_guard lk(mutex_);
  read_locked();
  return now_;
}

} // namespace qdbench
