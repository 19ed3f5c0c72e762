#include "qdemu/port.h"

#include <algorithm>

#include "fas.h"

namespace qdemu {

Port::Port(PortHost& host, unsigned line, PortKind kind, const PortConfig& config)
    : host_(host), line_(line), kind_(kind), config_(config), paced_(config.line_pacing) {}

Port::~Port() {
  if (far_)
    far_->detached();
}

// ---- Answers -------------------------------------------------------------------------

void Port::answer(std::uint8_t opcode, std::uint8_t status) {
  host_.answer({opcode, static_cast<std::uint8_t>(line_), status, 0, 0, 0, 0, 0}, {});
}

void Port::answer_recv(std::uint8_t status, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, 8> h{FAS_RECV, static_cast<std::uint8_t>(line_), status, 0, 0, 0, 0, 0};
  fas_put16(&h[4], static_cast<unsigned>(data.size()));
  stats_.bytes_to_host += data.size();
  host_.answer(h, data);
}

void Port::answer_status(std::uint8_t mask) {
  reported_state_ = state_bits();
  host_.answer(
      {FAS_STAT_CHG, static_cast<std::uint8_t>(line_), FAS_ST_OK, reported_state_, mask, 0, 0, 0},
      {});
}

void Port::refuse_status(std::uint8_t mask, std::uint8_t status) {
  host_.answer({FAS_STAT_CHG, static_cast<std::uint8_t>(line_), status, 0, mask, 0, 0, 0}, {});
}

// ---- Commands ------------------------------------------------------------------------

void Port::enable() {
  dirty_ = true;
  if (disabling_) {
    answer(FAS_ENABLE, ERR_MULT_CMD);
    return;
  }
  if (!enabled_) {
    enabled_ = true;
    in_.clear();
    overflow_ = false;
    host_suspended_ = xoff_received_ = host_blocked_ = flow_asserted_ = false;
    reported_state_ = state_bits();
    update_modem_out();
  }
  answer(FAS_ENABLE, FAS_ST_OK);
}

void Port::disable() {
  dirty_ = true;
  if (!enabled_) {
    answer(FAS_DISABLE, FAS_ST_OK);
    return;
  }
  if (disabling_) {
    answer(FAS_DISABLE, ERR_MULT_CMD);
    return;
  }
  // The host takes no input after its disable: the grant goes back empty and the
  // status request is forgotten (answering it would only make the host ask again).
  if (grant_) {
    grant_ = false;
    answer_recv(FAS_ST_OK, {});
  }
  status_mask_.reset();
  in_.clear();
  overflow_ = false;
  host_blocked_ = false;
  flow_asserted_ = false;
  update_modem_out();
  disabling_ = true; // answered by service() once the output has drained
}

void Port::finish_disable() {
  enabled_ = false;
  disabling_ = false;
  host_suspended_ = false;
  xoff_received_ = false;
  if (hangup_on_disable_)
    dtr_ = rts_ = false;
  update_modem_out();
  answer(FAS_DISABLE, FAS_ST_OK);
}

void Port::drop_everything() {
  enabled_ = disabling_ = false;
  grant_ = false;
  status_mask_.reset();
  in_.clear();
  overflow_ = false;
  pending_out_.clear();
  out_.clear();
  out_chars_ = 0;
  wait_sends_ = 0;
  in_break_ = false;
  host_suspended_ = xoff_received_ = host_blocked_ = flow_asserted_ = false;
  credit_ = 0;
  params_ = {};
  flow_ = {};
  dtr_ = rts_ = false;
  hangup_on_disable_ = true;
}

void Port::reset() {
  dirty_ = true;
  drop_everything();
  needs_reset_ = false;
  update_modem_out();
  answer(FAS_RESET, FAS_ST_OK);
}

void Port::restart() {
  dirty_ = true;
  drop_everything();
  needs_reset_ = false;
  update_modem_out();
}

void Port::pod_down() {
  dirty_ = true;
  const std::uint8_t down = FAS_ST_LINE_DOWN;
  if (grant_)
    answer_recv(down, {});
  if (status_mask_)
    refuse_status(*status_mask_, down);
  for (std::size_t i = 0; i < pending_out_.size(); ++i)
    answer(pending_out_[i].is_break ? FAS_SEND_BREAK : FAS_SEND, down);
  for (std::size_t i = 0; i < out_.size(); ++i) {
    if (out_[i] == kBreakMark)
      answer(FAS_SEND_BREAK, down);
  }
  if (in_break_)
    answer(FAS_SEND_BREAK, down);
  for (int i = 0; i < wait_sends_; ++i)
    answer(FAS_WAIT_SEND, down);
  if (disabling_)
    answer(FAS_DISABLE, down);
  drop_everything();
  needs_reset_ = true;
  down_ = true;
  update_modem_out();
}

void Port::set_params(std::uint8_t opcode, const LineParams& params) {
  dirty_ = true;
  params_ = params;
  answer(opcode, FAS_ST_OK);
}

void Port::set_flow(const FlowSettings& flow) {
  dirty_ = true;
  flow_ = flow;
  if (!flow_.out_xon)
    xoff_received_ = false;
  if (flow_asserted_ && !flow_.in_xoff && !flow_.in_rtscts)
    flow_asserted_ = false;
  update_modem_out();
  answer(FAS_FLOW_CTRL, FAS_ST_OK);
}

void Port::set_modem(int rts_op, int dtr_op, bool hangup_on_disable) {
  dirty_ = true;
  if (rts_op != 0)
    rts_ = rts_op == 1;
  if (dtr_op != 0)
    dtr_ = dtr_op == 1;
  hangup_on_disable_ = hangup_on_disable;
  update_modem_out();
  answer(FAS_SET_MODEM, FAS_ST_OK);
}

void Port::status_request(std::uint8_t mask) {
  dirty_ = true;
  if (mask & 0x80) {
    answer_status(mask); // a query: answered now, a pending request stays as it was
    return;
  }
  if (!active()) {
    refuse_status(mask, ERR_UNKNOWN);
    return;
  }
  if (status_mask_) {
    refuse_status(mask, ERR_MULT_CMD);
    return;
  }
  status_mask_ = static_cast<std::uint8_t>(mask & 0x7f);
}

void Port::grant() {
  dirty_ = true;
  if (!active()) {
    answer_recv(ERR_UNKNOWN, {});
    return;
  }
  if (grant_) {
    answer_recv(ERR_MULT_CMD, {});
    return;
  }
  grant_ = true;
}

void Port::send(std::span<const std::uint8_t> data) {
  dirty_ = true;
  stats_.bytes_from_host += data.size();
  if (!active()) {
    answer(FAS_SEND, ERR_UNKNOWN);
    return;
  }
  for (std::size_t i = 0; i < pending_out_.size(); ++i) {
    if (!pending_out_[i].is_break) {
      answer(FAS_SEND, ERR_MULT_CMD);
      return;
    }
  }
  OutCommand c;
  c.data = std::move(spare_send_);
  c.data.assign(data.begin(), data.end());
  pending_out_.push_back(std::move(c));
}

void Port::send_break() {
  dirty_ = true;
  if (!active()) {
    answer(FAS_SEND_BREAK, ERR_UNKNOWN);
    return;
  }
  pending_out_.push_back({true, {}});
}

void Port::wait_send() {
  dirty_ = true;
  ++wait_sends_;
}

void Port::output_ctrl(bool flush, bool suspend, bool resume) {
  dirty_ = true;
  if (flush) {
    // Discarded data counts as taken: every FAS_SEND and break owed is answered.
    for (std::size_t i = 0; i < pending_out_.size(); ++i)
      answer(pending_out_[i].is_break ? FAS_SEND_BREAK : FAS_SEND, FAS_ST_OK);
    pending_out_.clear();
    for (std::size_t i = 0; i < out_.size(); ++i) {
      if (out_[i] == kBreakMark)
        answer(FAS_SEND_BREAK, FAS_ST_OK);
    }
    out_.clear();
    out_chars_ = 0;
    if (in_break_) {
      in_break_ = false;
      answer(FAS_SEND_BREAK, FAS_ST_OK);
    }
  }
  if (suspend)
    host_suspended_ = true;
  if (resume)
    host_suspended_ = false;
  answer(FAS_OUTPUT_CTRL, FAS_ST_OK);
}

void Port::input_ctrl(bool flush, bool block, bool unblock) {
  dirty_ = true;
  if (flush) {
    in_.clear();
    overflow_ = false;
  }
  if (block)
    host_blocked_ = true;
  if (unblock)
    host_blocked_ = false;
  update_input_flow();
  answer(FAS_INPUT_CTRL, FAS_ST_OK);
}

// ---- Output --------------------------------------------------------------------------

bool Port::stopped() const {
  if (host_suspended_ || (flow_.out_xon && xoff_received_))
    return true;
  if (kind_ == PortKind::serial)
    return flow_.out_rtscts && !cts_;
  if (kind_ == PortKind::parallel)
    return !printer_.online || printer_.paper_out || printer_.error;
  return false;
}

bool Port::can_transmit() const {
  return enabled_ && !out_.empty() && !stopped() && !in_break_ &&
         !(far_ && !params_.local_loopback && far_->holds_output());
}

bool Port::accept() {
  bool moved = false;
  while (!pending_out_.empty()) {
    OutCommand& c = pending_out_.front();
    if (c.is_break) {
      out_.push_back(kBreakMark);
      pending_out_.pop_front();
      moved = true;
      continue;
    }
    const std::size_t room = config_.output_buffer - out_chars_;
    const std::size_t n = std::min(room, c.data.size() - c.taken);
    for (std::size_t i = 0; i < n; ++i)
      out_.push_back(c.data[c.taken + i]);
    c.taken += n;
    out_chars_ += n;
    moved = moved || n > 0;
    if (c.taken < c.data.size())
      break;
    spare_send_ = std::move(c.data);
    pending_out_.pop_front();
    answer(FAS_SEND, FAS_ST_OK);
    moved = true;
  }
  return moved;
}

std::size_t Port::deliver(std::span<const std::uint8_t> bytes, bool flowed) {
  std::size_t taken = bytes.size();
  if (params_.local_loopback) {
    taken = take_back(bytes, flowed);
  } else if (kind_ == PortKind::ab_switch) {
    if (!bytes.empty())
      ab_mask_ = bytes.back();
  } else if (far_ && flowed) {
    taken = far_->transmit_flowed(bytes);
  } else if (far_) {
    far_->transmit(bytes);
  }
  stats_.bytes_out += taken;
  return taken;
}

std::size_t Port::take_back(std::span<const std::uint8_t> bytes, bool flowed) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t quiet = quiet_input(bytes.size() - i);
    for (std::size_t k = 0; k < quiet; ++k)
      in_.push_back({bytes[i + k], FAS_ST_OK});
    if (quiet > 0)
      dirty_ = true; // a grant may be waiting for them
    stats_.bytes_in += quiet;
    i += quiet;
    if (i == bytes.size())
      break;
    take_in(bytes[i++], FAS_ST_OK);
    if (flowed && stopped())
      return i;
  }
  return bytes.size();
}

