// The node server: every character minor node of the kernel's registry as a Unix-domain
// socket of the same name in a device directory, and one open of the device per connection.
// The conversation on a socket is qdev/wire.h.
//
// No thread of its own: the kernel's CPU thread watches the listening and connected sockets
// (Kernel::watch) between contexts. A request read from a socket becomes a kernel context
// (Kernel::start, with the credentials the kernel attached to that very packet: the sending
// process's, whoever opened the connection) and its result is sent when that context is
// done, so a program waiting in the kernel holds no host thread and a request crosses no
// thread on its way. The kernel must run on the real clock.
//
// Bounds: per connection, requests read and not yet answered are limited (and their bytes;
// past that the socket is not read until they drain: connection.h); connections are limited
// (max_connections: past it a new client is accepted and closed at once, and the server says
// so in the log, once until a connection ends, and at most once a second of the kernel's
// clock, with a count of the messages left out); a process out of descriptors refuses new clients
// the same way through a descriptor it keeps in reserve, or else stops listening until a connection
// ends. Neither leaves a listener readable and unserved, so neither spins.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "ksys/cred.h"
#include "qdhost/device_dir.h"
#include "qdhost/minor_perm.h"

namespace qdhost {

inline constexpr std::size_t kDefaultMaxConnections = 4096;

struct NodeServerOptions {
  std::string dir;    // the device directory
  MinorPerms perms{}; // each node's mode, owner and group; by default every node 0666
  // How long the close of a program that went away (its socket closed) waits for the
  // port's output, on the kernel's clock, before a signal makes the driver flush it.
  std::chrono::seconds drain_bound{30};
  // Connections served at once; past it new clients are refused.
  std::size_t max_connections = kDefaultMaxConnections;
  // Where the server says what it refused; null: the host log (kemu/host_log.h), "qdhost: "
  // before each line.
  std::function<void(const std::string&)> log{};
  // The device directory opened and checked already (qdhost does so before anything else
  // starts); null: start() opens `dir`.
  std::shared_ptr<const DeviceDir> opened{};
};

// What the server has done, for tests and benchmarks.
struct NodeServerStats {
  std::size_t connections = 0; // not yet finished
  std::size_t calls = 0;       // requests whose code runs in the kernel
  std::size_t paused = 0;      // connections not read now: their bound is reached
  std::size_t held_peak = 0;   // the most bytes of requests and replies one connection held
  std::uint64_t wakeups = 0;   // callbacks the server's sockets caused
  std::uint64_t refused = 0;   // clients turned away (the limit, or no descriptor left)
};

// The credentials a call runs with, from the ids its sender's packet carried (real ids the
// same).
cred_t cred_of_sender(uid_t uid, gid_t gid);

class NodeServer {
public:
  NodeServer(kemu::Kernel& kernel, kemu::Ddi& ddi, NodeServerOptions opts);
  // Stops.
  ~NodeServer();
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Opens the directory as DeviceDir does (creating what is missing, refusing with EPERM a
  // path another user could change) unless `opened` holds it, and serves every character
  // minor node the registry holds now, each socket born with its node's mode. Refuses
  // (EADDRINUSE) a directory in which a live server answers on any socket; sockets nobody
  // answers on are left over from a dead one and are replaced. Refuses (EEXIST) a node whose
  // name is taken by a file that is no socket. 0, or an errno with error() saying why;
  // nothing is left behind on failure.
  int start();
  // Stops taking connections, removes the sockets it made, posts a signal to every call
  // waiting in the kernel and closes every open stream; a close waits for its port's
  // output for a few seconds at most (5 on the kernel's clock), then gets a signal too.
  // Returns when all of that is done.
  void stop();
  const std::string& error() const;

  // Node names served, in the registry's order.
  std::vector<std::string> served() const;
  // Connections not yet finished, and calls running in the kernel (entered, not returned).
  std::size_t connection_count() const;
  std::size_t calls_in_progress() const;
  NodeServerStats stats() const;
  // Waits until pred() holds, re-checking whenever a connection or call starts or ends or a
  // connection's reading stops or resumes;
  // false when `limit` passed first. pred runs under the server's lock and must not enter
  // the kernel (the counts above are safe to read).
  bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit);

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace qdhost
