#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "qdtest/child_guard.h"

extern char** environ;

namespace kvtest {

Spawned spawn(const std::string& path, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::function<void()>& in_child) {
  std::vector<std::string> argv_text{path};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    env_text.emplace_back(*e);
  }
  env_text.insert(env_text.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : env_text) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);

  Spawned s;
  int err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return s;
  }
  s.pid = qdtest::fork_child();
  if (s.pid == 0) {
    ::dup2(err[1], STDERR_FILENO);
    if (in_child) {
      in_child();
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(err[1]);
  s.err = err[0];
  if (s.pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
  }
  return s;
}

int wait_exit(pid_t pid, int ms) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    ADD_FAILURE() << "pidfd_open " << pid << ": " << std::strerror(errno);
    return -1;
  }
  pollfd p{pidfd, POLLIN, 0};
  const int ready = ::poll(&p, 1, ms);
  ::close(pidfd);
  if (ready <= 0) {
    ADD_FAILURE() << "process " << pid << " did not end in time";
    qdtest::end_child(pid);
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  const pid_t reaped = ::waitpid(pid, &status, 0);
  qdtest::forget_child(pid);
  if (reaped != pid) {
    ADD_FAILURE() << "waitpid " << pid << ": " << std::strerror(errno);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read_to_end(int fd, int ms) {
  std::string out;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) {
      ADD_FAILURE() << "pipe did not reach its end in time";
      break;
    }
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

std::vector<std::string> file_names(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.push_back(e.path().filename().string());
  }
  return out;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
  auto it = lines.begin();
  for (const auto& w : want) {
    it = std::find(it, lines.end(), w);
    if (it == lines.end()) {
      return false;
    }
    ++it;
  }
  return true;
}

std::vector<std::string> log_lines(const std::string& text) {
  static const std::regex stamp(R"(^\d\d/\d\d/\d{2,3} \d\d:\d\d:\d\d: (.*)$)");
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, stamp)) {
      ADD_FAILURE() << "line without its date stamp: " << line;
      out.push_back(line);
      continue;
    }
    out.push_back(m[1]);
  }
  return out;
}

bool wait_file(const std::string& path, const std::function<bool(const std::string&)>& pred,
               int ms) {
  const int in = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (in < 0) {
    ADD_FAILURE() << "inotify: " << std::strerror(errno);
    return false;
  }
  const std::string dir = std::filesystem::path(path).parent_path().string();
  ::inotify_add_watch(in, dir.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  bool ok = false;
  for (;;) {
    if (pred(read_file(path))) {
      ok = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{in, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char events[4096];
    while (::read(in, events, sizeof events) > 0) {
    }
  }
  ::close(in);
  return ok;
}

} // namespace kvtest