// How many of the next good characters take_in() would only store: no flow character to
// look for, no overflow, no change of input flow control. Those go in without the checks.
std::size_t Port::quiet_input(std::size_t most) const {
  if (!enabled_ || !params_.receiver_on || kind_ != PortKind::serial || flow_.out_xon || disabling_)
    return 0;
  const std::size_t cap = config_.input_buffer;
  const std::size_t size = in_.size();
  if (size >= cap)
    return 0;
  std::size_t n = std::min(most, cap - size);
  if (!flow_asserted_) {
    if (flow_.in_xoff || flow_.in_rtscts) {
      const std::size_t mark = cap - cap / 4;
      if (host_blocked_ || size + 1 >= mark)
        return 0;
      n = std::min(n, mark - 1 - size);
    }
  } else if (!host_blocked_ && size + 1 <= cap / 4) {
    return 0; // the next character may let the far end go again
  }
  return n;
}

void Port::start_break() {
  ++stats_.breaks_out;
  if (params_.local_loopback)
    take_in(0, kBreakStatus);
  else if (far_)
    far_->transmit_break();
}

void Port::finish_break() {
  answer(FAS_SEND_BREAK, FAS_ST_OK);
}

bool Port::transmit_at_once() {
  if (!can_transmit())
    return false;
  bool any = false;
  // With flow control on output the far end may stop us after any character it receives:
  // runs are kept short then, as what it does not take is gathered again next time.
  const bool flowed = flow_.out_xon || flow_.out_rtscts;
  const std::size_t most = flowed ? kFlowedRun : out_.size();
  std::vector<std::uint8_t> run = std::move(run_); // deliver() may come back here
  while (can_transmit()) {
    if (out_.front() == kBreakMark) {
      out_.pop_front();
      start_break();
      finish_break();
      any = true;
      continue;
    }
    run.clear();
    for (std::size_t i = 0; i < out_.size() && i < most && out_[i] != kBreakMark; ++i)
      run.push_back(static_cast<std::uint8_t>(out_[i]));
    // What the far end did not take stays in the buffer; nothing else touches it meanwhile.
    const std::size_t sent = deliver(run, flowed);
    out_.drop_front(sent);
    out_chars_ -= sent;
    any = true;
  }
  run.clear();
  run_ = std::move(run);
  return any;
}

