// Node descriptors this process did not open: a connection to a node that another program
// opened and passed on (as standard input, say) is taken over at its first use.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "device.h"
#include "qdev/qdev.h"

namespace qdev::detail {
namespace {

// Whether fd is a connection to a node socket of this program's device directory. Nothing
// is sent on it: a socket that is not a node must not see our requests.
bool node_connection(int fd) {
  struct ::stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    return false;
  }
  int type = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET) {
    return false;
  }
  sockaddr_un peer{};
  socklen_t peer_len = sizeof peer;
  constexpr std::size_t kPathAt = offsetof(sockaddr_un, sun_path);
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 ||
      peer.sun_family != AF_UNIX || peer_len <= kPathAt || peer.sun_path[0] == '\0') {
    return false; // not a Unix socket, not connected, or unnamed or abstract
  }
  const std::string path(peer.sun_path, ::strnlen(peer.sun_path, peer_len - kPathAt));
  // The server names its sockets as it was told to (a relative directory too), so the node
  // is found by its name and must be the very socket file the peer is bound to.
  const std::string mine = device_dir() + "/" + path.substr(path.rfind('/') + 1);
  struct ::stat node {};
  if (::lstat(mine.c_str(), &node) != 0 || !S_ISSOCK(node.st_mode)) {
    return false;
  }
  struct ::stat bound {};
  return path == mine || (::lstat(path.c_str(), &bound) == 0 && bound.st_dev == node.st_dev &&
                          bound.st_ino == node.st_ino);
}

} // namespace

Device* lookup(int fd) {
  if (Device* d = find(fd); d != nullptr || fd < 0) {
    return d;
  }
  if (!node_connection(fd)) {
    return nullptr;
  }
  auto d = std::make_unique<Device>();
  d->fd = fd;
  d->oflag = O_RDWR; // how it was opened is not known here
  d->inherited = true;
  Device* raw = d.get();
  return adopt(std::move(d)) ? raw : nullptr;
}

} // namespace qdev::detail
