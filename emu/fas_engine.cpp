// The engine's frame: construction, entries from outside, time, input framing and answers.
#include "qdemu/fas_engine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "fas.h"

namespace qdemu {

namespace {

constexpr unsigned kPodPorts = 18;
constexpr unsigned kPods = 7;
// Room a FAS_RECV answer leaves in a READ: header, and PKT_END behind it.
constexpr std::size_t kRecvCeiling = kScsiAnswerBudget - 8;

bool valid_opcode(std::uint8_t op) {
  return std::strcmp(fas_cmd_name(op), "?") != 0;
}

PortConfig port_config(const UnitOptions& o) {
  PortConfig c;
  c.input_buffer = std::max<std::size_t>(o.input_buffer, 4);
  c.output_buffer = std::max<std::size_t>(o.output_buffer, 1);
  c.recv_max = std::clamp<std::size_t>(o.recv_max, 1, kRecvCeiling);
  c.printer_cps = std::max(o.printer_cps, 1u);
  c.line_pacing = o.line_pacing;
  return c;
}

} // namespace

Engine::Engine(Clock& clock, const qd_unitinfo& model, UnitOptions options)
    : clock_(clock), model_(model), options_(std::move(options)),
      fw_(firmware_features(options_.firmware)), locked_(options_.require_unlock),
      rng_(options_.seed), now_(clock.now()) {
  options_.stats_part = std::clamp<std::size_t>(options_.stats_part, 1, kRecvCeiling);
  const PortConfig config = port_config(options_);
  PortHost& host = *this;
  const unsigned n = model.nlines > 0 ? static_cast<unsigned>(model.nlines) : 0;
  ports_.resize(n);
  for (unsigned line = 0; line < n; ++line) {
    const int kind = qdf_port_type(&model, line);
    if (kind == QD_PORT_NONE)
      continue;
    PortKind k = qd_port_is_serial(kind) ? PortKind::serial : PortKind::parallel;
    if (k == PortKind::parallel && options_.redundant && !ab_line_) {
      k = PortKind::ab_switch;
      ab_line_ = line;
    }
    ports_[line] = std::make_unique<Port>(host, line, k, config);
  }
}

Engine::~Engine() {
  if (timer_ != 0)
    clock_.cancel(timer_);
}

// ---- Entries and time ------------------------------------------------------------------

void Engine::begin_entry() {
  ++depth_;
  catch_up();
}

void Engine::end_entry() {
  settle();
  rearm();
  --depth_;
  deliver_notices();
}

void Engine::catch_up() {
  const Tick target = clock_.now();
  // Timed work runs at its own tick, whatever way the clock got here.
  for (Tick t = next_event(); t != kNever && t <= target && t > now_; t = next_event()) {
    now_ = t;
    settle();
  }
  now_ = std::max(now_, target);
}

void Engine::settle() {
  // Ports feed each other through far ends and their own loopback; go round until quiet.
  for (int round = 0; round < 100000; ++round) {
    bool progress = false;
    for (auto& p : ports_) {
      if (p && p->wants_service() && p->service())
        progress = true;
    }
    if (!progress)
      return;
  }
}

Tick Engine::next_event() const {
  Tick t = answers_.next_ready_after(now_);
  for (const auto& p : ports_) {
    if (p)
      t = std::min(t, p->next_event());
  }
  return t;
}

void Engine::rearm() {
  const Tick t = next_event();
  if (t == timer_at_ && (timer_ != 0 || t == kNever))
    return;
  if (timer_ != 0)
    clock_.cancel(timer_);
  timer_ = 0;
  timer_at_ = t;
  if (t == kNever)
    return;
  timer_ = clock_.call_at(t, [this] {
    timer_ = 0;
    timer_at_ = kNever;
    enter([] {});
  });
}

void Engine::deliver_notices() {
  const bool ready = answers_.note_ready(now_);
  std::vector<Notice> others; // a listener may enter the engine and add more
  others.swap(notices_);
  if (!listener_)
    return;
  if (ready)
    listener_(Notice::answers_ready);
  for (Notice n : others)
    listener_(n);
}

Tick Engine::next_event_tick() {
  Tick t = kNever;
  enter([&] { t = next_event(); });
  return t;
}

// ---- Input -----------------------------------------------------------------------------

BatchResult walk_batch(std::span<const std::uint8_t> batch,
                       const std::function<bool(std::span<const std::uint8_t>)>& each) {
  BatchResult r;
  std::size_t pos = 0;
  bool ended = false;
  while (pos < batch.size()) {
    const std::uint8_t* h = batch.data() + pos;
    if (h[0] == PKT_END) {
      ended = true;
      break;
    }
    if (!valid_opcode(h[0])) {
      r.error = BatchError::bad_opcode;
      break;
    }
    if (batch.size() - pos < FAS_HDR_SIZE) {
      r.error = BatchError::short_header;
      break;
    }
    const auto len = static_cast<std::size_t>(size_faspkt(h, 0));
    if (batch.size() - pos < len) {
      r.error = BatchError::data_past_end;
      break;
    }
    const bool more = each(batch.subspan(pos, len));
    ++r.commands;
    pos += len;
    if (!more) {
      ended = true;
      break;
    }
  }
  r.offset = pos;
  if (!ended && r.error == BatchError::none)
    r.error = BatchError::no_end;
  return r;
}

BatchResult Engine::feed_batch(std::span<const std::uint8_t> batch) {
  BatchResult r;
  enter([&] {
    ++stats_.batches;
    r = walk_batch(batch, [&](std::span<const std::uint8_t> cmd) {
      execute(cmd);
      settle(); // one command at a time, as firmware does: the next sees its effects
      if (!cut_input_)
        return true;
      cut_input_ = false;
      return false;
    });
    if (r.error != BatchError::none)
      ++stats_.bad_batches;
  });
  return r;
}

void Engine::feed_stream(std::span<const std::uint8_t> bytes) {
  enter([&] {
    stream_.insert(stream_.end(), bytes.begin(), bytes.end());
    parse_stream();
  });
}

void Engine::parse_stream() {
  for (;;) {
    const std::size_t avail = stream_.size() - stream_pos_;
    if (avail == 0)
      break;
    const std::uint8_t* h = stream_.data() + stream_pos_;
    if (h[0] == PKT_END) {
      ++stream_pos_;
      continue;
    }
    if (avail < FAS_HDR_SIZE)
      break;
    if (!valid_opcode(h[0])) {
      ++stats_.bad_commands;
      stream_pos_ += FAS_HDR_SIZE;
      continue;
    }
    const auto len = static_cast<std::size_t>(size_faspkt(h, 0));
    if (avail < len)
      break;
    const std::size_t at = stream_pos_;
    stream_pos_ += len;
    execute(std::span<const std::uint8_t>(stream_).subspan(at, len));
    settle();
    if (cut_input_) {
      cut_input_ = false;
      stream_.clear();
      stream_pos_ = 0;
      return;
    }
  }
  stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(stream_pos_));
  stream_pos_ = 0;
}

