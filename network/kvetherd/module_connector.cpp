#include "kvetherd/module_connector.h"

namespace kvetherd {

int TcpModuleConnector::connect(in_addr_t addr, const qdnet::VrnReporter& report,
                                qdnet::VrnInquiry* inquiry) {
  qdnet::VrnExchangeOptions opts;
  opts.address = addr;
  opts.port = port_;
  opts.inquiry_buffer = qdnet::kDaemonInquiryBuffer;
  opts.timeout_ms = limit_ms_;
  return qdnet::vrn_tcp_exchange(opts, report, inquiry);
}

} // namespace kvetherd
