// kvipserv's BOOTP side: waiting for the module's request and answering it.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "qdnet/ipserv.h"
#include "qdnet/socket_util.h"

namespace qdnet::ipserv {
namespace {

in_addr_t field(std::span<const std::uint8_t> msg, std::size_t at) {
  in_addr_t v;
  std::memcpy(&v, msg.data() + at, sizeof v);
  return v;
}

} // namespace

RequestCheck check_request(std::span<const std::uint8_t> msg, const HwAddr& hw) {
  if (msg.size() < bootp::kMinRequest) {
    return RequestCheck::short_packet;
  }
  if (msg[bootp::kOp] != 1) {
    return RequestCheck::not_request;
  }
  if (msg[bootp::kHlen] != 6) {
    return RequestCheck::bad_hlen;
  }
  if (hwaddrs_equal(msg.data() + bootp::kChaddr, hw.data()) == 0) {
    return RequestCheck::other_hwaddr;
  }
  return RequestCheck::accepted;
}

Destination reply_destination(std::span<const std::uint8_t> msg, in_addr_t served,
                              std::uint16_t bootps, std::uint16_t bootpc) {
  if (const in_addr_t ci = field(msg, bootp::kCiaddr); ci != 0) {
    return {ci, bootpc, false, false};
  }
  if (const in_addr_t gi = field(msg, bootp::kGiaddr); gi != 0) {
    return {gi, bootps, true, false};
  }
  return {served, bootpc, false, true};
}

std::size_t build_reply(std::span<std::uint8_t> msg, const Config& cfg,
                        std::optional<in_addr_t> siaddr) {
  msg[bootp::kOp] = 2;
  std::memcpy(msg.data() + bootp::kYiaddr, &cfg.served, 4);
  std::size_t len = bootp::kOptions + 1;
  if (cfg.options.empty()) {
    msg[bootp::kOptions] = bootp::kEnd;
  } else {
    const std::size_t n = cfg.options.size();
    msg[bootp::kOptions] = bootp::kVendorOption;
    msg[bootp::kOptions + 1] = static_cast<std::uint8_t>(n);
    std::copy(cfg.options.begin(), cfg.options.end(), msg.begin() + bootp::kOptions + 2);
    msg[bootp::kOptions + 2 + n] = bootp::kEnd;
    len = n + 243;
  }
  if (siaddr) {
    std::memcpy(msg.data() + bootp::kSiaddr, &*siaddr, 4);
  }
  if (!cfg.firmware.empty()) {
    std::memcpy(msg.data() + bootp::kFile, cfg.firmware.c_str(), cfg.firmware.size() + 1);
  }
  return len;
}

std::optional<in_addr_t> own_host_address() {
  char name[256];
  if (::gethostname(name, sizeof name) < 0) {
    return std::nullopt;
  }
  name[sizeof name - 1] = '\0';
  const hostent* h = ::gethostbyname(name);
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_addr_list[0] == nullptr) {
    return std::nullopt;
  }
  in_addr_t a;
  std::memcpy(&a, h->h_addr_list[0], sizeof a);
  return a;
}

std::size_t await_request(DatagramLink& link, const Config& cfg, std::uint8_t* buf,
                          std::FILE* out) {
  const std::time_t start = link.now();
  bool warned = false;
  bool encouraged = false;
  for (;;) {
    const std::time_t elapsed = link.now() - start;
    if (!warned && elapsed > kTurnSeconds + 60) {
      warned = true;
      std::fputs("If you are trying to serve an Lanvara module, \n"
                 "a BOOTP request should have been received by now.\n"
                 "A problem may exist.\n",
                 out);
    }
    if (!encouraged && elapsed >= 30) {
      encouraged = true;
      std::fputs("Don't give up hope!\n", out);
    }
    if (link.wait_readable(kTurnSeconds) != 1) {
      std::fputs("None yet...\n", out);
      continue;
    }
    sockaddr_in from{};
    const ssize_t n = link.receive(buf, kRequestBuffer, &from);
    if (n <= 0) {
      perror_to(out, "recvfrom");
      continue;
    }
    const std::span<const std::uint8_t> msg(buf, static_cast<std::size_t>(n));
    switch (check_request(msg, cfg.hwaddr)) {
    case RequestCheck::short_packet:
      std::fputs("(Ignoring a short packet.)", out);
      std::fflush(out);
      continue;
    case RequestCheck::not_request:
      continue;
    case RequestCheck::bad_hlen:
      std::fprintf(out, "Bad hardware-address length (%d)\n", msg[bootp::kHlen]);
      continue;
    case RequestCheck::other_hwaddr:
      std::fprintf(out, "(Ignoring a BOOTP request from %s.)\n",
                   hwaddr2str(msg.data() + bootp::kChaddr));
      continue;
    case RequestCheck::accepted:
      std::fputs("Got one--responding...\n", out);
      return static_cast<std::size_t>(n);
    }
  }
}

std::optional<int> send_reply(DatagramLink& link, std::uint8_t* buf, const Config& cfg,
                              std::uint16_t bootps, std::uint16_t bootpc,
                              std::optional<in_addr_t> siaddr, std::FILE* out) {
  const std::span<std::uint8_t> msg(buf, kRequestBuffer);
  const Destination to = reply_destination(msg, cfg.served, bootps, bootpc);
  if (to.via_gateway) {
    in_addr a{to.addr};
    std::fprintf(out, "(Responding via the gateway at %s...)\n", ::inet_ntoa(a));
  }
  if (to.needs_arp) {
    setarp(link, cfg.served, msg.data() + bootp::kChaddr, std::min<int>(msg[bootp::kHlen], 6), out);
  }
  if (link.connect(ipv4_address(to.addr, to.port)) < 0) {
    perror_to(out, "connect");
  }
  const std::size_t len = build_reply(msg, cfg, siaddr);
  if (link.send(buf, len) < 0) {
    perror_to(out, "send");
    return 1;
  }
  if (cfg.erase) {
    print_erase_box(out);
  } else {
    if (cfg.store) {
      print_store_box(out);
    }
    std::fputs("Address successfully served.\n", out);
  }
  if (cfg.firmware.empty()) {
    return 0;
  }
  return std::nullopt;
}

} // namespace qdnet::ipserv
