// The node server: the device directory, one listening socket per character minor node,
// accepting (within the bounds) and reaping connections on the kernel's CPU thread, and
// stopping from another thread.
#include "qdhost/node_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "connection.h"
#include "kemu/host_log.h"

namespace qdhost {

namespace wire = qdev::wire;

cred_t cred_of_sender(uid_t uid, gid_t gid) {
  return cred_t{uid, gid, uid, gid};
}

namespace {

struct Listener final : kemu::HostWatcher {
  NodeServer::Impl* server = nullptr;
  NodeInfo node;
  std::string path; // what the socket is bound to (the device directory's own path)
  int fd = -1;
  dev_t file_dev = 0; // the socket file, so that stop removes only its own
  ino_t file_ino = 0;
  kemu::HostWatch watch; // last, so that it goes first
  void ready(unsigned events) override;
};

bool fill_address(sockaddr_un& sa, const std::string& path) {
  sa = {};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) {
    return false;
  }
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Whether a server answers on the socket at path: connecting to a stale one is refused.
bool answers(const std::string& path) {
  sockaddr_un sa{};
  if (!fill_address(sa, path)) {
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int err = errno;
  ::close(fd);
  return rc == 0 || (err != ECONNREFUSED && err != ENOENT);
}

bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

struct NodeServer::Impl final : kemu::HostWatcher {
  Impl(kemu::Kernel& k, kemu::Ddi& d, NodeServerOptions o)
      : kernel(k), ddi(d), opts(std::move(o)),
        state(k, static_cast<clock_t>(opts.drain_bound.count()) * hz) {
    if (!opts.log) {
      opts.log = [](const std::string& line) { kemu::log_text("qdhost: " + line + "\n"); };
    }
    state.retire = [this](Connection* c) { retire(c); };
  }
  ~Impl() {
    for (int fd : {control_fd, reserve_fd}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }

  kemu::Kernel& kernel;
  kemu::Ddi& ddi;
  NodeServerOptions opts;
  std::shared_ptr<const DeviceDir> dir; // once start() has it
  ServerState state;
  std::string error;
  bool running = false;
  std::vector<std::unique_ptr<Listener>> listeners;
  int control_fd = -1; // eventfd: stop asked for, or a connection ended

  // The CPU thread's, once start() has returned.
  std::unordered_map<Connection*, std::unique_ptr<Connection>> conns;
  bool accepting = true;
  bool listening = true;   // the listeners are watched (not held back for lack of descriptors)
  int reserve_fd = -1;     // given up to accept a client only to refuse it
  bool limit_said = false; // the log told of the limit, or of the descriptors, already
  bool fds_said = false;
  // Refusals a client can provoke at will (connect, connect, close, close): told at most
  // once a second of the kernel's clock, with the count of those left out since.
  bool told_any = false;
  clock_t told_at = 0;
  std::uint64_t left_out = 0;
  kemu::WorkId relisten = 0;
  bool stop_done = false; // every connection is gone; under state.mu too

  // The CPU thread's and stop()'s, under state.mu.
  std::vector<Connection*> dead;
  std::atomic<bool> stop_asked{false};

  kemu::HostWatch control_watch; // last, so that it goes first

  int fail(int err, std::string why) {
    error = std::move(why);
    close_listeners();
    if (control_fd >= 0) {
      ::close(control_fd);
      control_fd = -1;
    }
    return err;
  }

  int clear_stale() {
    const int fd = ::openat(dir->fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (d == nullptr) {
      const int err = errno;
      if (fd >= 0) {
        ::close(fd);
      }
      return fail(err, dir->path() + ": " + std::strerror(err));
    }
    std::vector<std::string> stale;
    int live = 0;
    std::string live_path;
    while (dirent* e = ::readdir(d)) {
      struct ::stat st {};
      if (::fstatat(dir->fd(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode)) {
        continue;
      }
      if (answers(*dir / e->d_name)) {
        ++live;
        live_path = *dir / e->d_name;
      } else {
        stale.push_back(e->d_name);
      }
    }
    ::closedir(d);
    if (live > 0) {
      return fail(EADDRINUSE, live_path + ": a live server answers in this directory");
    }
    for (const std::string& name : stale) {
      ::unlinkat(dir->fd(), name.c_str(), 0);
    }
    return 0;
  }

  int listen_on(const kemu::MinorNode& n) {
    auto l = std::make_unique<Listener>();
    l->server = this;
    l->node = NodeInfo{n.name, n.dev, n.spec_type};
    l->path = *dir / n.name;
    const char* name = n.name.c_str();
    sockaddr_un sa{};
    if (!plain_name(n.name) || !fill_address(sa, l->path)) {
      return fail(ENAMETOOLONG, l->path + ": no socket can have this name");
    }
    struct ::stat st {};
    if (::fstatat(dir->fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        return fail(EEXIST, l->path + ": exists and is no socket");
      }
      ::unlinkat(dir->fd(), name, 0);
    }
    l->fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (l->fd < 0) {
      return fail(errno, l->path + ": socket: " + std::strerror(errno));
    }
    // Every packet a client sends comes with its sender's credentials; the connections
    // accepted take this on.
    const int on = 1;
    ::setsockopt(l->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    // Born with its final mode, so there is no moment at which it is wider. The path is
    // trusted (DeviceDir) and bind takes no descriptor; from here on the socket is reached
    // through the directory's descriptor.
    const NodePerm& perm = opts.perms.for_node(n.name);
    const mode_t umask_was = ::umask(0777 & ~perm.mode);
    const int bound = ::bind(l->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    const int bind_err = errno;
    ::umask(umask_was);
    if (bound != 0) {
      ::close(l->fd);
      return fail(bind_err, l->path + ": bind: " + std::strerror(bind_err));
    }
    Listener& ref = *l;
    listeners.push_back(std::move(l)); // from here on stop and failure remove it
    // Before listen: until then every connect is refused, so no one gets in on the way.
    if (::geteuid() == 0 &&
        ::fchownat(dir->fd(), name, perm.owner, perm.group, AT_SYMLINK_NOFOLLOW) != 0) {
      int err = errno;
      return fail(err, ref.path + ": chown: " + std::strerror(err));
    }
    if (::fstatat(dir->fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || ::listen(ref.fd, 64) != 0) {
      int err = errno;
      return fail(err, ref.path + ": " + std::strerror(err));
    }
    if (!S_ISSOCK(st.st_mode)) {
      return fail(EEXIST, ref.path + ": exists and is no socket");
    }
    ref.file_dev = st.st_dev;
    ref.file_ino = st.st_ino;
    return 0;
  }

  // Once nothing watches them.
  void close_listeners() {
    for (auto& l : listeners) {
      ::close(l->fd);
      struct ::stat st {};
      // Remove the socket only if it is still the one we made.
      const char* name = l->node.name.c_str();
      if (::fstatat(dir->fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == l->file_dev &&
          st.st_ino == l->file_ino) {
        ::unlinkat(dir->fd(), name, 0);
      }
    }
    listeners.clear();
  }

  // ---- On the CPU thread ---------------------------------------------------------------------

  void accept_all(Listener& l) {
    ++state.wakeups;
    while (accepting && listening) {
      const int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) {
          continue;
        }
        if (errno == EAGAIN) {
          return;
        }
        if (!refuse_without_descriptor(l, errno)) {
          return;
        }
        continue;
      }
      fds_said = false;
      // Those not finished: one that has ended is out of the count before it is reaped.
      if (state.connections >= opts.max_connections) {
        // Counted before the client can see its end.
        refused("the connection limit (" + std::to_string(opts.max_connections) + ") is reached",
                limit_said);
        ::close(fd);
        continue;
      }
      int size = wire::kSocketBuffer;
      const int on = 1; // as the listener has it; here too where the kernel does not pass it on
      ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      auto c = std::make_unique<Connection>(state, fd, l.node);
      if (c->start()) {
        Connection* key = c.get();
        conns.emplace(key, std::move(c));
      }
      state.notify();
    }
  }

  void refused(const std::string& why, bool& said) {
    ++state.refused;
    if (!said) {
      said = true;
      tell_refusal(why);
    }
  }

  void tell_refusal(const std::string& why) {
    const clock_t now = kernel.lbolt();
    if (told_any && now - told_at < hz) {
      ++left_out;
      return;
    }
    std::string line = "refusing new clients: " + why;
    if (left_out > 0) {
      line += " (" + std::to_string(left_out) + " more such messages left out)";
    }
    told_any = true;
    told_at = now;
    left_out = 0;
    opts.log(line);
  }

  // accept failed for want of a descriptor (or memory): false once nobody waits. The reserve
  // makes room to take a waiting client and close it at once; without one the listeners rest
  // until a connection ends (or a second passes), so that a readable listener never spins.
  bool refuse_without_descriptor(Listener& l, int err) {
    const std::string why = std::string("accept: ") + std::strerror(err);
    if (reserve_fd >= 0) {
      ::close(reserve_fd);
      reserve_fd = -1;
      const int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
      const bool none = fd < 0 && errno == EAGAIN;
      if (fd >= 0) {
        refused(why, fds_said);
        ::close(fd);
      }
      keep_reserve();
      if (fd >= 0 || none) {
        return !none;
      }
    }
    if (!fds_said) {
      fds_said = true;
      tell_refusal(why);
    }
    set_listening(false);
    return false;
  }

  void keep_reserve() {
    if (reserve_fd < 0) {
      reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
  }

  void set_listening(bool on) {
    if (listening == on || !accepting) {
      return;
    }
    listening = on;
    for (auto& l : listeners) {
      l->watch.want(on ? EPOLLIN : 0u);
    }
    if (!on) {
      relisten = kernel.interrupt([this] { listen_again(); }, hz);
    } else if (relisten != 0) {
      kernel.cancel_interrupt(relisten);
      relisten = 0;
    }
  }

  void listen_again() {
    relisten = 0;
    if (!accepting) {
      return;
    }
    keep_reserve();
    set_listening(true);
  }

  // From the connection's own code: count it out now, destroy it when the server next runs.
  // Notified under the mutex: once stop() sees the count it may destroy the state.
  void retire(Connection* c) {
    std::lock_guard<std::mutex> lk(state.mu);
    dead.push_back(c);
    --state.connections;
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(control_fd, &one, sizeof one);
    state.changed.notify_all();
  }

  void reap() {
    std::vector<Connection*> gone;
    {
      std::lock_guard<std::mutex> lk(state.mu);
      gone.swap(dead);
    }
    for (Connection* c : gone) {
      conns.erase(c);
    }
    if (!gone.empty()) {
      if (state.connections < opts.max_connections) {
        limit_said = false;
      }
      if (!listening) {
        listen_again();
      }
    }
  }

  // The control descriptor: a connection ended, or stop() asks.
  void ready(unsigned) override {
    ++state.wakeups;
    std::uint64_t v = 0;
    [[maybe_unused]] ssize_t n = ::read(control_fd, &v, sizeof v);
    reap();
    if (stop_asked) {
      shut_down_all();
    }
  }

  // Stops listening and shuts every connection down; done once the last is destroyed here.
  void shut_down_all() {
    if (accepting) {
      accepting = false;
      for (auto& l : listeners) {
        l->watch.unwatch();
      }
      if (relisten != 0) {
        kernel.cancel_interrupt(relisten);
        relisten = 0;
      }
      // Every connection at once, so that they wind down together.
      state.shutting_down = true;
      std::vector<Connection*> all;
      for (auto& [c, owned] : conns) {
        all.push_back(c);
      }
      for (Connection* c : all) {
        c->shut_down();
      }
      reap();
    }
    if (conns.empty()) {
      std::lock_guard<std::mutex> lk(state.mu);
      stop_done = true;
      state.changed.notify_all();
    }
  }
};

void Listener::ready(unsigned) {
  server->accept_all(*this);
}

NodeServer::NodeServer(kemu::Kernel& kernel, kemu::Ddi& ddi, NodeServerOptions opts)
    : impl_(std::make_unique<Impl>(kernel, ddi, std::move(opts))) {}

NodeServer::~NodeServer() {
  stop();
}

int NodeServer::start() {
  Impl& s = *impl_;
  if (s.running) {
    return EBUSY;
  }
  if (s.kernel.clock_mode() != kemu::ClockMode::kReal) {
    return s.fail(EINVAL, "the node server needs a kernel on the real clock");
  }
  if (s.opts.opened) {
    s.dir = s.opts.opened;
  } else if (!s.dir) {
    int err = 0;
    std::string why;
    s.dir = DeviceDir::open(s.opts.dir, &err, &why);
    if (!s.dir) {
      return s.fail(err, why);
    }
  }
  if (int err = s.clear_stale(); err != 0) {
    return err;
  }
  for (const kemu::MinorNode& n : s.ddi.minor_nodes()) {
    if (n.spec_type != S_IFCHR) {
      continue;
    }
    if (int err = s.listen_on(n); err != 0) {
      return err;
    }
  }
  s.control_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.control_fd < 0) {
    return s.fail(errno, std::string("eventfd: ") + std::strerror(errno));
  }
  s.keep_reserve();
  s.state.in_area.resize(wire::kMaxPacket + 1);
  s.state.read_area.resize(wire::kMaxData);
  s.stop_asked = false;
  s.stop_done = false;
  s.accepting = true;
  s.listening = true;
  s.state.shutting_down = false;
  // Every handle is made before the first is watched: a callback may use them all.
  s.control_watch = s.kernel.watch(s.control_fd, &s);
  for (auto& l : s.listeners) {
    l->watch = s.kernel.watch(l->fd, l.get());
  }
  if (!s.control_watch.want(EPOLLIN)) {
    return s.fail(EINVAL, "the kernel is stopping");
  }
  for (auto& l : s.listeners) {
    if (!l->watch.want(EPOLLIN)) {
      for (auto& w : s.listeners) {
        w->watch.unwatch();
      }
      s.control_watch.unwatch();
      return s.fail(EINVAL, "the kernel is stopping");
    }
  }
  s.running = true;
  s.error.clear();
  return 0;
}

void NodeServer::stop() {
  Impl& s = *impl_;
  if (!s.running) {
    return;
  }
  // The CPU thread stops listening and shuts every connection down; each ends once its
  // stream is closed (a close waits kShutdownDrain at most for its output), and is destroyed
  // there like every other.
  s.stop_asked = true;
  {
    std::unique_lock<std::mutex> lk(s.state.mu);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(s.control_fd, &one, sizeof one);
    s.state.changed.wait(lk, [&] { return s.stop_done; });
  }
  s.control_watch.unwatch(); // nothing of ours runs on the CPU thread from here on
  s.close_listeners();
  ::close(s.control_fd);
  s.control_fd = -1;
  s.running = false;
}

const std::string& NodeServer::error() const {
  return impl_->error;
}

std::vector<std::string> NodeServer::served() const {
  std::vector<std::string> names;
  for (const auto& l : impl_->listeners) {
    names.push_back(l->node.name);
  }
  return names;
}

std::size_t NodeServer::connection_count() const {
  return impl_->state.connections;
}

std::size_t NodeServer::calls_in_progress() const {
  return impl_->state.calls;
}

NodeServerStats NodeServer::stats() const {
  const ServerState& st = impl_->state;
  return {st.connections, st.calls, st.paused, st.held_peak, st.wakeups, st.refused};
}

bool NodeServer::wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lk(impl_->state.mu);
  return impl_->state.changed.wait_for(lk, limit, pred);
}

} // namespace qdhost
