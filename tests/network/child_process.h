// Programs under test as child processes: their standard output and error collected, every
// wait bounded (a wait that runs out fails the test and the child is killed).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nettest {

inline constexpr std::chrono::milliseconds kLimit{20000};

struct ChildSpec {
  ChildSpec(std::string p, std::vector<std::string> a = {}, std::vector<std::string> e = {})
      : path(std::move(p)), args(std::move(a)), env(std::move(e)) {}
  std::string path;
  std::vector<std::string> args; // after the program's name
  std::vector<std::string> env;  // "NAME=value", added to this process's environment
  std::string netns;             // run inside this named network namespace
  std::optional<uid_t> uid;      // run as this user
  std::string cwd;               // working directory
};

class Child {
public:
  explicit Child(const ChildSpec& spec);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // Reads until standard output holds `text`; false (and a test failure) after kLimit.
  bool await_out(std::string_view text);
  // Waits for the end; the exit status, or -1 when it was killed or ran out of time.
  int wait();
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

private:
  // Reads what is there within `ms`; false once both pipes are at their end.
  bool pump(int ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

// Runs to the end and returns the exit status.
int run_child(const ChildSpec& spec, std::string* out = nullptr, std::string* err = nullptr);

} // namespace nettest