void Engine::new_connection() {
  enter([&] {
    stream_.clear();
    stream_pos_ = 0;
    answers_.clear();
    locked_ = options_.require_unlock;
    expected_unlock_.reset();
  });
}

void Engine::wipe() {
  for (auto& p : ports_) {
    if (p)
      p->restart();
  }
  stats_cursors_.clear();
  locked_ = options_.require_unlock;
  expected_unlock_.reset();
  ++stats_.restarts;
}

void Engine::restart() {
  enter([&] {
    wipe();
    answers_.clear();
    stream_.clear();
    stream_pos_ = 0;
  });
}

void Engine::set_firmware(std::string revision) {
  enter([&] {
    options_.firmware = std::move(revision);
    fw_ = firmware_features(options_.firmware);
  });
}

// ---- Answers ---------------------------------------------------------------------------

void Engine::answer(const std::array<std::uint8_t, 8>& header, std::span<const std::uint8_t> data) {
  ++stats_.answers;
  stats_.answer_bytes += header.size() + data.size();
  if (header[0] != FAS_UNIT_RESET && byte1_is_linenum(header.data()) && has_port(header[1]))
    ports_[header[1]]->count_answer();
  answers_.push(header, data, now_ + faults_.latency(header[0]));
}

void Engine::reply(std::uint8_t op, std::uint8_t byte1, std::uint8_t status) {
  answer({op, byte1, status, 0, 0, 0, 0, 0}, {});
}

