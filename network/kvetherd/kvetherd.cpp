// kvetherd: the relay daemon of one Lanvara unit. Started with the unit node's name, it
// forks into the background and carries the unit's FAS stream between the driver and the
// module's TCP connection, reconnecting whenever the connection fails or falls silent.
// Test aids: see kvetherd/startup.h.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "kvetherd/clock.h"
#include "kvetherd/daemon.h"
#include "kvetherd/log.h"
#include "kvetherd/module_connector.h"
#include "kvetherd/startup.h"
#include "kvetherd/termination.h"
#include "kvetherd/unit_node.h"
#include "kvutils.h"

namespace {

// A module that stops answering in the middle of the exchange is given up after as long
// as the relay waits for a silent one.
constexpr int kExchangeLimitMs = kvetherd::kIdleLimit * 1000;

kvetherd::Daemon* g_daemon = nullptr;
int g_log_fd = -1;

void close_log() {
  if (g_log_fd >= 0) {
    ::close(g_log_fd);
    g_log_fd = -1;
  }
}

// SIGTERM while the daemon waits (see termination.h).
void on_sigterm() {
  if (g_daemon != nullptr) {
    g_daemon->terminate();
  }
  close_log();
  ::_exit(1);
}

} // namespace

int main(int argc, char** argv) {
  // It takes no options: "-h" is a mistake, not a unit node to serve in the background.
  if (argc < 2 || argc > 3 || kv::any_option({argv + 1, argv + argc})) {
    std::fputs(kvetherd::kUsage, stderr);
    return 1;
  }
  if (!kvetherd::stay_in_foreground()) {
    // A failed fork leaves this process to go on as the daemon.
    if (::fork() > 0) {
      return 0;
    }
  }
  kvetherd::install_signal_handlers(on_sigterm);

  const std::string arg = argv[1];
  const std::string path =
      kvetherd::log_path(kvetherd::log_directory(), kvetherd::base_name(arg), ::getpid());
  g_log_fd = kvetherd::open_log(path);
  if (g_log_fd < 0) {
    std::perror(path.c_str());
    return 1;
  }
  ::dup2(g_log_fd, STDERR_FILENO);

  kvetherd::SystemClock clock;
  kvetherd::SystemSyslog syslog;
  kvetherd::Logger log(stderr, syslog, [&clock] {
    const std::time_t t = clock.now();
    std::tm local{};
    ::localtime_r(&t, &local);
    return local;
  });
  kvetherd::DeviceUnitNode node;
  kvetherd::TcpModuleConnector module(kExchangeLimitMs);
  kvetherd::Daemon daemon(
      kvetherd::DaemonParts{node, module, clock, log, kvetherd::termination_flag()});
  g_daemon = &daemon;

  const kvetherd::Outcome end = daemon.run(kvetherd::node_path(arg), argc == 3 ? argv[2] : nullptr);
  if (end == kvetherd::Outcome::terminated) {
    daemon.terminate();
  } else {
    daemon.shutdown();
  }
  g_daemon = nullptr;
  close_log();
  return 1;
}
