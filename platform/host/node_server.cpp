// The node server: the device directory, one listening socket per character minor node, and
// the thread that accepts connections and reaps finished ones.
#include "qdhost/node_server.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <thread>

#include "connection.h"

namespace qdhost {

namespace wire = qdev::wire;

cred_t cred_from_peer(uid_t uid, gid_t gid) {
  return cred_t{uid, gid, uid, gid};
}

namespace {

struct Listener {
  NodeInfo node;
  std::string path;
  int fd = -1;
  dev_t file_dev = 0; // the socket file, so that stop removes only its own
  ino_t file_ino = 0;
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

// Makes what is missing of the path, each new directory 0755 whatever the umask: programs
// of every user must reach the port nodes.
int make_dirs(const std::string& dir) {
  std::string part;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    part = dir.substr(0, pos);
    if (part.empty()) {
      continue;
    }
    if (::mkdir(part.c_str(), 0755) == 0) {
      ::chmod(part.c_str(), 0755);
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  return 0;
}

// Whoever may write to the device directory can swap a node's socket for one of their own
// and talk to every program that opens it: it must be ours (or root's) and closed to
// group and others. A link to it must be ours too, or it could be pointed elsewhere.
int check_dir(const std::string& dir, std::string* why) {
  const uid_t me = ::geteuid();
  auto trusted = [me](uid_t owner) { return owner == me || owner == 0; };
  struct ::stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    *why = dir + ": " + std::strerror(errno);
    return errno;
  }
  if (S_ISLNK(st.st_mode) && !trusted(st.st_uid)) {
    *why = dir + ": a link that belongs to uid " + std::to_string(st.st_uid) +
           ", not to qdhost's user (uid " + std::to_string(me) + ")";
    return EPERM;
  }
  if (::stat(dir.c_str(), &st) != 0) {
    *why = dir + ": " + std::strerror(errno);
    return errno;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + ": " + std::strerror(ENOTDIR);
    return ENOTDIR;
  }
  if (!trusted(st.st_uid)) {
    *why = dir + ": belongs to uid " + std::to_string(st.st_uid) + ", not to qdhost's user (uid " +
           std::to_string(me) + "); a device directory must be qdhost's own";
    return EPERM;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = dir + ": group or others may write to it (mode " + mode +
           "); a device directory must be writable by qdhost's user alone";
    return EPERM;
  }
  return 0;
}

bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

struct NodeServer::Impl {
  Impl(kemu::Kernel& k, kemu::Ddi& d, NodeServerOptions o)
      : kernel(k), ddi(d), opts(std::move(o)),
        state(k, static_cast<clock_t>(opts.drain_bound.count()) * hz) {}

  kemu::Kernel& kernel;
  kemu::Ddi& ddi;
  NodeServerOptions opts;
  ServerState state;
  std::string error;
  bool running = false;
  std::atomic<bool> stopping{false};
  std::vector<Listener> listeners;
  std::list<std::unique_ptr<Connection>> conns; // the accepting thread's until stop joins it
  std::thread acceptor;

  int fail(int err, std::string why) {
    error = std::move(why);
    close_listeners();
    if (state.wake_fd >= 0) {
      ::close(state.wake_fd);
      state.wake_fd = -1;
    }
    return err;
  }

  int clear_stale() {
    DIR* d = ::opendir(opts.dir.c_str());
    if (d == nullptr) {
      return fail(errno, opts.dir + ": " + std::strerror(errno));
    }
    std::vector<std::string> stale;
    int live = 0;
    std::string live_path;
    while (dirent* e = ::readdir(d)) {
      std::string path = opts.dir + "/" + e->d_name;
      struct ::stat st {};
      if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        continue;
      }
      if (answers(path)) {
        ++live;
        live_path = path;
      } else {
        stale.push_back(path);
      }
    }
    ::closedir(d);
    if (live > 0) {
      return fail(EADDRINUSE, live_path + ": a live server answers in this directory");
    }
    for (const std::string& path : stale) {
      ::unlink(path.c_str());
    }
    return 0;
  }

