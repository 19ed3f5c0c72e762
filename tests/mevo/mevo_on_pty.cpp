#include "mevo_on_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "qdtest/child_guard.h"

extern char** environ;

namespace mevotest {
namespace {

int ms_left(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads fd into out until pred holds, the descriptor closes or the bound passes.
template <class Pred> bool read_until(int fd, std::string& out, Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!pred()) {
    pollfd pf{fd, POLLIN, 0};
    const int left = ms_left(deadline);
    if (left == 0 || ::poll(&pf, 1, left) != 1) {
      return false;
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      return pred();
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

std::vector<char*> pointers(std::vector<std::string>& v) {
  std::vector<char*> p;
  for (auto& s : v) {
    p.push_back(s.data());
  }
  p.push_back(nullptr);
  return p;
}

std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& x : extra) {
      replaced |= entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1);
    }
    if (!replaced) {
      env.push_back(entry);
    }
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

} // namespace

Mevo::Mevo(const std::vector<std::string>& args, const std::vector<std::string>& env_extra) {
  std::vector<std::string> argv = {"mevo"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = environment_with(env_extra);
  auto av = pointers(argv);
  auto ev = pointers(env);

  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    return;
  }
  const std::string slave = ::ptsname(master_);
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) {
    return;
  }
  // A session of its own, and the pseudo-terminal as its controlling terminal.
  pid_ = qdtest::fork_child(true);
  if (pid_ == 0) {
    const int fd = ::open(slave.c_str(), O_RDWR);
    if (fd < 0) {
      ::_exit(126);
    }
    ::dup2(fd, 0);
    ::dup2(fd, 1);
    ::dup2(p[1], 2);
    if (fd > 2) {
      ::close(fd);
    }
    ::execve(QD_PROGRAM_MEVO, av.data(), ev.data());
    ::_exit(127);
  }
  ::close(p[1]);
  err_ = p[0];
}

Mevo::~Mevo() {
  if (pid_ > 0 && !ended_) {
    qdtest::end_child(pid_);
    wait_child(pid_);
  }
  for (int fd : {master_, err_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

void Mevo::type(const std::string& keys) {
  [[maybe_unused]] ssize_t n = ::write(master_, keys.data(), keys.size());
}

bool Mevo::shows(const std::string& text) {
  std::size_t at = std::string::npos;
  const bool found = read_until(master_, screen_, [&] {
    at = screen_.find(text, seen_);
    return at != std::string::npos;
  });
  if (found) {
    seen_ = at + text.size();
  }
  return found;
}

int Mevo::status() {
  if (!ended_) {
    ended_ = true;
    status_ = wait_child(pid_);
    // What it still showed, and its whole standard error.
    read_until(master_, screen_, [] { return false; });
    read_until(err_, errors_, [] { return false; });
  }
  return status_;
}

} // namespace mevotest
