// The far end of a port: whatever is plugged into it (a loopback plug, a test peer, a
// terminal in the host program). The port calls the far end with what leaves the port;
// the far end calls the port back through its PortLink with what enters it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qdemu {

// How a received character arrived; the values are the FAS_RECV statuses that report it.
enum class ByteStatus : std::uint8_t {
  good = 0,
  parity = 4,
  overrun = 5,
  framing = 6,
};

// Printer state of a parallel port, as its printer reports it.
struct PrinterStatus {
  bool paper_out = false;
  bool online = true;
  bool error = false;
};

// The port side, handed to a far end when it is attached. Calls may come from outside the
// engine (a test, a host poll loop) or from inside FarEnd::transmit (a plug that answers at
// once); both are safe.
class PortLink {
public:
  virtual unsigned line() const = 0;
  // Characters arriving at the port's receiver.
  virtual void receive(std::span<const std::uint8_t> bytes,
                       ByteStatus status = ByteStatus::good) = 0;
  // The port's own characters coming straight back (a loopback), taken up to the one after
  // which the port stops sending (its flow control); returns how many it took.
  virtual std::size_t receive_own(std::span<const std::uint8_t> bytes) {
    receive(bytes);
    return bytes.size();
  }
  virtual void receive_break() = 0;
  // Modem inputs of a serial port.
  virtual void set_carrier(bool on) = 0;
  virtual void set_dsr(bool on) = 0;
  virtual void set_cts(bool on) = 0;
  // Printer inputs of a parallel port.
  virtual void set_printer(const PrinterStatus& status) = 0;
  // Transmit at the line's configured speed instead of at once.
  virtual void set_line_pacing(bool on) = 0;
  // The far end takes output again after holding it (FarEnd::holds_output).
  virtual void far_end_ready() {}

protected:
  ~PortLink() = default;
};

class FarEnd {
public:
  virtual ~FarEnd() = default;
  // The far end is plugged in; `port` stays valid until detached().
  virtual void attached(PortLink& port) { (void)port; }
  virtual void detached() {}
  // Characters leaving the port, in order.
  virtual void transmit(std::span<const std::uint8_t> bytes) = 0;
  // Characters leaving the port under output flow control. A far end that calls the port
  // back from inside (a loopback) may stop it after any of them: it takes them up to that
  // one and returns how many it took. Any other takes them all.
  virtual std::size_t transmit_flowed(std::span<const std::uint8_t> bytes) {
    transmit(bytes);
    return bytes.size();
  }
  virtual void transmit_break() {}
  // The port's modem outputs changed (serial ports; rts already reflects input flow control).
  virtual void modem_out(bool dtr, bool rts) {
    (void)dtr;
    (void)rts;
  }
  // The port holds its input off by RTS/CTS flow control (true) or takes input again: a
  // device that honours it stops sending meanwhile. Must not block.
  virtual void hold_off(bool held) { (void)held; }
  // The far end cannot take more now (a file that does not keep up): the port's output
  // waits, whatever its flow control, until the far end calls PortLink::far_end_ready().
  virtual bool holds_output() const { return false; }
};

} // namespace qdemu