void Engine::refuse(std::span<const std::uint8_t> item, std::uint8_t status) {
  const std::uint8_t mask = item[0] == FAS_STAT_CHG ? item[2] : 0;
  answer({item[0], item[1], status, 0, mask, 0, 0, 0}, {});
}

bool Engine::answers_waiting() {
  bool ready = false;
  enter([&] { ready = answers_.ready(now_); });
  return ready;
}

std::size_t Engine::answer_bytes_waiting() {
  std::size_t n = 0;
  enter([&] { n = answers_.ready_bytes(now_); });
  return n;
}

std::vector<std::uint8_t> Engine::take_answers(std::size_t budget) {
  std::vector<std::uint8_t> out;
  enter([&] { out = answers_.take(now_, budget); });
  return out;
}

void Engine::take_answers_into(std::size_t budget, std::vector<std::uint8_t>& out) {
  enter([&] { answers_.take_into(now_, budget, out); });
}

void Engine::inject_answer(std::vector<std::uint8_t> raw) {
  enter([&] {
    ++stats_.answers;
    stats_.answer_bytes += raw.size();
    answers_.push(std::move(raw), now_);
  });
}

// ---- Far ends and controls -------------------------------------------------------------

Port& Engine::port(unsigned line) {
  if (!has_port(line))
    throw std::out_of_range("no port at line " + std::to_string(line));
  return *ports_[line];
}

Port* Engine::present_port(unsigned line) {
  if (!has_port(line))
    return nullptr;
  if ((model_.flags & QDM_PODS) != 0 && ((options_.pods_present >> (line / kPodPorts)) & 1u) == 0)
    return nullptr;
  return ports_[line].get();
}

void Engine::attach(unsigned line, std::shared_ptr<FarEnd> far_end) {
  Port& p = port(line);
  enter([&] { p.attach(std::move(far_end)); });
}

void Engine::detach(unsigned line) {
  Port& p = port(line);
  enter([&] { p.detach(); });
}

void Engine::set_carrier(unsigned line, bool on) {
  Port& p = port(line);
  enter([&] { p.apply_carrier(on); });
}

void Engine::set_dsr(unsigned line, bool on) {
  Port& p = port(line);
  enter([&] { p.apply_dsr(on); });
}

void Engine::set_cts(unsigned line, bool on) {
  Port& p = port(line);
  enter([&] { p.apply_cts(on); });
}

void Engine::set_printer(unsigned line, const PrinterStatus& status) {
  Port& p = port(line);
  enter([&] { p.apply_printer(status); });
}

void Engine::set_line_pacing(unsigned line, bool on) {
  Port& p = port(line);
  enter([&] { p.apply_pacing(on); });
}

void Engine::set_pod_online(unsigned pod, bool online) {
  if ((model_.flags & QDM_PODS) == 0 || pod >= kPods)
    throw std::out_of_range("no pod " + std::to_string(pod));
  enter([&] {
    const auto bit = static_cast<std::uint8_t>(1u << pod);
    if (((pods_online_ & bit) != 0) == online)
      return;
    pods_online_ = static_cast<std::uint8_t>(online ? pods_online_ | bit : pods_online_ & ~bit);
    for (unsigned line = pod * kPodPorts; line < (pod + 1) * kPodPorts && line < line_count();
         ++line) {
      if (!ports_[line])
        continue;
      if (online)
        ports_[line]->pod_up();
      else
        ports_[line]->pod_down();
    }
  });
}

void Engine::set_ab_switch(std::uint8_t mask) {
  if (!ab_line_)
    throw std::out_of_range("not a redundant unit");
  Port& p = port(*ab_line_);
  enter([&] { p.apply_ab_switch(mask); });
}

std::uint8_t Engine::ab_switch() const {
  if (!ab_line_)
    throw std::out_of_range("not a redundant unit");
  return ports_[*ab_line_]->ab_switch();
}

LineState Engine::line_state(unsigned line) {
  Port& p = port(line);
  LineState s;
  enter([&] { s = p.state(); });
  return s;
}

LineStats Engine::line_stats(unsigned line) {
  Port& p = port(line);
  LineStats s;
  enter([&] { s = p.stats(); });
  return s;
}

} // namespace qdemu
