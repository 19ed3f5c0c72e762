// mevo as a child on a pseudo-terminal that is its controlling terminal, as a user runs it
// (qdtest::Child gives programs pipes, and mevo needs a terminal). Every wait is bounded by
// kLimit.
#pragma once

#include "qdtest/child_wait.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace mevotest {

inline constexpr std::chrono::milliseconds kLimit{20000};

// Waits for the child's end within kLimit: its exit status, or -1 when a signal killed it
// or it did not end in time (then it is killed).
inline int wait_child(pid_t pid) {
  return qdtest::wait_child(pid, kLimit);
}

class Mevo {
public:
  // Starts mevo with args (without the program name); env adds to the test's environment
  // (which holds QD_DEVDIR while a qdtest::Host runs).
  Mevo(const std::vector<std::string>& args, const std::vector<std::string>& env);
  ~Mevo();
  Mevo(const Mevo&) = delete;
  Mevo& operator=(const Mevo&) = delete;

  pid_t pid() const { return pid_; }
  // Types on the user's keyboard.
  void type(const std::string& keys);
  // Reads the screen until text has shown since the last call that found its text (or the
  // start); false when it does not within kLimit or the screen closes.
  bool shows(const std::string& text);
  // Everything shown so far.
  const std::string& screen() const { return screen_; }
  // Its exit status (see wait_child), then its standard error complete.
  int status();
  const std::string& errors() const { return errors_; }

private:
  pid_t pid_ = -1;
  int master_ = -1;
  int err_ = -1;
  std::string screen_;
  std::size_t seen_ = 0;
  std::string errors_;
  bool ended_ = false;
  int status_ = -1;
};

} // namespace mevotest
