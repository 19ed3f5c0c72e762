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
// is sent on it: a socket that is not a node must not see our requests. Whoever binds a
// socket chooses its name, so the name only says which node the peer claims to be. What the
// peer cannot choose decides: its user, as the kernel recorded it when the peer listened,
// must be root or the device directory's owner (qdhost's user), and the file it names must be
// that node itself.
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
  const std::string dir = device_dir();
  const std::string mine = dir + "/" + path.substr(path.rfind('/') + 1);
  struct ::stat node {};
  struct ::stat owner {};
  ucred cred{};
  socklen_t cred_len = sizeof cred;
  if (::lstat(mine.c_str(), &node) != 0 || !S_ISSOCK(node.st_mode) ||
      ::stat(dir.c_str(), &owner) != 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0 ||
      (cred.uid != 0 && cred.uid != owner.st_uid)) {
    return false;
  }
  // A trusted peer names its socket truly: it must be the node's file, not one like it.
  struct ::stat bound {};
  return ::lstat(path.c_str(), &bound) == 0 && bound.st_dev == node.st_dev &&
         bound.st_ino == node.st_ino;
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
