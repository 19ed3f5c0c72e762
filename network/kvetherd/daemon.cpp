#include "kvetherd/daemon.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kvetherd {
namespace {

[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// A field of the description as a string, whether or not it ends with a NUL.
template <std::size_t N> std::string field(const char (&f)[N]) {
  return std::string(f, strnlen(f, N));
}

// Keeps what fits with its NUL; the rest of the field is zero.
template <std::size_t N> void store(char (&f)[N], const std::string& s) {
  std::memset(f, 0, N);
  std::memcpy(f, s.data(), std::min(s.size(), N - 1));
}

constexpr const char kPopHint[] = "There is likely something wrong with your /etc/iu.ap file.";

} // namespace

unsigned address_number(in_addr_t addr_net) {
  return ntohl(addr_net);
}

Daemon::~Daemon() {
  close_socket();
}

Outcome Daemon::failure(Outcome outcome, int flags, const std::string& text) {
  if (p_.stop != 0) {
    return Outcome::terminated;
  }
  p_.log.log(flags, text);
  return outcome;
}

Outcome Daemon::start(const std::string& node_path, const char* address) {
  p_.log.log(kEvent, "Orvane Lanvara Daemon running");
  if (p_.node.open(node_path) < 0) {
    return failure(Outcome::fatal, kSystemError, node_path);
  }
  for (const char* which : {"ioctl(I_POP) #1", "ioctl(I_POP) #2"}) {
    if (p_.node.pop() < 0) {
      if (failure(Outcome::fatal, kSystemError, which) == Outcome::terminated) {
        return Outcome::terminated;
      }
      p_.log.log(kSystemError, kPopHint);
      return Outcome::fatal;
    }
  }
  if (p_.node.request(VRNGETUPTR, &unit_, sizeof unit_) < 0) {
    return failure(Outcome::fatal, kSystemError, "ioctl(VRNGETUPTR)");
  }
  if (address != nullptr) {
    unit_.net_addr = ::inet_addr(address); // as given: no test of its form
  }
  in_addr a{};
  a.s_addr = unit_.net_addr;
  p_.log.log(kNote, format("Unit type: %s; IP Address: %s (%8x) [qd.conf]",
                           field(unit_.model_name).c_str(), ::inet_ntoa(a),
                           address_number(unit_.net_addr)));
  return Outcome::done;
}

void Daemon::report(qdnet::VrnEvent e) {
  using qdnet::VrnEvent;
  if (p_.stop != 0) {
    return; // the failure is the signal's; the shutdown follows
  }
  switch (e) {
  case VrnEvent::socket_failed:
    return p_.log.log(kSystemError, "socket");
  case VrnEvent::connected:
    return p_.log.log(kNote, "Socket connection established");
  case VrnEvent::unlock_write_failed:
    return p_.log.log(kSystemError, "write(FAS_UNIT_UNLOCK)");
  case VrnEvent::unlock_read_failed:
  case VrnEvent::unlock_bad_opcode:
    return p_.log.log(kSystemError, "read(FAS_UNIT_UNLOCK)");
  case VrnEvent::unlock_ok:
    return p_.log.log(kNote, "Received FAS_UNIT_LOCK");
  case VrnEvent::inquiry_write_failed:
    return p_.log.log(kSystemError, "write(FAS_UNIT_INQUIRY)");
  case VrnEvent::inquiry_read_failed:
  case VrnEvent::inquiry_bad_opcode:
    return p_.log.log(kSystemError, "read(FAS_UNIT_INQUIRY)");
  case VrnEvent::inquiry_ok:
    return p_.log.log(kNote, "Received FAS_UNIT_INQUIRY");
  case VrnEvent::data_read_failed:
    return p_.log.log(kSystemError, "read(inquiry data)");
  case VrnEvent::data_ok:
    return p_.log.log(kNote, "Received inquiry data");
  default:
    return; // a failed connect is retried without a word
  }
}

Outcome Daemon::make_socket_connection() {
  qdnet::VrnInquiry inquiry;
  const int fd = p_.module.connect(
      unit_.net_addr, [this](qdnet::VrnEvent e, const qdnet::VrnEventInfo&) { report(e); },
      &inquiry);
  if (fd < 0) {
    return p_.stop != 0 ? Outcome::terminated : Outcome::retry;
  }
  sock_fd_ = fd;
  store(unit_.model_name, inquiry.model);
  store(unit_.fw_version, inquiry.firmware);
  p_.log.log(kNote, format("Vendor: %s; Firmware: %s; Unit type: %s; IP address: %8x [unit "
                           "inquiry]",
                           inquiry.vendor.c_str(), field(unit_.fw_version).c_str(),
                           field(unit_.model_name).c_str(), address_number(unit_.net_addr)));
  if (p_.node.request(VRNSETUPTR, &unit_, sizeof unit_) < 0) {
    return failure(Outcome::fatal, kSystemError, "ioctl(VRNSETUPTR)");
  }
  p_.log.log(kNote, "Updated driver information");
  return Outcome::done;
}

Outcome Daemon::take_offline() {
  if (p_.node.request(VRNOFFLINE, nullptr, 0) < 0) {
    if (p_.stop != 0) {
      return Outcome::terminated;
    }
    if (errno != EINVAL) {
      return failure(Outcome::fatal, kSystemError, "ioctl(VRNOFFLINE)");
    }
    p_.log.log(kNote, "Driver reported Lanvara unit already offline.");
  }
  p_.log.log(kNote, "Orvane Lanvara unit offline");
  return Outcome::done;
}

Outcome Daemon::cycle() {
  if (!first_) {
    if (const Outcome o = take_offline(); o != Outcome::done) {
      return o;
    }
  }
  first_ = false;
  for (;;) {
    const Outcome o = make_socket_connection();
    if (o == Outcome::done) {
      break;
    }
    if (o != Outcome::retry) {
      return o;
    }
    p_.clock.pause(kReconnectPause);
    if (p_.stop != 0) {
      return Outcome::terminated;
    }
  }
  if (p_.node.request(VRNONLINE, nullptr, 0) < 0) {
    return failure(Outcome::fatal, kSystemError, "ioctl(VRN_ONLINE)");
  }
  p_.log.log(kNote, "Orvane Lanvara unit online");
  const Outcome o = relay(RelayPorts{p_.node, sock_fd_, p_.clock, p_.log, p_.stop});
  if (o != Outcome::retry) {
    return o;
  }
  close_socket();
  return Outcome::retry;
}

Outcome Daemon::run(const std::string& node_path, const char* address) {
  Outcome o = start(node_path, address);
  while (o == Outcome::done || o == Outcome::retry) {
    o = cycle();
  }
  return o;
}

void Daemon::close_socket() {
  if (sock_fd_ >= 0) {
    ::close(sock_fd_);
    sock_fd_ = -1;
  }
}

void Daemon::shutdown() {
  p_.log.log(kEvent, "Orvane Lanvara Daemon shutting down");
  p_.node.close();
  close_socket();
}

void Daemon::terminate() {
  p_.log.log(kNote, "Orvane Lanvara Daemon received a SIGTERM");
  shutdown();
}

} // namespace kvetherd
