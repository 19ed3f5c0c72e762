// A far end driven by a test: it injects characters (with a receive status) and breaks, sets
// the modem or printer inputs, and records everything that left the port.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "qdemu/far_end.h"

namespace qdemu {

class ScriptedPeer final : public FarEnd {
public:
  // What arrived from the port, in order.
  struct Event {
    enum class Kind { data, brk, modem } kind;
    std::vector<std::uint8_t> bytes; // data
    bool dtr = false;                // modem
    bool rts = false;
  };

  // Towards the port; no effect while detached.
  void send(std::span<const std::uint8_t> bytes, ByteStatus status = ByteStatus::good);
  void send(std::string_view text) {
    send({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  }
  void send_break();
  void set_carrier(bool on);
  void set_dsr(bool on);
  void set_cts(bool on);
  void set_printer(const PrinterStatus& status);

  // From the port.
  const std::vector<std::uint8_t>& received() const { return received_; }
  std::string_view received_text() const {
    return {reinterpret_cast<const char*>(received_.data()), received_.size()};
  }
  void clear_received() { received_.clear(); }
  unsigned breaks() const { return breaks_; }
  bool dtr() const { return dtr_; }
  bool rts() const { return rts_; }
  const std::vector<Event>& events() const { return events_; }
  bool attached_now() const { return port_ != nullptr; }

  // FarEnd
  void attached(PortLink& port) override { port_ = &port; }
  void detached() override { port_ = nullptr; }
  void transmit(std::span<const std::uint8_t> bytes) override;
  void transmit_break() override;
  void modem_out(bool dtr, bool rts) override;

private:
  PortLink* port_ = nullptr;
  std::vector<std::uint8_t> received_;
  std::vector<Event> events_;
  unsigned breaks_ = 0;
  bool dtr_ = false;
  bool rts_ = false;
};

} // namespace qdemu
