// Child processes for the daemon's tests, every wait bounded: a wait that runs out fails
// the test and the child is killed.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kvtest {

inline constexpr int kWaitMs = 20000;

struct Spawned {
  pid_t pid = -1;
  int err = -1; // read end of the child's standard error
};

// Runs `path` with `args` after its name and `env` ("NAME=value") added to this process's
// environment. `in_child` runs in the child before exec (async-signal-safe calls only). The
// child dies with the test unless wait_exit() reaped it first (qdtest/child_guard.h).
Spawned spawn(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::function<void()>& in_child = {});

// The exit status of a child (or of a process reparented to this one), or -1 when it was
// ended by a signal or did not end within `ms` (then it is killed).
int wait_exit(pid_t pid, int ms = kWaitMs);

// What the pipe holds up to its end (all writers gone); the descriptor is closed.
std::string read_to_end(int fd, int ms = kWaitMs);

// The names of the files in a directory.
std::vector<std::string> file_names(const std::string& dir);

std::string read_file(const std::string& path);

// Whether `lines` holds `want` in this order (other lines may come between).
bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& want);

// The daemon's log lines without their date stamps; a line without one fails the test.
std::vector<std::string> log_lines(const std::string& text);

// Waits until the file's content satisfies `pred` (checked at once and after every change
// in its directory): true; false when `ms` passed first.
bool wait_file(const std::string& path, const std::function<bool(const std::string&)>& pred,
               int ms = kWaitMs);

} // namespace kvtest