long Port::rate() const {
  if (kind_ == PortKind::serial)
    return params_.out_bps;
  return static_cast<long>(config_.printer_cps) * 10;
}

long Port::char_cost() const {
  if (kind_ != PortKind::serial)
    return 1000;
  const int bits = 1 + params_.data_bits + (params_.parity != 0 ? 1 : 0) + params_.stop_bits;
  return bits * 100L;
}

bool Port::transmit_paced() {
  const Tick now = host_.now();
  bool any = false;
  if (in_break_) {
    if (now < break_until_)
      return false;
    in_break_ = false;
    finish_break();
    any = true;
    credit_ = 0;
    credit_tick_ = now;
  }
  if (!can_transmit()) {
    credit_ = 0;
    credit_tick_ = now;
    return any;
  }
  const Tick elapsed = std::min<Tick>(now - credit_tick_, 1000000);
  credit_ += static_cast<long>(elapsed) * rate();
  credit_tick_ = now;
  while (can_transmit()) {
    if (out_.front() == kBreakMark) {
      out_.pop_front();
      start_break();
      in_break_ = true;
      break_until_ = now + kBreakTicks;
      credit_ = 0;
      any = true;
      break;
    }
    if (credit_ < char_cost())
      break;
    const auto b = static_cast<std::uint8_t>(out_.front());
    out_.pop_front();
    --out_chars_;
    credit_ -= char_cost();
    deliver({&b, 1}, false);
    any = true;
  }
  if (!can_transmit() && !in_break_)
    credit_ = 0;
  return any;
}

