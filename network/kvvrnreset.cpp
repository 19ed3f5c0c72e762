// kvvrnreset: makes one Lanvara module restart over the network. The module's address
// comes from the command line or, when none is given, from the driver's description of
// the named unit node.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kvutils.h"
#include "qdev/qdev.h"
#include "qdio.h"
#include "qdnet/vrn_exchange.h"
#include "qdnet/vrn_messages.h"

namespace {

// The unit description's address; on failure the program ends with errno as its status.
in_addr_t vrn_getuptr_ioctl(const std::string& dev_name) {
  const int fd = qdev::open(dev_name.c_str(), O_RDWR);
  if (fd < 0) {
    // Without the node there is no address to reset.
    const int err = errno;
    std::perror("open VRN failed");
    std::exit(err);
  }
  vrn_uptr_info info{};
  strioctl req{};
  req.ic_cmd = qd_ioc(VRNGETUPTR);
  req.ic_timout = 10;
  req.ic_len = sizeof info;
  req.ic_dp = reinterpret_cast<char*>(&info);
  if (qdev::ioctl(fd, I_STR, &req) != 0) {
    const int err = errno;
    std::perror("VRNGETUPTR ioctl failed");
    qdev::close(fd);
    std::exit(err);
  }
  qdev::close(fd);
  return info.net_addr;
}

int network_reset(in_addr_t netaddr) {
  qdnet::VrnExchangeOptions opts;
  opts.address = netaddr;
  opts.reset = true;
  opts.inquiry_buffer = qdnet::kToolInquiryBuffer;
  return qdnet::vrn_tcp_exchange(opts, qdnet::reset_tool_reporter(stderr));
}

} // namespace

int main(int argc, char** argv) {
  if (::geteuid() != 0) {
    std::fputs("You must be super user to run this utility.\n", stderr);
    return 1;
  }
  // It takes no options: "-h" is a mistake, not a unit node's name or an address.
  if (argc < 2 || argc > 3 || kv::any_option({argv + 1, argv + argc})) {
    std::fprintf(stderr, "Usage: %s vrn_unit_node [ip_addr]\n", argv[0]);
    return 1;
  }
  if (::chdir("/") < 0) {
    std::perror("chdir");
  }
  ::umask(0);
  // Held in a string, so a name of any length fits.
  const std::string dev_name = std::string("/dev/qmx/") + argv[1];
  const in_addr_t netaddr = argc == 3 ? ::inet_addr(argv[2]) : vrn_getuptr_ioctl(dev_name);
  network_reset(netaddr);
  return 0;
}
