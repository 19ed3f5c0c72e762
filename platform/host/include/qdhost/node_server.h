// The node server: every character minor node of the kernel's registry as a Unix-domain
// socket of the same name in a device directory, and one open of the device per connection.
// The conversation on a socket is qdev/wire.h.
//
// Each connection gets a host thread that reads its requests and one or more that carry
// them into the kernel (Kernel::call, with the credentials the socket's peer had when it
// connected); a second worker starts only when a request arrives while another is still in
// the kernel. The kernel must run on the real clock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "ksys/cred.h"
#include "qdhost/minor_perm.h"

namespace qdhost {

struct NodeServerOptions {
  std::string dir;    // the device directory
  MinorPerms perms{}; // each node's mode, owner and group; by default every node 0666
  // How long the close of a program that went away (its socket closed) waits for the
  // port's output, on the kernel's clock, before a signal makes the driver flush it.
  std::chrono::seconds drain_bound{30};
};

// The credentials a call runs with, from the peer's effective ids (real ids the same).
cred_t cred_from_peer(uid_t uid, gid_t gid);

class NodeServer {
public:
  NodeServer(kemu::Kernel& kernel, kemu::Ddi& ddi, NodeServerOptions opts);
  // Stops.
  ~NodeServer();
  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Creates the directory (mode 0755) if it is missing and serves every character minor node
  // the registry holds now. Refuses (EPERM) a directory that belongs to another user than
  // qdhost's (or root) or that group or others may write to. Refuses (EADDRINUSE) a directory in
  // which a live server answers on any socket; sockets nobody answers on are left over from a dead
  // one and are replaced. Refuses (EEXIST) a node whose name is taken by a file that is no socket.
  // 0, or an errno with error() saying why; nothing is left behind on failure.
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
  // Waits until pred() holds, re-checking whenever a connection or call starts or ends;
  // false when `limit` passed first. pred runs under the server's lock and must not enter
  // the kernel (the counts above are safe to read).
  bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds limit);

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace qdhost
