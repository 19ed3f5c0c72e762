#include "qdemu/scripted_peer.h"

namespace qdemu {

void ScriptedPeer::send(std::span<const std::uint8_t> bytes, ByteStatus status) {
  if (port_ != nullptr)
    port_->receive(bytes, status);
}

void ScriptedPeer::send_break() {
  if (port_ != nullptr)
    port_->receive_break();
}

void ScriptedPeer::set_carrier(bool on) {
  if (port_ != nullptr)
    port_->set_carrier(on);
}

void ScriptedPeer::set_dsr(bool on) {
  if (port_ != nullptr)
    port_->set_dsr(on);
}

void ScriptedPeer::set_cts(bool on) {
  if (port_ != nullptr)
    port_->set_cts(on);
}

void ScriptedPeer::set_printer(const PrinterStatus& status) {
  if (port_ != nullptr)
    port_->set_printer(status);
}

void ScriptedPeer::transmit(std::span<const std::uint8_t> bytes) {
  received_.insert(received_.end(), bytes.begin(), bytes.end());
  if (!events_.empty() && events_.back().kind == Event::Kind::data)
    events_.back().bytes.insert(events_.back().bytes.end(), bytes.begin(), bytes.end());
  else
    events_.push_back({Event::Kind::data, {bytes.begin(), bytes.end()}});
}

void ScriptedPeer::transmit_break() {
  ++breaks_;
  events_.push_back({Event::Kind::brk, {}});
}

void ScriptedPeer::modem_out(bool dtr, bool rts) {
  dtr_ = dtr;
  rts_ = rts;
  events_.push_back({Event::Kind::modem, {}, dtr, rts});
}

} // namespace qdemu
