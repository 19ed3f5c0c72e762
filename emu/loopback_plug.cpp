#include "qdemu/loopback_plug.h"

namespace qdemu {

void LoopbackPlug::attached(PortLink& port) {
  port_ = &port;
  if (options_.at_line_speed)
    port.set_line_pacing(true);
}

void LoopbackPlug::transmit(std::span<const std::uint8_t> bytes) {
  if (port_ != nullptr)
    port_->receive(bytes);
}

std::size_t LoopbackPlug::transmit_flowed(std::span<const std::uint8_t> bytes) {
  return port_ != nullptr ? port_->receive_own(bytes) : bytes.size();
}

void LoopbackPlug::transmit_break() {
  if (port_ != nullptr)
    port_->receive_break();
}

void LoopbackPlug::modem_out(bool dtr, bool rts) {
  if (port_ == nullptr || !options_.wire_signals)
    return;
  port_->set_cts(rts);
  port_->set_dsr(dtr);
  port_->set_carrier(dtr);
}

} // namespace qdemu