  int listen_on(const kemu::MinorNode& n) {
    Listener l;
    l.node = NodeInfo{n.name, n.dev, n.spec_type};
    l.path = opts.dir + "/" + n.name;
    sockaddr_un sa{};
    if (!plain_name(n.name) || !fill_address(sa, l.path)) {
      return fail(ENAMETOOLONG, l.path + ": no socket can have this name");
    }
    struct ::stat st {};
    if (::lstat(l.path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        return fail(EEXIST, l.path + ": exists and is no socket");
      }
      ::unlink(l.path.c_str());
    }
    l.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (l.fd < 0) {
      return fail(errno, l.path + ": socket: " + std::strerror(errno));
    }
    if (::bind(l.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      int err = errno;
      ::close(l.fd);
      return fail(err, l.path + ": bind: " + std::strerror(err));
    }
    listeners.push_back(l); // from here on stop and failure remove it
    // Before listen: until then every connect is refused, so no one gets in on the way.
    const NodePerm& perm = opts.perms.for_node(n.name);
    if (::geteuid() == 0 && ::chown(l.path.c_str(), perm.owner, perm.group) != 0) {
      int err = errno;
      return fail(err, l.path + ": chown: " + std::strerror(err));
    }
    if (::chmod(l.path.c_str(), perm.mode) != 0 || ::listen(l.fd, 64) != 0 ||
        ::stat(l.path.c_str(), &st) != 0) {
      int err = errno;
      return fail(err, l.path + ": " + std::strerror(err));
    }
    listeners.back().file_dev = st.st_dev;
    listeners.back().file_ino = st.st_ino;
    return 0;
  }

  void close_listeners() {
    for (Listener& l : listeners) {
      ::close(l.fd);
      struct ::stat st {};
      // Remove the socket only if it is still the one we made.
      if (::lstat(l.path.c_str(), &st) == 0 && st.st_dev == l.file_dev && st.st_ino == l.file_ino) {
        ::unlink(l.path.c_str());
      }
    }
    listeners.clear();
  }

  void accept_all(const Listener& l) {
    for (;;) {
      int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) {
          continue;
        }
        return; // EAGAIN, or a connection that went away before we took it
      }
      ucred peer{};
      socklen_t len = sizeof peer;
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
        ::close(fd);
        continue;
      }
      int size = wire::kSocketBuffer;
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
      auto c = std::make_unique<Connection>(state, fd, cred_from_peer(peer.uid, peer.gid), l.node);
      c->start();
      conns.push_back(std::move(c));
      state.notify();
    }
  }

  void reap() {
    conns.remove_if([](const std::unique_ptr<Connection>& c) { return c->finished(); });
  }

  void acceptor_main() {
    std::vector<pollfd> pf;
    for (const Listener& l : listeners) {
      pf.push_back({l.fd, POLLIN, 0});
    }
    pf.push_back({state.wake_fd, POLLIN, 0});
    for (;;) {
      if (::poll(pf.data(), pf.size(), -1) < 0 && errno != EINTR) {
        return;
      }
      if ((pf.back().revents & POLLIN) != 0) {
        std::uint64_t v = 0;
        [[maybe_unused]] ssize_t n = ::read(state.wake_fd, &v, sizeof v);
        reap();
      }
      // After the read: it may have taken stop's wake-up along with a connection's.
      if (stopping) {
        return;
      }
      for (std::size_t i = 0; i < listeners.size(); ++i) {
        if ((pf[i].revents & POLLIN) != 0) {
          accept_all(listeners[i]);
        }
      }
    }
  }
};

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
  while (s.opts.dir.size() > 1 && s.opts.dir.back() == '/') {
    s.opts.dir.pop_back();
  }
  if (s.opts.dir.empty()) {
    return s.fail(EINVAL, "no device directory");
  }
  if (int err = make_dirs(s.opts.dir); err != 0) {
    return s.fail(err, s.opts.dir + ": " + std::strerror(err));
  }
  if (std::string why; int err = check_dir(s.opts.dir, &why)) {
    return s.fail(err, why);
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
  s.state.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s.state.wake_fd < 0) {
    return s.fail(errno, std::string("eventfd: ") + std::strerror(errno));
  }
  s.stopping = false;
  s.state.shutting_down = false;
  s.acceptor = std::thread([&s] { s.acceptor_main(); });
  s.running = true;
  s.error.clear();
  return 0;
}

void NodeServer::stop() {
  Impl& s = *impl_;
  if (!s.running) {
    return;
  }
  s.stopping = true;
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(s.state.wake_fd, &one, sizeof one);
  s.acceptor.join();
  s.close_listeners();
  // Every connection at once, so that they wind down together.
  s.state.shutting_down = true;
  for (auto& c : s.conns) {
    c->shut_down();
  }
  s.conns.clear();
  ::close(s.state.wake_fd);
  s.state.wake_fd = -1;
  s.running = false;
}

const std::string& NodeServer::error() const {
  return impl_->error;
}

std::vector<std::string> NodeServer::served() const {
  std::vector<std::string> names;
  for (const Listener& l : impl_->listeners) {
    names.push_back(l.node.name);
  }
  return names;
}

std::size_t NodeServer::connection_count() const {
  return impl_->state.connections;
}

std::size_t NodeServer::calls_in_progress() const {
  return impl_->state.calls;
}

bool NodeServer::wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lk(impl_->state.mu);
  return impl_->state.changed.wait_for(lk, limit, pred);
}

} // namespace qdhost
