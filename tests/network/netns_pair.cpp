#include "netns_pair.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "child_process.h"

namespace nettest {
namespace {

std::string ip_path() {
  for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (::access(p, X_OK) == 0) {
      return p;
    }
  }
  return {};
}

bool write_file(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool ok = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  ::close(fd);
  return ok;
}

} // namespace

std::string NetnsPair::unavailable() {
  if (::geteuid() != 0) {
    return "network namespaces need root";
  }
  const std::string ip = ip_path();
  if (ip.empty()) {
    return "iproute2 (ip) is not installed";
  }
  // Root and ip are not enough in a chroot or a container without the capability: try.
  const std::string probe = "qd" + std::to_string(::getpid()) + "probe";
  std::string out, err, ignored;
  const int status = run_child({ip, {"netns", "add", probe}}, &out, &err);
  run_child({ip, {"netns", "del", probe}}, &out, &ignored);
  if (status != 0) {
    return "no network namespace can be made here: " + err.substr(0, err.find('\n'));
  }
  return {};
}

bool NetnsPair::ip(const std::vector<std::string>& args, std::string* out) const {
  std::string err;
  const int status = run_child({ip_path(), args}, out, &err);
  if (status != 0) {
    ADD_FAILURE() << "ip";
    for (const auto& a : args) {
      ADD_FAILURE() << "  " << a;
    }
    ADD_FAILURE() << "failed (" << status << "): " << err;
  }
  return status == 0;
}

NetnsPair::NetnsPair(bool arp_b) {
  const std::string tag = "qd" + std::to_string(::getpid());
  ns_a_ = tag + "srv";
  ns_b_ = tag + "mod";
  dev_a_ = tag + "a";
  dev_b_ = tag + "b";
  if (!ip({"netns", "add", ns_a_}) || !ip({"netns", "add", ns_b_}) ||
      !ip({"link", "add", dev_a_, "type", "veth", "peer", "name", dev_b_}) ||
      !ip({"link", "set", dev_a_, "netns", ns_a_}) ||
      !ip({"link", "set", dev_b_, "netns", ns_b_})) {
    return;
  }
  bool sysctl_ok = true;
  for (const auto& ns : {ns_a_, ns_b_}) {
    in(ns, [&] {
      sysctl_ok = sysctl_ok && write_file("/proc/sys/net/ipv4/conf/all/route_localnet", "1");
    });
  }
  if (!sysctl_ok) {
    ADD_FAILURE() << "route_localnet could not be set";
    return;
  }
  if (!ip({"-n", ns_a_, "addr", "add", std::string(kAddrA) + "/24", "dev", dev_a_}) ||
      !ip({"-n", ns_b_, "addr", "add", std::string(kAddrB) + "/24", "dev", dev_b_}) ||
      !ip({"-n", ns_a_, "link", "set", dev_a_, "up"}) ||
      !ip({"-n", ns_b_, "link", "set", dev_b_, "up", "arp", arp_b ? "on" : "off"})) {
    return;
  }
  std::string mac_a_text;
  bool macs = false;
  in(ns_a_, [&] {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq r{};
    std::snprintf(r.ifr_name, sizeof r.ifr_name, "%s", dev_a_.c_str());
    if (s >= 0 && ::ioctl(s, SIOCGIFHWADDR, &r) == 0) {
      char t[18];
      const auto* m = reinterpret_cast<const unsigned char*>(r.ifr_hwaddr.sa_data);
      std::snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                    m[5]);
      mac_a_text = t;
      macs = true;
    }
    if (s >= 0) {
      ::close(s);
    }
  });
  in(ns_b_, [&] {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq r{};
    std::snprintf(r.ifr_name, sizeof r.ifr_name, "%s", dev_b_.c_str());
    macs = macs && s >= 0 && ::ioctl(s, SIOCGIFHWADDR, &r) == 0;
    if (macs) {
      std::memcpy(mac_b_.data(), r.ifr_hwaddr.sa_data, 6);
    }
    if (s >= 0) {
      ::close(s);
    }
  });
  if (!macs) {
    ADD_FAILURE() << "hardware addresses of the pair not found";
    return;
  }
  // Without ARP, B would send even its broadcasts to its own hardware address.
  ok_ = ip({"-n", ns_b_, "neigh", "replace", kAddrA, "lladdr", mac_a_text, "dev", dev_b_, "nud",
            "permanent"}) &&
        ip({"-n", ns_b_, "neigh", "replace", "255.255.255.255", "lladdr", "ff:ff:ff:ff:ff:ff",
            "dev", dev_b_, "nud", "permanent"});
}

NetnsPair::~NetnsPair() {
  for (const auto& ns : {ns_a_, ns_b_}) {
    if (!ns.empty()) {
      std::string out, err;
      run_child({ip_path(), {"netns", "del", ns}}, &out, &err);
    }
  }
}

void NetnsPair::in(const std::string& ns, const std::function<void()>& fn) const {
  const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (home < 0 || there < 0 || ::setns(there, CLONE_NEWNET) < 0) {
    ADD_FAILURE() << "cannot enter namespace " << ns << ": " << std::strerror(errno);
  } else {
    fn();
    if (::setns(home, CLONE_NEWNET) < 0) {
      // A thread left in the pair would send the rest of the test's traffic there.
      std::fprintf(stderr, "cannot leave namespace %s\n", ns.c_str());
      std::abort();
    }
  }
  for (int fd : {home, there}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

std::string NetnsPair::neighbour_a(const char* addr) const {
  std::string out;
  ip({"-n", ns_a_, "neigh", "show", addr}, &out);
  return out;
}

} // namespace nettest
