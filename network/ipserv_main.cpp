// kvipserv: scan the arguments, prepare the sockets, optionally reset the module, wait for
// its BOOTP request, answer it once, then upload the firmware when one was named.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"
#include "qdnet/vrn_exchange.h"
#include "qdnet/vrn_messages.h"

namespace qdnet::ipserv {
namespace {

// The service's port in network order, or the default with a note.
std::uint16_t service_port(const char* name, std::uint16_t fallback) {
  if (const servent* s = ::getservbyname(name, "udp"); s != nullptr) {
    return static_cast<std::uint16_t>(s->s_port);
  }
  std::printf("(udp/%s: unknown service--assuming port %d)\n", name, fallback);
  return htons(fallback);
}

// A UDP socket; -1 after the message.
int udp_socket() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    perror_stdout("socket");
  }
  return fd;
}

// Binds the socket to the port on any local address; false after the messages.
bool bind_any(int fd, std::uint16_t port, const char* in_use_hint) {
  const sockaddr_in at = ipv4_address(htonl(INADDR_ANY), port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) {
    return true;
  }
  const int err = errno;
  perror_stdout("bind");
  if (err == EADDRINUSE) {
    std::fputs(in_use_hint, stdout);
  } else if (err == EACCES) {
    std::fputs("You will need root access to run this command on this system.\n", stdout);
  }
  return false;
}

int reset_lvmodule(const char* addr) {
  VrnExchangeOptions opts;
  opts.address = ::inet_addr(addr);
  opts.reset = true;
  return vrn_tcp_exchange(opts, ipserv_reporter(stdout));
}

} // namespace

int kvipserv_main(int argc, char** argv) {
  // Unbuffered, so that the messages keep their order with the perror-style lines and an
  // operator (or a test) sees each one as it happens.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const std::optional<Config> cfg = scan_args(argc, argv, stdout);
  if (!cfg) {
    return 1;
  }
  const std::unique_ptr<std::uint8_t, decltype(&std::free)> buf(
      static_cast<std::uint8_t*>(std::calloc(kRequestBuffer, 1)), &std::free);
  if (!buf) {
    perror_stdout("malloc");
    return 1;
  }

  // The BOOTP socket is made before its port is looked up; the TFTP socket after.
  const int bootp_fd = udp_socket();
  if (bootp_fd < 0) {
    return 1;
  }
  SocketLink bootp(bootp_fd);
  const std::uint16_t bootps = service_port("bootps", 67);
  if (!bind_any(bootp_fd, bootps,
                "Most likely there is a BOOTP server already running on this system.\n")) {
    return 1;
  }
  const std::uint16_t bootpc = service_port("bootpc", 68);

  std::unique_ptr<SocketLink> tftp;
  if (!cfg->firmware.empty()) {
    const std::uint16_t port = service_port("tftp", 69);
    const int fd = udp_socket();
    if (fd < 0) {
      return 1;
    }
    tftp = std::make_unique<SocketLink>(fd);
    if (!bind_any(fd, port,
                  "Most likely there is a TFTP server already running onthis system.\n")) {
      return 1;
    }
  }

  if (cfg->reset) {
    std::fputs("Resetting the Lanvara module...\n", stdout);
    if (reset_lvmodule(cfg->served_text.c_str()) < 0) {
      std::fputs("Remote reset failed.  You will have to manually power cycle the module.\n",
                 stdout);
    }
  }

  std::printf("Awaiting a BOOTP request from HW address %s...\n", hwaddr2str(cfg->hwaddr.data()));
  std::fputs("(This may take up to a minute.)\n", stdout);
  await_request(bootp, *cfg, buf.get(), stdout);
  if (const std::optional<int> status =
          send_reply(bootp, buf.get(), *cfg, bootps, bootpc, own_host_address(), stdout)) {
    return *status;
  }
  return tftp_upload(*tftp, cfg->firmware, stdout);
}

} // namespace qdnet::ipserv
