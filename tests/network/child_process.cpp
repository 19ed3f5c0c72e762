#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "qdtest/child_guard.h"

extern char** environ;

namespace nettest {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

Child::Child(const ChildSpec& spec) {
  std::vector<std::string> args{spec.path};
  args.insert(args.end(), spec.args.begin(), spec.args.end());
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    env_text.emplace_back(*e);
  }
  env_text.insert(env_text.end(), spec.env.begin(), spec.env.end());
  std::vector<char*> envp;
  for (auto& e : env_text) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  const std::string ns_path = spec.netns.empty() ? "" : "/run/netns/" + spec.netns;

  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) < 0 || ::pipe2(err, O_CLOEXEC) < 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  const pid_t parent = ::getpid();
  pid_ = qdtest::fork_child();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    if (!ns_path.empty()) {
      const int ns = ::open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || ::setns(ns, CLONE_NEWNET) < 0) {
        ::_exit(126);
      }
    }
    if (spec.uid) {
      if (::setgid(*spec.uid) < 0 || ::setuid(*spec.uid) < 0) {
        ::_exit(126);
      }
      qdtest::stay_with(parent);
    }
    if (!spec.cwd.empty() && ::chdir(spec.cwd.c_str()) < 0) {
      ::_exit(126);
    }
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    qdtest::end_child(pid_);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {out_fd_, err_fd_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool Child::pump(int ms) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) {
    return false;
  }
  if (::poll(p, 2, ms) <= 0) {
    return true;
  }
  int* fds[2] = {&out_fd_, &err_fd_};
  std::string* texts[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (p[i].revents == 0) {
      continue;
    }
    char buf[4096];
    const ssize_t n = ::read(*fds[i], buf, sizeof buf);
    if (n > 0) {
      texts[i]->append(buf, static_cast<std::size_t>(n));
    } else {
      ::close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return out_fd_ >= 0 || err_fd_ >= 0;
}

bool Child::await_out(std::string_view text) {
  const auto deadline = Clock::now() + kLimit;
  while (out_.find(text) == std::string::npos) {
    const int left = remaining_ms(deadline);
    if (left == 0 || !pump(left)) {
      ADD_FAILURE() << "no \"" << text << "\" from the program; it said:\n"
                    << out_ << "\nand on standard error:\n"
                    << err_;
      return false;
    }
  }
  return true;
}

int Child::wait() {
  if (pid_ <= 0) {
    return -1;
  }
  const auto deadline = Clock::now() + kLimit;
  while (remaining_ms(deadline) > 0 && pump(remaining_ms(deadline))) {
  }
  const int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  bool ended = false;
  if (pfd >= 0) {
    pollfd pf{pfd, POLLIN, 0};
    ended = ::poll(&pf, 1, remaining_ms(deadline)) == 1;
    ::close(pfd);
  }
  if (!ended) {
    ADD_FAILURE() << "the program did not end in time; it said:\n" << out_ << "\n" << err_;
    ::kill(pid_, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  qdtest::forget_child(pid_);
  pid_ = -1;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_child(const ChildSpec& spec, std::string* out, std::string* err) {
  Child c(spec);
  const int status = c.wait();
  if (out != nullptr) {
    *out = c.out();
  }
  if (err != nullptr) {
    *err = c.err();
  }
  return status;
}

} // namespace nettest
