// A stand-in for the qd driver's unit node, for kvvrnreset's tests: a STREAMS driver with
// one node "vrnn3" that answers VRNGETUPTR (I_STR) with a unit description holding the
// address set here, refuses unprivileged callers with EPERM, and can be told to refuse
// with another errno. Served by qdhost's node server on a kernel of the test's own.
// Free of kernel headers, so that the tests can include it beside the host's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace nettest {

inline constexpr const char kStubNode[] = "vrnn3";

class UnitNodeServer {
public:
  // Serves the node in `dir`; ok() says whether that worked.
  explicit UnitNodeServer(const std::string& dir);
  ~UnitNodeServer();
  UnitNodeServer(const UnitNodeServer&) = delete;
  UnitNodeServer& operator=(const UnitNodeServer&) = delete;

  bool ok() const { return ok_; }
  // The description's address (network order), or an errno to refuse VRNGETUPTR with.
  void set_address(std::uint32_t addr_net);
  void refuse_with(int error);
  // VRNGETUPTR requests answered or refused so far.
  int requests() const;

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
  bool ok_ = false;
};

} // namespace nettest
