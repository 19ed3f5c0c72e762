// What tests (and the statistics text) can read of one line of an emulated unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qdemu/far_end.h"

namespace qdemu {

enum class PortKind {
  serial,
  parallel,
  ab_switch, // the printer port of a redundant unit: its data bytes set the bus assignment
};

// Character format and speed, from FAS_SET_PARAMS / FAS_EXT_PARAMS.
struct LineParams {
  int out_code = 10; // FAS speed codes; 10 is 9600 bit/s
  int in_code = 10;
  long out_bps = 9600;
  int data_bits = 8;
  int stop_bits = 1;
  int parity = 0; // 0 none, 1 odd, 2 even
  bool receiver_on = true;
  bool local_loopback = false; // output comes back to the port's own receiver
};

// From FAS_FLOW_CTRL.
struct FlowSettings {
  bool in_xoff = false;    // send XOFF/XON to the far end to hold its input back
  bool in_rtscts = false;  // lower/raise RTS for the same purpose
  bool out_xon = false;    // XOFF/XON from the far end stop/restart output
  bool out_xany = false;   // any character restarts output
  bool out_rtscts = false; // output only while CTS is up
  std::uint8_t start_char = 0x11;
  std::uint8_t stop_char = 0x13;
  unsigned max_send = 0; // the host's largest FAS_SEND, as it told the unit
};

struct LineStats {
  std::uint64_t commands = 0;
  std::uint64_t answers = 0;
  std::uint64_t bytes_in = 0;      // characters taken in from the far end
  std::uint64_t bytes_out = 0;     // characters that left for the far end
  std::uint64_t bytes_to_host = 0; // FAS_RECV data
  std::uint64_t bytes_from_host = 0;
  std::uint64_t errors_in = 0; // characters with parity, framing or overrun status
  std::uint64_t breaks_in = 0;
  std::uint64_t breaks_out = 0;
  std::uint64_t input_dropped = 0; // arrived while disabled or with the receiver off
  std::uint64_t overflows = 0;     // characters lost to a full input buffer
};

struct LineState {
  PortKind kind = PortKind::serial;
  bool enabled = false;
  bool disabling = false;   // FAS_DISABLE waits for output to drain
  bool needs_reset = false; // its pod was offline: FAS_RESET (or an old-firmware enable) clears
  bool pod_down = false;
  LineParams params;
  FlowSettings flow;
  bool dtr = false; // as the host set them
  bool rts = false;
  bool rts_out = false; // what the far end sees: RTS less input flow control
  bool hangup_on_disable = true;
  bool carrier = false;
  bool dsr = false;
  bool cts = false;
  PrinterStatus printer;
  bool output_suspended = false; // FAS_OUTPUT_CTRL suspend
  bool xoff_received = false;
  bool input_blocked = false; // FAS_INPUT_CTRL block
  bool flow_asserted = false; // XOFF sent or RTS lowered towards the far end
  bool line_pacing = false;
  bool grant_pending = false;
  int status_mask = -1; // pending FAS_STAT_CHG mask, -1 when none
  std::uint8_t state_bits = 0;
  std::size_t input_buffered = 0;
  std::size_t output_buffered = 0;
};

} // namespace qdemu
