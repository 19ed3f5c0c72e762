// A loopback plug: what leaves the port comes back into it. Wired like the usual test plug
// (unless told not to): RTS drives CTS, DTR drives DSR and carrier.
#pragma once

#include "qdemu/far_end.h"

namespace qdemu {

class LoopbackPlug final : public FarEnd {
public:
  struct Options {
    bool wire_signals = true;
    bool at_line_speed = false; // the port paces its output at the line's speed
  };

  LoopbackPlug() = default;
  explicit LoopbackPlug(Options options) : options_(options) {}

  void attached(PortLink& port) override;
  void detached() override { port_ = nullptr; }
  void transmit(std::span<const std::uint8_t> bytes) override;
  std::size_t transmit_flowed(std::span<const std::uint8_t> bytes) override;
  void transmit_break() override;
  void modem_out(bool dtr, bool rts) override;

private:
  Options options_;
  PortLink* port_ = nullptr;
};

} // namespace qdemu