Tick Port::next_event() const {
  if (!paced_)
    return kNever;
  if (in_break_)
    return break_until_;
  if (!can_transmit())
    return kNever;
  const long r = rate();
  if (r <= 0)
    return kNever;
  const long need = char_cost() - credit_;
  const Tick ticks = need <= 0 ? 1 : static_cast<Tick>((need + r - 1) / r);
  return credit_tick_ + std::max<Tick>(ticks, 1);
}

void Port::apply_pacing(bool on) {
  dirty_ = true;
  if (!on && in_break_) {
    in_break_ = false;
    finish_break();
  }
  paced_ = on;
  credit_ = 0;
  credit_tick_ = host_.now();
}

// ---- Input ---------------------------------------------------------------------------

void Port::take_in(std::uint8_t byte, std::uint8_t status) {
  dirty_ = true;
  if (!enabled_ || !params_.receiver_on || kind_ != PortKind::serial) {
    ++stats_.input_dropped;
    return;
  }
  // Flow characters still count while a disable waits for the output to drain.
  if (status == FAS_ST_OK && flow_.out_xon) {
    if (byte == flow_.stop_char) {
      xoff_received_ = true;
      return;
    }
    if (byte == flow_.start_char) {
      xoff_received_ = false;
      return;
    }
    if (flow_.out_xany)
      xoff_received_ = false;
  }
  if (disabling_) {
    ++stats_.input_dropped;
    return;
  }
  if (in_.size() >= config_.input_buffer) {
    overflow_ = true;
    ++stats_.overflows;
    return;
  }
  in_.push_back({byte, status});
  if (status == kBreakStatus)
    ++stats_.breaks_in;
  else
    ++stats_.bytes_in;
  if (status != FAS_ST_OK && status != kBreakStatus)
    ++stats_.errors_in;
  // Hold the far end off the moment the buffer reaches its mark, not after a burst: a
  // loopback that echoes at once would otherwise overrun the buffer before flow control acts.
  update_input_flow();
}

