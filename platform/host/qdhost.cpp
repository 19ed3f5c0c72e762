// qdhost: boots the emulated kernel, builds the system (system_setup.h) and serves its device
// nodes until SIGTERM or SIGINT. Then every call waiting in the kernel gets a signal, every
// stream is closed (a close waits a few seconds at most for its port's output), the sockets
// go, the driver is unloaded and qdhost exits 0, whatever the ports are doing. A refused
// qd.conf, topology or permission table, or a device directory it cannot trust or another
// qdhost serves, ends it with status 1 before anything is served; the device directory's
// path is checked first of all (qdhost/device_dir.h).
//
// Two host threads whatever the system's size: this one, which waits for the signal, and
// the kernel's CPU thread, which runs every kernel context and, between them, all host I/O:
// the node sockets (node_server.h), the pty far ends and the emulated Lanvara modules' TCP.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "kemu/console.h"
#include "kemu/ddi.h"
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

void print_reports(kemu::Kernel& kernel) {
  for (const kemu::Report& r : kernel.take_reports()) {
    std::fprintf(stderr, "qdhost: kernel: %s\n", r.what.c_str());
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
    std::fprintf(stderr, "qdhost: %s\n", error.empty() ? "setup failed" : error.c_str());
    print_reports(kernel);
    return 1;
  }
  for (const std::string& line : system.summary()) {
    std::fprintf(stderr, "qdhost: %s\n", line.c_str());
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
      std::fprintf(stderr, "qdhost: %s\n", server.error().c_str());
      status = 1;
    } else if (system.publish(devdir, &error) != 0) {
      std::fprintf(stderr, "qdhost: %s\n", error.c_str());
      status = 1;
    } else {
      for (const std::string& link : system.links()) {
        std::fprintf(stderr, "qdhost: %s\n", link.c_str());
      }
      // The last line of the start-up report: everything is served from here on.
      std::fprintf(stderr, "qdhost: serving %zu nodes in %s\n", server.served().size(),
                   devdir->path().c_str());
      int sig = 0;
      sigwait(&stop_signals, &sig);
      std::fprintf(stderr, "qdhost: stopping on signal %d\n", sig);
    }
  }
  error.clear();
  if (system.take_down(&error) != 0) {
    status = 1;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "qdhost: %s\n", error.c_str());
  }
  print_reports(kernel);
  return status;
}
