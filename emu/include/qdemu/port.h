// One line of an emulated unit: its state at the unit, its input and output buffers, flow
// control, the transmitter towards the far end, and the answers that wait on the line
// (FAS_RECV grant, FAS_STAT_CHG request, FAS_SEND, FAS_SEND_BREAK, FAS_WAIT_SEND,
// FAS_DISABLE). The engine decodes and checks commands; a Port carries them out and makes
// every answer of its line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "qdemu/clock.h"
#include "qdemu/far_end.h"
#include "qdemu/line_state.h"
#include "qdemu/ring_buffer.h"

namespace qdemu {

// What a port needs from its unit.
class PortHost {
public:
  virtual Tick now() const = 0;
  // Queues an answer: the 8-byte header and the data behind it.
  virtual void answer(const std::array<std::uint8_t, 8>& header,
                      std::span<const std::uint8_t> data) = 0;
  // Runs fn as an entry into the unit from outside (a far end or a test): time is caught up
  // first and the unit is serviced afterwards. Inside the unit, fn just runs.
  virtual void external(const std::function<void()>& fn) = 0;

protected:
  ~PortHost() = default;
};

struct PortConfig {
  std::size_t input_buffer = 1024;
  std::size_t output_buffer = 1024;
  std::size_t recv_max = 1024; // most data bytes in one FAS_RECV answer
  unsigned printer_cps = 1000; // a paced printer's characters per second
  bool line_pacing = false;
};

inline constexpr Tick kBreakTicks = kTicksPerSecond / 4; // a paced break lasts a quarter second

class Port final : public PortLink {
public:
  Port(PortHost& host, unsigned line, PortKind kind, const PortConfig& config);
  ~Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // Commands, already checked by the engine. Each answers for itself, now or later.
  void enable();
  void disable();
  void reset();
  void set_params(std::uint8_t opcode, const LineParams& params);
  void set_flow(const FlowSettings& flow);
  void set_modem(int rts_op, int dtr_op, bool hangup_on_disable);
  void status_request(std::uint8_t mask);
  void grant();
  void send(std::span<const std::uint8_t> data);
  void send_break();
  void wait_send();
  void output_ctrl(bool flush, bool suspend, bool resume);
  void input_ctrl(bool flush, bool block, bool unblock);

  // The port's pod went away: every answer owed is given with FAS_ST_LINE_DOWN and the
  // line loses its state. pod_up() lets commands in again (the line still needs a reset).
  void pod_down();
  void pod_up() {
    dirty_ = true;
    down_ = false;
  }
  bool is_down() const { return down_; }
  bool needs_reset() const { return needs_reset_; }
  void clear_needs_reset() {
    dirty_ = true;
    needs_reset_ = false;
  }
  // Firmware restart: all state goes, nothing is answered.
  void restart();

  // Moves what can move at the host's current tick; true when anything changed.
  bool service();
  // False when service() would find nothing to do: it found nothing last time, nothing has
  // reached the port since and its output is not paced by the clock.
  bool wants_service() const { return dirty_ || paced_; }
  // Next tick at which the port has timed work (paced output, a break ending).
  Tick next_event() const;

  void attach(std::shared_ptr<FarEnd> far_end);
  void detach();
  void count_command() { ++stats_.commands; }
  void count_answer() { ++stats_.answers; }

  // Test controls, applied directly (the engine wraps them as entries).
  void apply_carrier(bool on) {
    dirty_ = true;
    carrier_ = on;
  }
  void apply_dsr(bool on) {
    dirty_ = true;
    dsr_ = on;
  }
  void apply_cts(bool on) {
    dirty_ = true;
    cts_ = on;
  }
  void apply_printer(const PrinterStatus& s) {
    dirty_ = true;
    printer_ = s;
  }
  void apply_pacing(bool on);
  void apply_ab_switch(std::uint8_t mask) {
    dirty_ = true;
    ab_mask_ = mask;
  }
  void take_in(std::uint8_t byte, std::uint8_t status);

  PortKind kind() const { return kind_; }
  std::uint8_t ab_switch() const { return ab_mask_; }
  std::uint8_t state_bits() const;
  LineState state() const;
  const LineStats& stats() const { return stats_; }

