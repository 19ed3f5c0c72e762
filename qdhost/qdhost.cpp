// qdhost: boots the emulated kernel, builds the system (system_setup.h) and serves its device
// nodes until SIGTERM or SIGINT. Then every call waiting in the kernel gets a signal, every
// stream is closed (a close waits a few seconds at most for its port's output), the sockets
// go, the driver is unloaded and qdhost exits 0, whatever the ports are doing. A refused
// qd.conf, topology or permission table, or a device directory it cannot trust or another
// qdhost serves, ends it with status 1 before anything is served; the device directory's
// path is checked first of all (qdhost/device_dir.h).
//
// Two host threads whatever the system's size: this one, which waits for the signal and
// writes the log out, and the kernel's CPU thread, which runs every kernel context and,
// between them, all host I/O: the node sockets (node_server.h), the pty far ends and the
// emulated Lanvara modules' TCP. The CPU thread never writes to standard error itself: what
// it says waits in the log's buffer (kemu/host_log.h), so a reader that stops reading
// costs messages, never service.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "kemu/console.h"
#include "kemu/ddi.h"
#include "kemu/host_log.h"
#include "kemu/kernel.h"
#include "qdhost/device_dir.h"
#include "qdhost/host_config.h"
#include "qdhost/minor_perm.h"
#include "qdhost/node_server.h"
#include "qdhost/system_setup.h"

namespace {

// Room for every connection allowed and what the system holds besides (listeners, ptys,
// modules): as far as the hard limit lets the soft one go.
void raise_descriptor_limit(std::size_t connections) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) {
    return;
  }
  const rlim_t want = static_cast<rlim_t>(connections) + 1024;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? want : std::min(want, rl.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
}

void say(const std::string& line) {
  kemu::log_text("qdhost: " + line + "\n");
}

void print_reports(kemu::Kernel& kernel) {
  for (const kemu::Report& r : kernel.take_reports()) {
    say("kernel: " + r.what);
  }
}

// What is left in the log goes out at the end, as far as standard error takes it within
// a bounded time: a reader that has stopped must not keep qdhost from exiting.
struct LogAtExit {
  ~LogAtExit() { kemu::drain_log(2000); }
};

// Writes the log out while waiting for one of the signals; the signal's number.
int serve_until_signal(const sigset_t& signals) {
  const int sfd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  for (;;) {
    const bool more = kemu::write_log();
    pollfd fds[3] = {{sfd, POLLIN, 0},
                     {kemu::log_ready_fd(), POLLIN, 0},
                     {more ? kemu::log_out_fd() : -1, POLLOUT, 0}};
    if (::poll(fds, 3, -1) < 0 || (fds[0].revents & POLLIN) == 0) {
      continue;
    }
    signalfd_siginfo si{};
    if (::read(sfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      ::close(sfd);
      return static_cast<int>(si.ssi_signo);
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  std::vector<const char*> args(argv + 1, argv + argc);
  std::string error;
  auto cfg = qdhost::parse_command_line(args, std::getenv("QD_DEVDIR"), &error);
  if (!cfg) {
    std::fprintf(stderr, "qdhost: %s\n%s\n", error.c_str(), qdhost::kUsage);
    return 1;
  }

  // Every thread started from here on inherits the mask, so the signals wait for sigwait.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Before anything starts: a directory that cannot be trusted is refused at once.
  int dir_err = 0;
  std::shared_ptr<const qdhost::DeviceDir> devdir =
      qdhost::DeviceDir::open(cfg->devdir, &dir_err, &error);
  if (!devdir) {
    std::fprintf(stderr, "qdhost: %s\n", error.c_str());
    return 1;
  }

  auto perms = qdhost::load_minor_perm(
      cfg->minor_perm.empty() ? qdhost::default_minor_perm_path() : cfg->minor_perm, &error);
  if (!perms) {
    std::fprintf(stderr, "qdhost: %s\n", error.c_str());
    return 1;
  }

  kemu::buffer_log(STDERR_FILENO, "qdhost");
  LogAtExit log_at_exit; // after the kernel's end, which may report
  kemu::console_to_stderr(true);
  kemu::KernelOptions opts;
  opts.clock = kemu::ClockMode::kReal;
  opts.speed = cfg->speed;
  kemu::Kernel kernel(opts);
  kemu::TreeSpec tree;
  tree.adapters.clear();
  kemu::Ddi ddi(tree);

  qdhost::HostSystem system(kernel, ddi, *cfg);
  if (int err = system.bring_up(&error); err != 0) {
    say(error.empty() ? "setup failed" : error);
    print_reports(kernel);
    return 1;
  }
  for (const std::string& line : system.summary()) {
    say(line);
  }
  int status = 0;
  {
    raise_descriptor_limit(static_cast<std::size_t>(cfg->max_connections));
    qdhost::NodeServerOptions server_opts{devdir->path(), std::move(*perms),
                                          std::chrono::seconds(cfg->drain_bound),
                                          static_cast<std::size_t>(cfg->max_connections)};
    server_opts.opened = devdir;
    qdhost::NodeServer server(kernel, ddi, std::move(server_opts));
    if (server.start() != 0) {
      say(server.error());
      status = 1;
    } else if (system.publish(devdir, &error) != 0) {
      say(error);
      status = 1;
    } else {
      for (const std::string& link : system.links()) {
        say(link);
      }
      // The last line of the start-up report: everything is served from here on.
      say("serving " + std::to_string(server.served().size()) + " nodes in " + devdir->path());
      const int sig = serve_until_signal(stop_signals);
      say("stopping on signal " + std::to_string(sig));
    }
  }
  error.clear();
  if (system.take_down(&error) != 0) {
    status = 1;
  }
  if (!error.empty()) {
    say(error);
  }
  print_reports(kernel);
  return status;
}