bool Port::serve_grant() {
  if (!grant_)
    return false;
  if (overflow_) {
    // Reported alone: the host treats every byte of a non-zero status answer as received
    // in error, so the data follows in the next answer.
    overflow_ = false;
    grant_ = false;
    answer_recv(FAS_ST_OVERFLOW, {});
    return true;
  }
  if (in_.empty())
    return false;
  const std::uint8_t head = in_.front().status;
  auto belongs = [head](const InChar& c) {
    if (head == FAS_ST_OK)
      return c.status == FAS_ST_OK;
    if (head == kBreakStatus) // breaks travel as NULs among good non-NUL characters
      return c.status == kBreakStatus || (c.status == FAS_ST_OK && c.byte != 0);
    return c.status == head;
  };
  std::vector<std::uint8_t>& data = grant_data_;
  data.clear();
  const std::size_t most = std::min(in_.size(), config_.recv_max);
  while (data.size() < most && belongs(in_[data.size()]))
    data.push_back(in_[data.size()].byte);
  in_.drop_front(data.size());
  grant_ = false;
  answer_recv(head, data);
  return true;
}

void Port::send_flow_char(std::uint8_t c) {
  ++stats_.bytes_out;
  if (params_.local_loopback)
    take_in(c, FAS_ST_OK);
  else if (far_)
    far_->transmit({&c, 1});
}

bool Port::update_input_flow() {
  if (!active())
    return false;
  const std::size_t cap = config_.input_buffer;
  const bool want = host_blocked_ || in_.size() >= cap - cap / 4;
  bool changed = false;
  if (!flow_asserted_ && want && (flow_.in_xoff || flow_.in_rtscts)) {
    flow_asserted_ = true;
    if (flow_.in_xoff)
      send_flow_char(flow_.stop_char);
    changed = true;
  } else if (flow_asserted_ && !host_blocked_ && in_.size() <= cap / 4) {
    flow_asserted_ = false;
    if (flow_.in_xoff)
      send_flow_char(flow_.start_char);
    changed = true;
  }
  if (changed)
    update_modem_out();
  return changed;
}

void Port::update_modem_out() {
  if (kind_ != PortKind::serial)
    return;
  const bool held = flow_asserted_ && flow_.in_rtscts;
  if (far_ && held != held_told_) {
    held_told_ = held;
    far_->hold_off(held);
  }
  const bool rts_out = rts_ && !held;
  const std::pair<bool, bool> now{dtr_, rts_out};
  if (modem_seen_ == now)
    return;
  modem_seen_ = now;
  if (far_)
    far_->modem_out(dtr_, rts_out);
}

// ---- Servicing -----------------------------------------------------------------------

bool Port::service() {
  bool progress = paced_ && transmit_paced();
  for (;;) {
    bool moved = accept();
    if (!paced_)
      moved = transmit_at_once() || moved;
    if (!moved)
      break;
    progress = true;
  }
  if (status_mask_ && ((state_bits() ^ reported_state_) & *status_mask_) != 0) {
    const std::uint8_t mask = *status_mask_;
    status_mask_.reset();
    answer_status(mask);
    progress = true;
  }
  // Input that came back while the output drained is reported before the drain.
  if (serve_grant())
    progress = true;
  if (drained()) {
    for (; wait_sends_ > 0; --wait_sends_) {
      answer(FAS_WAIT_SEND, FAS_ST_OK);
      progress = true;
    }
    if (disabling_) {
      finish_disable();
      progress = true;
    }
  }
  if (update_input_flow())
    progress = true;
  dirty_ = progress;
  return progress;
}

// ---- Far end -------------------------------------------------------------------------