  // PortLink, for far ends.
  unsigned line() const override { return line_; }
  void receive(std::span<const std::uint8_t> bytes, ByteStatus status) override;
  std::size_t receive_own(std::span<const std::uint8_t> bytes) override;
  void receive_break() override;
  void set_carrier(bool on) override;
  void set_dsr(bool on) override;
  void set_cts(bool on) override;
  void set_printer(const PrinterStatus& status) override;
  void set_line_pacing(bool on) override;
  void far_end_ready() override;

private:
  static constexpr std::uint8_t kBreakStatus = 11;
  static constexpr std::int16_t kBreakMark = -1;
  static constexpr std::size_t kFlowedRun = 128;

  struct InChar {
    std::uint8_t byte;
    std::uint8_t status; // 0 good, 4/5/6 error, 11 break
  };
  struct OutCommand {
    bool is_break = false;
    std::vector<std::uint8_t> data;
    std::size_t taken = 0;
  };

  void answer(std::uint8_t opcode, std::uint8_t status);
  void answer_recv(std::uint8_t status, std::span<const std::uint8_t> data);
  // FAS_STAT_CHG answers name the mask of the request they answer in byte 4.
  void answer_status(std::uint8_t mask);
  void refuse_status(std::uint8_t mask, std::uint8_t status);
  bool active() const { return enabled_ && !disabling_; }
  bool stopped() const;
  bool can_transmit() const;
  bool drained() const { return pending_out_.empty() && out_.empty() && !in_break_; }
  bool accept();
  bool transmit_at_once();
  bool transmit_paced();
  // Hands characters to the far end (or back to the port); flowed: flow control may stop
  // the port after any of them. Returns how many of them went.
  std::size_t deliver(std::span<const std::uint8_t> bytes, bool flowed);
  // The port's own characters coming back in, up to the one after which it stops sending.
  std::size_t take_back(std::span<const std::uint8_t> bytes, bool flowed);
  std::size_t quiet_input(std::size_t most) const;
  void start_break();
  void finish_break();
  void send_flow_char(std::uint8_t c);
  bool update_input_flow();
  void update_modem_out();
  bool serve_grant();
  void finish_disable();
  void drop_everything();
  long rate() const;
  long char_cost() const;

  bool dirty_ = true; // first, so that a unit's sweep over idle ports reads little
  PortHost& host_;
  const unsigned line_;
  const PortKind kind_;
  const PortConfig config_;
  std::shared_ptr<FarEnd> far_;

  bool enabled_ = false;
  bool disabling_ = false;
  bool needs_reset_ = false;
  bool down_ = false;
  LineParams params_;
  FlowSettings flow_;
  bool dtr_ = false;
  bool rts_ = false;
  bool hangup_on_disable_ = true;
  bool carrier_ = false;
  bool dsr_ = false;
  bool cts_ = false;
  PrinterStatus printer_;
  std::uint8_t ab_mask_ = 0xff; // all port groups on bus A

  bool host_suspended_ = false;
  bool xoff_received_ = false;
  bool host_blocked_ = false;
  bool flow_asserted_ = false;
  std::optional<std::pair<bool, bool>> modem_seen_; // (dtr, rts) last told to the far end
  bool held_told_ = false;                          // hold_off last told to the far end

  RingBuffer<InChar> in_;
  bool overflow_ = false;
  bool grant_ = false;
  std::optional<std::uint8_t> status_mask_;
  std::uint8_t reported_state_ = 0;

  RingBuffer<OutCommand> pending_out_; // FAS_SEND data and breaks not yet in the buffer
  RingBuffer<std::int16_t> out_;       // the output buffer: characters and break marks
  std::size_t out_chars_ = 0;
  int wait_sends_ = 0;

  bool paced_;
  long credit_ = 0; // hundredths of a bit
  Tick credit_tick_ = 0;
  bool in_break_ = false;
  Tick break_until_ = 0;

  LineStats stats_;

  // Room kept between uses, so that moving data calls the heap only while it grows.
  std::vector<std::uint8_t> spare_send_; // the next FAS_SEND's copy of its data
  std::vector<std::uint8_t> run_;        // a run of characters on its way to the far end
  std::vector<std::uint8_t> grant_data_; // a FAS_RECV answer's data
};

} // namespace qdemu
