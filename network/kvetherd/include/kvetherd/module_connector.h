// Reaching the Lanvara module: a new TCP connection and the unlock and inquiry exchange.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "qdnet/vrn_exchange.h"

namespace kvetherd {

class ModuleConnector {
public:
  virtual ~ModuleConnector() = default;
  // Connects to the module at `addr` (network order) and runs the exchange, telling
  // `report` each step: the connected socket, or -1 with nothing left open.
  virtual int connect(in_addr_t addr, const qdnet::VrnReporter& report,
                      qdnet::VrnInquiry* inquiry) = 0;
};

// The module's TCP port 10001 and the shared exchange routine.
class TcpModuleConnector final : public ModuleConnector {
public:
  // `limit_ms` bounds each connect, read and write of the exchange (0: none). Kept on
  // the socket afterwards, it also bounds a relay write that the module does not take.
  explicit TcpModuleConnector(int limit_ms, std::uint16_t port = qdnet::kVrnPort)
      : limit_ms_(limit_ms), port_(port) {}
  int connect(in_addr_t addr, const qdnet::VrnReporter& report,
              qdnet::VrnInquiry* inquiry) override;

private:
  int limit_ms_;
  std::uint16_t port_;
};

} // namespace kvetherd
