// kvipserv's UDP sockets and the ARP entry made before a reply to a module without an
// address.
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"

namespace qdnet::ipserv {

int SocketLink::wait_readable(int seconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd_, &set);
  timeval tv{seconds, 0};
  return ::select(fd_ + 1, &set, nullptr, nullptr, &tv);
}

ssize_t SocketLink::receive(std::uint8_t* buf, std::size_t n, sockaddr_in* from) {
  socklen_t len = sizeof *from;
  return ::recvfrom(fd_, buf, n, 0, reinterpret_cast<sockaddr*>(from), &len);
}

int SocketLink::connect(const sockaddr_in& to) {
  return ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

ssize_t SocketLink::send(const std::uint8_t* buf, std::size_t n) {
  return ::send(fd_, buf, n, 0);
}

int SocketLink::set_arp(in_addr_t addr, const std::uint8_t* hw, int n) {
  arpreq req;
  std::memset(&req, 0, sizeof req);
  auto* pa = reinterpret_cast<sockaddr_in*>(&req.arp_pa);
  pa->sin_family = AF_INET;
  pa->sin_addr.s_addr = addr;
  // This host's kernel checks the hardware family against the interface's type, where
  // the original system took AF_UNSPEC; modules sit on Ethernet.
  req.arp_ha.sa_family = ARPHRD_ETHER;
  std::memcpy(req.arp_ha.sa_data, hw, static_cast<std::size_t>(n));
  req.arp_flags = ATF_COM;
  return ::ioctl(fd_, SIOCSARP, &req);
}

ssize_t SocketLink::send_to(const std::uint8_t* buf, std::size_t n, const sockaddr_in& to) {
  return ::sendto(fd_, buf, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void SocketLink::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::time_t SocketLink::now() {
  return std::time(nullptr);
}

void setarp(DatagramLink& link, in_addr_t addr, const std::uint8_t* hw, int n, std::FILE* out) {
  if (link.set_arp(addr, hw, n) < 0) {
    perror_to(out, "ioctl(SIOCSARP)");
    std::fputs("NOTE: The operating system reported a problem when kvipserv\n"
               "attempted to prepare the ARP table for sending the BOOTP\n"
               "response.  As such, the response may or may not reach the\n"
               "module.  After kvipserv claims to have sent off its response,\n"
               "you should check to see if the module received its IP address.\n"
               "If not, reboot this host and try again.\n",
               out);
  }
}

} // namespace qdnet::ipserv
