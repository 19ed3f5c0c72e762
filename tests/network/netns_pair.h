// Two network namespaces made for one test and joined by a veth pair: "server" (A) and
// "module" (B), on 127.99.0.1 and 127.99.0.2. Loopback addresses on the veth keep every
// packet inside the pair (route_localnet lets them be routed there; loopback stays down,
// so nothing in 127.0.0.0/8 is local but the pair's own addresses). B answers no ARP, so a
// packet from A reaches B only through an entry A was given (unless asked otherwise); B
// knows A's hardware address.
// Both namespaces, and the pair with them, are deleted at the end, also after a failure.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nettest {

class NetnsPair {
public:
  static constexpr const char* kAddrA = "127.99.0.1";
  static constexpr const char* kAddrB = "127.99.0.2";

  // Why namespaces cannot be made here ("" when they can): needs root, iproute2, and a
  // system that lets one be made, which it tries.
  static std::string unavailable();

  // arp_b: B answers ARP like any host (when A must reach it before any entry is made).
  explicit NetnsPair(bool arp_b = false);
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  bool ok() const { return ok_; }
  const std::string& a() const { return ns_a_; }
  const std::string& b() const { return ns_b_; }
  const std::string& dev_b() const { return dev_b_; }
  std::array<std::uint8_t, 6> mac_b() const { return mac_b_; }

  // Runs fn with this thread inside the namespace; sockets made there stay there.
  void in(const std::string& ns, const std::function<void()>& fn) const;
  // `ip neigh` of A for addr, as ip prints it ("" when there is none).
  std::string neighbour_a(const char* addr) const;

private:
  bool ip(const std::vector<std::string>& args, std::string* out = nullptr) const;

  std::string ns_a_, ns_b_, dev_a_, dev_b_;
  std::array<std::uint8_t, 6> mac_b_{};
  bool ok_ = false;
};

} // namespace nettest
