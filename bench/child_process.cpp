#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "qdtest/child_guard.h"

namespace qdbench {

namespace {

std::atomic<bool> g_stop{false};

void on_stop(int) {
  g_stop = true;
}

constexpr auto kPollStep = std::chrono::milliseconds(5);

Ended decode(int status, const rusage& ru) {
  Ended e;
  e.usage = ru;
  if (WIFEXITED(status)) {
    e.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    e.signal = WTERMSIG(status);
  }
  return e;
}

} // namespace

void install_stop_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_stop; // no SA_RESTART: blocking calls return EINTR
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() {
  return g_stop.load();
}

WorkDir::WorkDir() {
  char tmpl[] = "/tmp/qd-sysbench-XXXXXX";
  if (::mkdtemp(tmpl) != nullptr) {
    path_ = tmpl;
    // Traversable by the unprivileged user of the idle connections, writable by us alone.
    ::chmod(path_.c_str(), 0711);
  }
}

WorkDir::~WorkDir() {
  if (!path_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
}

bool WorkDir::write(const std::string& name, const std::string& text) const {
  std::ofstream out(file(name), std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ChildProcess::ChildProcess(const std::string& binary, const std::vector<std::string>& args,
                           const std::vector<std::string>& env, std::string log_path)
    : log_path_(std::move(log_path)) {
  // Everything the child needs is made before the fork: after it only async-signal-safe
  // calls may run.
  std::vector<std::string> all_args{binary};
  all_args.insert(all_args.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all_args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> all_env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& mine : env) {
      replaced = replaced || mine.substr(0, mine.find('=')) == name;
    }
    if (!replaced) {
      all_env.push_back(entry);
    }
  }
  all_env.insert(all_env.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& e : all_env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  const int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log < 0 || null < 0) {
    return;
  }
  pid_ = qdtest::fork_child();
  if (pid_ == 0) {
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(log);
  ::close(null);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    qdtest::end_child(pid_);
    reap(0);
  }
}

bool ChildProcess::reap(int options) {
  if (reaped_) {
    return true;
  }
  int status = 0;
  rusage ru{};
  pid_t r;
  do {
    r = ::wait4(pid_, &status, options, &ru);
  } while (r < 0 && errno == EINTR && options == 0);
  if (r == pid_) {
    reaped_ = true;
    ended_ = decode(status, ru);
    qdtest::forget_child(pid_);
  }
  return reaped_;
}

bool ChildProcess::running() {
  return pid_ > 0 && !reap(WNOHANG);
}

bool ChildProcess::wait_log(const std::string& text, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until && !stop_requested()) {
    if (log().find(text) != std::string::npos) {
      return true;
    }
    if (!running()) {
      return log().find(text) != std::string::npos;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return false;
}

Ended ChildProcess::stop(int sig, std::chrono::milliseconds limit) {
  if (pid_ <= 0) {
    return {};
  }
  if (!reaped_) {
    ::kill(pid_, sig);
    const auto until = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(kPollStep);
    }
    if (!reaped_) {
      qdtest::end_child(pid_);
      reap(0);
      ended_.status = -1;
    }
  }
  return ended_;
}

Ended wait_child(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  rusage ru{};
  for (;;) {
    const pid_t r = ::wait4(pid, &status, WNOHANG, &ru);
    if (r == pid) {
      qdtest::forget_child(pid);
      return decode(status, ru);
    }
    if (r < 0 && errno != EINTR) {
      return {};
    }
    if (std::chrono::steady_clock::now() >= until) {
      qdtest::end_child(pid);
      ::wait4(pid, &status, 0, &ru);
      Ended e = decode(status, ru);
      e.status = -1;
      return e;
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

} // namespace qdbench
