// The whole system as programs use it: qdhost started as a child process on a topology,
// checked data moved through N port nodes at once by client processes, a 1-byte echo on a
// SCSI unit and on a Lanvara unit relayed by kvetherd, qdhost's cost while idle, and a
// Linux pty pair doing the same in the same run as the baseline.
//
// A plain program rather than a Google Benchmark: one measured run is many processes
// moving a fixed amount of data once, read from /proc and rusage, not a loop the library
// could repeat and time in this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bounds_probe.h"
#include "child_process.h"
#include "echo_probe.h"
#include "port_access.h"
#include "port_load.h"
#include "proc_stats.h"
#include "qdev/qdev.h"
#include "qdhost_process.h"

namespace qdbench {
namespace {

constexpr const char kUsage[] =
    "usage: bench_system [--ports N] [--bytes SIZE] [--chunk SIZE] [--echoes N]\n"
    "                    [--idle-seconds S] [--topology FILE --node-prefix NAME [--conf FILE]]\n"
    "                    [--bounds] [--idle-connections N] [--queued-writes N] [--pty-pairs N]\n"
    "                    [--no-lanvara] [--qdhost PATH] [--kvetherd PATH] [--no-alloc-count]\n"
    "  SIZE takes K or M (KiB, MiB). --bytes is per port, each way.";

struct Options {
  unsigned ports = 126;
  std::size_t bytes = 1 << 20;
  std::size_t chunk = 8192;
  int echoes = 200;
  int idle_seconds = 5;
  std::string topology, conf, node_prefix = "ttyc2";
  bool bounds = false;
  int idle_connections = 3000;
  int queued_writes = 1500;
  unsigned pty_pairs = 1;
  bool lanvara = true;
  Programs programs{QDHOST_PATH, KVETHERD_PATH, ALLOC_SHIM_PATH};
};

std::optional<std::size_t> parse_size(const std::string& text) {
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  const std::string unit = end;
  const std::size_t scale = unit.empty() ? 1 : unit == "K" ? 1024 : unit == "M" ? 1 << 20 : 0;
  if (end == text.c_str() || scale == 0 || v == 0) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(v) * scale;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) {
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    auto number = [&](auto& out) {
      const auto v = value();
      const auto n = v ? parse_size(*v) : std::nullopt;
      if (!n) {
        return false;
      }
      out = static_cast<std::remove_reference_t<decltype(out)>>(*n);
      return true;
    };
    bool ok = true;
    if (a == "--ports") {
      ok = number(o.ports);
    } else if (a == "--bytes") {
      ok = number(o.bytes);
    } else if (a == "--chunk") {
      ok = number(o.chunk);
    } else if (a == "--echoes") {
      ok = number(o.echoes);
    } else if (a == "--idle-seconds") {
      ok = number(o.idle_seconds);
    } else if (a == "--idle-connections") {
      ok = number(o.idle_connections);
    } else if (a == "--queued-writes") {
      ok = number(o.queued_writes);
    } else if (a == "--pty-pairs") {
      ok = number(o.pty_pairs);
    } else if (a == "--bounds") {
      o.bounds = true;
    } else if (a == "--no-lanvara") {
      o.lanvara = false;
    } else if (a == "--no-alloc-count") {
      o.programs.alloc_shim.clear();
    } else if (a == "--topology" || a == "--conf" || a == "--node-prefix" || a == "--qdhost" ||
               a == "--kvetherd") {
      const auto v = value();
      ok = v.has_value();
      std::string& out = a == "--topology"      ? o.topology
                         : a == "--conf"        ? o.conf
                         : a == "--node-prefix" ? o.node_prefix
                         : a == "--qdhost"      ? o.programs.qdhost
                                                : o.programs.kvetherd;
      out = v.value_or("");
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "bench_system: bad argument '%s'\n%s\n", a.c_str(), kUsage);
      return std::nullopt;
    }
  }
  return o;
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// Samples a process's threads every few milliseconds while a window is open.
class Sampler {
public:
  explicit Sampler(ThreadWatch& watch) : watch_(watch) {}
  ~Sampler() { end(); }
  void begin() {
    watch_.start();
    running_ = true;
    thread_ = std::thread([this] {
      while (running_) {
        watch_.sample();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }
  void end() {
    running_ = false;
    if (thread_.joinable()) {
      thread_.join();
    }
  }

private:
  ThreadWatch& watch_;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

struct DataRun {
  LoadResult load;
  double server_cpu_s = 0; // qdhost's (0 for the pty pair: the kernel's work is the clients')
  std::uint64_t server_switches = 0;
  std::uint64_t server_allocs = 0;
  int server_peak_threads = 0;
  double mbs_out() const { return load.written / load.write_s / 1e6; }
  double mbs_back() const { return load.read / load.read_s / 1e6; }
  double ns_per_byte() const {
    return (server_cpu_s + load.moving.cpu_s) * 1e9 / static_cast<double>(load.written);
  }
  double kib() const { return static_cast<double>(load.written) / 1024; }
};

struct Report {
  bool failed = false;
  std::optional<DataRun> qd, pty;
  std::optional<EchoTimes> echo_scsi, echo_lanvara, echo_pty;
  double idle_scsi = -1, idle_lanvara = -1, idle_kvetherd = -1;
  int idle_scsi_threads = 0;
  std::optional<IdleConnections> idle_conns;
  std::optional<QueuedWrites> queued;
  std::optional<Ended> qdhost_life;
};

void complain(Report& rep, const std::string& what) {
  rep.failed = true;
  std::fprintf(stderr, "bench_system: %s\n", what.c_str());
}

void check(Report& rep, const char* what, bool ok, const std::string& error) {
  if (!ok) {
    complain(rep, what + (": " + error));
  }
}

// Share of one core a process's live threads used over `seconds` of doing nothing.
double idle_share(pid_t pid, int seconds) {
  const std::uint64_t before = live_threads_run_ns(pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return static_cast<double>(live_threads_run_ns(pid) - before) / (seconds * 1e9);
}

// Starts qdhost on the unit under test; its first `o.ports` port nodes, or none (and the
// report says why).
std::vector<std::string> start_unit(const Options& o, QdhostProcess& host, Report& rep) {
  const std::string conf =
      o.conf.empty() ? "forceload=1;\nallow_unload=1;\nname=\"qd\" parent=\"pseudo\" instance=0;\n"
                     : read_text(o.conf);
  const std::string topology =
      o.topology.empty() ? "qmx 0:2 QMX-126S-115\n  port all loopback\n" : read_text(o.topology);
  // A close of a client that went away waits this long for the port's output.
  if (!host.start(conf, topology, {"--drain-bound", "2"})) {
    complain(rep, host.error());
    return {};
  }
  std::vector<std::string> nodes = host.nodes(o.node_prefix);
  if (nodes.size() < o.ports) {
    complain(rep, "only " + std::to_string(nodes.size()) + " nodes named " + o.node_prefix +
                      "* in " + host.devdir());
    return {};
  }
  nodes.resize(o.ports);
  return nodes;
}

void stop_unit(QdhostProcess& host, Report& rep, Ended* life = nullptr) {
  Ended ended;
  if (!host.stop(&ended)) {
    complain(rep, host.error());
  }
  if (life != nullptr) {
    *life = ended;
  }
}

void qmx_phase(const Options& o, const WorkDir& work, Report& rep) {
  QdhostProcess host(work, "qmx", o.programs);
  const std::vector<std::string> nodes = start_unit(o, host, rep);
  if (nodes.empty()) {
    return;
  }
  std::printf("qdhost (pid %d) started; moving through %u port nodes %s*\n", host.pid(), o.ports,
              o.node_prefix.c_str());
  std::fflush(stdout);

  DataRun run;
  {
    PortLoad load({o.ports, o.bytes, o.chunk}, node_access(nodes));
    if (!load.start()) {
      return complain(rep, "clients: " + load.error() + "\n" + host.log());
    }
    ThreadWatch watch(host.pid());
    Sampler sampler(watch);
    double cpu0 = 0;
    std::uint64_t alloc0 = 0;
    const bool moved = load.run(
        run.load,
        [&] {
          sampler.begin();
          cpu0 = process_cpu_seconds(host.pid());
          alloc0 = host.allocations();
        },
        [&] {
          run.server_allocs = host.allocations() - alloc0;
          run.server_cpu_s = process_cpu_seconds(host.pid()) - cpu0;
          run.server_switches = watch.switches();
          sampler.end();
          run.server_peak_threads = watch.peak_threads();
        });
    if (!moved) {
      return complain(rep, "data: " + load.error());
    }
    rep.qd = run;
    // Every port open, nothing moving.
    rep.idle_scsi = idle_share(host.pid(), o.idle_seconds);
    rep.idle_scsi_threads = watch.threads();
    // The readers have stopped reading: the echo's byte comes back to this descriptor.
    const int fd = open_port_node(nodes[0], O_RDWR);
    if (fd < 0) {
      return complain(rep, nodes[0] + ": " + std::strerror(errno));
    }
    rep.echo_scsi = measure_echo(fd, o.echoes, std::chrono::seconds(1));
    check(rep, "SCSI echo", rep.echo_scsi->ok, rep.echo_scsi->error);
    qdev::close(fd);
    load.finish(rep.qd->load);
    if (!load.error().empty()) {
      complain(rep, "clients: " + load.error());
    }
  }
  Ended life;
  stop_unit(host, rep, &life);
  rep.qdhost_life = life;
}

// Each on a fresh qdhost, so that neither inherits the other's memory.
void bounds_phase(const Options& o, const WorkDir& work, Report& rep) {
  {
    QdhostProcess host(work, "queue", o.programs);
    const std::vector<std::string> nodes = start_unit(o, host, rep);
    if (nodes.empty()) {
      return;
    }
    rep.queued = queued_writes(host.pid(), nodes.back(), o.queued_writes);
    check(rep, "queued writes", rep.queued->ok, rep.queued->error);
    stop_unit(host, rep);
  }
  QdhostProcess host(work, "connections", o.programs);
  const std::vector<std::string> nodes = start_unit(o, host, rep);
  if (nodes.empty()) {
    return;
  }
  rep.idle_conns = idle_connections(host.pid(), nodes, o.idle_connections);
  check(rep, "idle connections", rep.idle_conns->ok, rep.idle_conns->error);
  stop_unit(host, rep);
}

// A loopback address of this run's own for the emulated module (it listens on a fixed
// port), one nothing listens on yet.
std::string free_module_address() {
  for (unsigned n = static_cast<unsigned>(::getpid()), tries = 0; tries < 64; ++n, ++tries) {
    const std::string addr =
        "127.78." + std::to_string((n / 250) % 250 + 1) + "." + std::to_string(n % 250 + 2);
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(10001);
    a.sin_addr.s_addr = ::inet_addr(addr.c_str());
    const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    if (free) {
      return addr;
    }
  }
  return {};
}

void lanvara_phase(const Options& o, const WorkDir& work, Report& rep) {
  const std::string addr = free_module_address();
  if (addr.empty()) {
    return complain(rep, "no free loopback address for the module");
  }
  QdhostProcess host(work, "lanvara", o.programs);
  const std::string model = "Lanvara8S-115A";
  if (!host.start("forceload=1;\nallow_unload=1;\nvrn0=\"" + model + "," + addr +
                      "\";\nname=\"qd\" parent=\"pseudo\" instance=0;\n",
                  "lanvara " + addr + " " + model + "\n  port all loopback\n", {})) {
    return complain(rep, host.error());
  }
  const std::string logs = work.file("kvetherd-logs");
  ::mkdir(logs.c_str(), 0755);
  ChildProcess daemon(
      o.programs.kvetherd, {"vrnn0"},
      {"QD_DEVDIR=" + host.devdir(), "KVETHERD_FOREGROUND=1", "KVETHERD_LOGDIR=" + logs},
      work.file("kvetherd.out"));
  // The unit's ports open once the daemon has brought it online.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int fd = -1;
  while (fd < 0 && std::chrono::steady_clock::now() < until && !stop_requested() &&
         daemon.running()) {
    fd = open_port_node(host.node("ttyn00"), O_RDWR);
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  if (fd < 0) {
    return complain(rep, "the Lanvara unit did not come online:\n" + host.log() +
                             read_text(work.file("kvetherd.out")));
  }
  rep.echo_lanvara = measure_echo(fd, o.echoes, std::chrono::seconds(1));
  check(rep, "Lanvara echo", rep.echo_lanvara->ok, rep.echo_lanvara->error);
  std::vector<int> open_ports{fd};
  for (const std::string& n : host.nodes("ttyn0")) {
    if (n != host.node("ttyn00")) {
      if (const int other = open_port_node(n, O_RDWR); other >= 0) {
        open_ports.push_back(other);
      }
    }
  }
  const std::uint64_t daemon_before = live_threads_run_ns(daemon.pid());
  rep.idle_lanvara = idle_share(host.pid(), o.idle_seconds);
  rep.idle_kvetherd = static_cast<double>(live_threads_run_ns(daemon.pid()) - daemon_before) /
                      (o.idle_seconds * 1e9);
  for (int p : open_ports) {
    qdev::close(p);
  }
  daemon.stop(SIGTERM, std::chrono::seconds(30));
  Ended life;
  if (!host.stop(&life)) {
    complain(rep, host.error());
  }
}

// The same bytes in all, checked, through `pty_pairs` pairs: each byte crosses a pair once.
void pty_phase(const Options& o, Report& rep) {
  DataRun run;
  PortLoad load({o.pty_pairs, o.ports * o.bytes / o.pty_pairs, o.chunk}, pty_access());
  if (!load.start()) {
    return complain(rep, "pty clients: " + load.error());
  }
  if (!load.run(
          run.load, [] {}, [] {})) {
    return complain(rep, "pty data: " + load.error());
  }
  load.finish(run.load);
  rep.pty = run;
  int master = -1;
  const pid_t echo = start_pty_echo(&master);
  if (echo < 0) {
    return complain(rep, std::string("pty: ") + std::strerror(errno));
  }
  rep.echo_pty = measure_echo(master, o.echoes, std::chrono::seconds(1));
  check(rep, "pty echo", rep.echo_pty->ok, rep.echo_pty->error);
  ::close(master);
  wait_child(echo, std::chrono::seconds(10));
}

void print(const Options& o, const Report& rep) {
  auto echo = [](const std::optional<EchoTimes>& e) {
    char buf[160];
    if (!e) {
      return std::string("not measured");
    }
    if (!e->ok) {
      return "failed: " + e->error;
    }
    std::snprintf(buf, sizeof buf, "mean %.3f ms, max %.3f ms, first after 1 s idle %.3f ms (%d)",
                  e->mean_ms, e->max_ms, e->first_after_idle_ms, e->count);
    return std::string(buf);
  };
  std::printf("\n== %u ports, %zu KiB each way per port, writes and reads of %zu bytes ==\n",
              o.ports, o.bytes / 1024, o.chunk);
  if (rep.qd) {
    const DataRun& q = *rep.qd;
    std::printf("qdhost system: %.2f MB/s out, %.2f MB/s back (%llu bytes each way, all "
                "checked, %llu reads wrong)\n",
                q.mbs_out(), q.mbs_back(), static_cast<unsigned long long>(q.load.written),
                static_cast<unsigned long long>(q.load.wrong));
    std::printf("  host CPU: %.1f ns/byte (qdhost %.2f s + %u client processes %.2f s over "
                "%.2f s)\n",
                q.ns_per_byte(), q.server_cpu_s, q.load.processes, q.load.moving.cpu_s,
                q.load.read_s);
    std::printf("  qdhost: peak %d host threads; %.2f context switches/KiB (%llu); clients "
                "%.2f/KiB\n",
                q.server_peak_threads, q.server_switches / q.kib(),
                static_cast<unsigned long long>(q.server_switches),
                q.load.moving.switches / q.kib());
    if (o.programs.alloc_shim.empty()) {
      std::printf("  qdhost heap allocations: not counted\n");
    } else {
      std::printf("  qdhost heap allocations: %.2f/KiB (%llu)\n", q.server_allocs / q.kib(),
                  static_cast<unsigned long long>(q.server_allocs));
    }
    std::printf("  check: clients' whole lives %.2f s CPU, %llu switches (moving: %.2f s, "
                "%llu)\n",
                q.load.lifetime.cpu_s, static_cast<unsigned long long>(q.load.lifetime.switches),
                q.load.moving.cpu_s, static_cast<unsigned long long>(q.load.moving.switches));
  }
  if (rep.qdhost_life) {
    auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    const rusage& u = rep.qdhost_life->usage;
    std::printf("  check: qdhost's whole life %.2f s CPU, %ld switches\n",
                sec(u.ru_utime) + sec(u.ru_stime), u.ru_nvcsw + u.ru_nivcsw);
  }
  if (rep.pty) {
    const DataRun& p = *rep.pty;
    std::printf("pty pair%s (%u, master to slave): %.2f MB/s written, %.2f MB/s read; host CPU "
                "%.1f ns/byte (%u processes %.2f s); %.2f switches/KiB\n",
                o.pty_pairs == 1 ? "" : "s", o.pty_pairs, p.mbs_out(), p.mbs_back(),
                p.ns_per_byte(), p.load.processes, p.load.moving.cpu_s,
                p.load.moving.switches / p.kib());
    if (rep.qd) {
      std::printf("ratio of CPU per byte, qdhost system / pty pair: %.1f\n",
                  rep.qd->ns_per_byte() / p.ns_per_byte());
    }
  }
  std::printf("echo SCSI (QMX-126S-115):        %s\n", echo(rep.echo_scsi).c_str());
  std::printf("echo Lanvara through kvetherd: %s\n", echo(rep.echo_lanvara).c_str());
  std::printf("echo pty pair:                 %s\n", echo(rep.echo_pty).c_str());
  if (rep.idle_scsi >= 0) {
    std::printf("idle, %u ports open: qdhost %.2f%% of a core (%d host threads)\n", o.ports,
                rep.idle_scsi * 100, rep.idle_scsi_threads);
  }
  if (rep.idle_lanvara >= 0) {
    std::printf("idle, Lanvara unit's 8 ports open: qdhost %.2f%% of a core, kvetherd %.2f%%\n",
                rep.idle_lanvara * 100, rep.idle_kvetherd * 100);
  }
  if (rep.idle_conns) {
    const IdleConnections& c = *rep.idle_conns;
    if (!c.ok) {
      std::printf("idle connections: failed: %s\n", c.error.c_str());
    } else {
      std::printf("idle connections: %d of %d opened%s%s; qdhost VmRSS %ld -> %ld KiB (%.1f "
                  "KiB each), threads %d -> %d\n",
                  c.opened, c.wanted,
                  c.first_failure.empty() ? "" : "; first refusal: ", c.first_failure.c_str(),
                  c.rss_before_kib, c.rss_after_kib,
                  c.opened > 0 ? static_cast<double>(c.rss_after_kib - c.rss_before_kib) / c.opened
                               : 0.0,
                  c.threads_before, c.threads_after);
    }
  }
  if (rep.queued) {
    const QueuedWrites& q = *rep.queued;
    if (!q.ok) {
      std::printf("queued writes: failed: %s\n", q.error.c_str());
    } else {
      std::printf("queued writes: %d of %d requests of %zu KiB sent%s; qdhost VmRSS %ld KiB "
                  "before, peak %ld, after %ld (growth %.1f MB)\n",
                  q.sent, q.wanted, q.request_bytes / 1024,
                  q.held_off ? " before qdhost stopped taking them" : "", q.rss_before_kib,
                  q.rss_peak_kib, q.rss_after_kib, (q.rss_peak_kib - q.rss_before_kib) / 1024.0);
    }
  }
}

int run(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    return 2;
  }
  const Options& o = *options;
  if (!o.topology.empty() && o.node_prefix.empty()) {
    std::fprintf(stderr, "bench_system: --topology needs --node-prefix\n");
    return 2;
  }
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  install_stop_handler();
  WorkDir work;
  if (!work.ok()) {
    std::perror("bench_system: mkdtemp");
    return 1;
  }
  const std::time_t now = std::time(nullptr);
  char date[64];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::printf("bench_system %s, %ld cores, load average %s; qdhost %s\n", date,
              ::sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str(), o.programs.qdhost.c_str());
  std::fflush(stdout);
  Report rep;
  qmx_phase(o, work, rep);
  if (o.bounds && !stop_requested()) {
    bounds_phase(o, work, rep);
  }
  if (o.lanvara && !stop_requested()) {
    lanvara_phase(o, work, rep);
  }
  if (!stop_requested()) {
    pty_phase(o, rep);
  }
  print(o, rep);
  std::printf("load average at the end %s\n", load_average().c_str());
  return rep.failed || stop_requested() ? 1 : 0;
}

} // namespace
} // namespace qdbench

int main(int argc, char** argv) {
  return qdbench::run(argc, argv);
}
