// A node server on a temporary device directory over a real-clock kernel with the loopback
// driver, and helpers for tests that wait on threads, signals and child processes. Every wait
// is bounded by kLimit and fails the test when the bound passes.
#pragma once

#include "qdtest/child_wait.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Only forward declarations of the kernel side: the tests include <fcntl.h>, whose FNDELAY
// macro the kernel's headers cannot live with.
namespace kemu {
class Kernel;
class Ddi;
} // namespace kemu
namespace qdhost {
class NodeServer;
} // namespace qdhost

namespace hosttest {

inline constexpr std::chrono::milliseconds kLimit{20000};

// A fresh directory under /tmp, removed (with what is left in it) at the end.
class TempDir {
public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Names of what the directory holds.
  std::vector<std::string> entries() const;

private:
  std::string path_;
};

class Served : public ::testing::Test {
protected:
  Served();
  ~Served() override;
  void SetUp() override;
  void TearDown() override;

  std::string node(const std::string& name) const { return dir_ / name; }
  // Open streams, counted in the kernel.
  std::size_t open_streams();
  // What the server shows.
  std::size_t calls() const;
  std::size_t connections() const;
  std::vector<std::string> served() const;
  // Waits until pred holds, re-checking whenever a call or connection starts or ends; fails
  // the test when it does not within kLimit.
  bool await(const std::function<bool()>& pred, const char* what);
  // Stops the server (as qdhost does at its end).
  void stop_server();

  TempDir dir_;
  std::unique_ptr<kemu::Kernel> kernel_;
  std::unique_ptr<kemu::Ddi> ddi_;
  std::unique_ptr<qdhost::NodeServer> server_;
};

// SIGUSR1 with a handler that does nothing and no SA_RESTART, as the programs install them;
// the old action comes back at the end of the scope.
class InterruptingSignal {
public:
  explicit InterruptingSignal(void (*handler)(int) = nullptr);
  ~InterruptingSignal();

private:
  std::unique_ptr<struct sigaction> old_;
};

// Runs fn on a thread and, once `ready` has returned, signals that thread with SIGUSR1 until
// fn has returned (qdtest::signal_until_return); what `ready` returned.
bool interrupt_while(const std::function<void()>& fn, const std::function<bool()>& ready);

// Leaves a socket file that nobody listens on, as a dead server does.
void leave_stale_socket(const std::string& path);

// A child process: waits for its end within kLimit; its exit status, or -1 when it was
// killed by a signal or did not end in time (then it is killed).
inline int wait_child(pid_t pid) {
  return qdtest::wait_child(pid, kLimit);
}

} // namespace hosttest