void Port::attach(std::shared_ptr<FarEnd> far_end) {
  dirty_ = true;
  detach();
  far_ = std::move(far_end);
  modem_seen_.reset();
  held_told_ = false;
  if (far_) {
    far_->attached(*this);
    update_modem_out();
  }
}

void Port::detach() {
  dirty_ = true;
  if (!far_)
    return;
  std::shared_ptr<FarEnd> old = std::move(far_);
  far_.reset();
  old->detached();
}

void Port::receive(std::span<const std::uint8_t> bytes, ByteStatus status) {
  dirty_ = true;
  // One captured reference keeps the callable inside std::function's own storage: a far
  // end under flow control hands over one byte at a time, and this runs for each.
  const struct {
    Port* port;
    std::span<const std::uint8_t> bytes;
    ByteStatus status;
  } in{this, bytes, status};
  host_.external([&in] {
    for (std::uint8_t b : in.bytes)
      in.port->take_in(b, static_cast<std::uint8_t>(in.status));
  });
}

std::size_t Port::receive_own(std::span<const std::uint8_t> bytes) {
  dirty_ = true;
  // One captured reference, as in receive(): no callable on the heap per run.
  struct {
    Port* port;
    std::span<const std::uint8_t> bytes;
    std::size_t taken;
  } run{this, bytes, 0};
  host_.external([&run] { run.taken = run.port->take_back(run.bytes, true); });
  return run.taken;
}

void Port::receive_break() {
  dirty_ = true;
  host_.external([&] { take_in(0, kBreakStatus); });
}

// The entry first catches up on timed work, which may service the port: the change marks it
// for the closing sweep only once it has been made.
void Port::set_carrier(bool on) {
  host_.external([&] { apply_carrier(on); });
}

void Port::set_dsr(bool on) {
  host_.external([&] { apply_dsr(on); });
}

void Port::set_cts(bool on) {
  host_.external([&] { apply_cts(on); });
}

void Port::set_printer(const PrinterStatus& status) {
  host_.external([&] { apply_printer(status); });
}

void Port::set_line_pacing(bool on) {
  host_.external([&] { apply_pacing(on); });
}

void Port::far_end_ready() {
  dirty_ = true;
  host_.external([] {}); // the unit is serviced on the way out
}

// ---- Inspection ----------------------------------------------------------------------

std::uint8_t Port::state_bits() const {
  switch (kind_) {
  case PortKind::serial:
    return static_cast<std::uint8_t>((carrier_ ? 4 : 0) | (dsr_ ? 2 : 0) | (cts_ ? 1 : 0));
  case PortKind::parallel:
    return static_cast<std::uint8_t>((printer_.paper_out ? 8 : 0) | (printer_.error ? 2 : 0) |
                                     (printer_.online ? 1 : 0));
  case PortKind::ab_switch:
    // Read back by the host as printer status: "error" (DSR clear) while ports 1-4 are on
    // bus A, "paper out" (CTS clear) while ports 5-8 are on bus B; always online.
    return static_cast<std::uint8_t>(((ab_mask_ & 0x80) ? 2 : 0) | ((ab_mask_ & 0x01) ? 0 : 8) | 1);
  }
  return 0;
}

LineState Port::state() const {
  LineState s;
  s.kind = kind_;
  s.enabled = enabled_;
  s.disabling = disabling_;
  s.needs_reset = needs_reset_;
  s.pod_down = down_;
  s.params = params_;
  s.flow = flow_;
  s.dtr = dtr_;
  s.rts = rts_;
  s.rts_out = rts_ && !(flow_asserted_ && flow_.in_rtscts);
  s.hangup_on_disable = hangup_on_disable_;
  s.carrier = carrier_;
  s.dsr = dsr_;
  s.cts = cts_;
  s.printer = printer_;
  s.output_suspended = host_suspended_;
  s.xoff_received = xoff_received_;
  s.input_blocked = host_blocked_;
  s.flow_asserted = flow_asserted_;
  s.line_pacing = paced_;
  s.grant_pending = grant_;
  s.status_mask = status_mask_ ? *status_mask_ : -1;
  s.state_bits = state_bits();
  s.input_buffered = in_.size();
  s.output_buffered = out_chars_;
  return s;
}

} // namespace qdemu
