// What the engine does with each command.
#include <algorithm>

#include "fas.h"
#include "qdemu/fas_engine.h"

namespace qdemu {

namespace {

constexpr std::uint8_t kStatusMore = 14; // statistics: more parts follow

std::optional<long> speed_of(int code) {
  if (code == QD_NO_SPEED)
    return std::nullopt;
  for (const qd_baudinfo& b : baud) {
    if (b.code == code)
      return b.speed;
  }
  return std::nullopt;
}

FlowSettings decode_flow(std::span<const std::uint8_t> item) {
  FlowSettings f;
  f.in_xoff = (item[2] & 0x01) != 0;
  f.in_rtscts = (item[2] & 0x80) != 0;
  f.out_xon = (item[3] & 0x01) != 0;
  f.out_xany = (item[3] & 0x02) != 0;
  f.out_rtscts = (item[3] & 0x80) != 0;
  f.start_char = item[4];
  f.stop_char = item[5];
  f.max_send = fas_get16(&item[6]);
  return f;
}

void append_text(std::vector<std::uint8_t>& out, const std::string& s) {
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

} // namespace

void Engine::execute(std::span<const std::uint8_t> item) {
  const std::uint8_t op = item[0];
  const std::uint8_t b1 = item[1];
  ++stats_.commands;
  if (op == PKT_END)
    return;
  if (locked_ && op != FAS_UNIT_UNLOCK && op != FAS_UNIT_INQUIRY && op != FAS_UNIT_RESET) {
    ++stats_.refused_locked;
    return;
  }
  if (op != FAS_UNIT_RESET && byte1_is_linenum(item.data()) && has_port(b1))
    ports_[b1]->count_command();
  if (faults_.take_silence(op, b1)) {
    ++stats_.silenced;
    return;
  }
  if (const auto status = faults_.take_status(op, b1)) {
    refuse(item, *status);
    return;
  }
  switch (op) {
  case FAS_GLOBAL:
    ++stats_.starts;
    reply(op, b1, FAS_ST_OK);
    return;
  case FAS_UNIT_POLL:
    reply(op, b1, FAS_ST_OK);
    return;
  case FAS_UNIT_UNLOCK:
    unlock(b1);
    return;
  case FAS_UNIT_INQUIRY:
    inquiry(item);
    return;
  case FAS_UNIT_RESET:
    remote_reset(b1);
    return;
  case FAS_MUX_STATS:
    if ((model_.flags & QDM_PODS) != 0)
      statistics(op, b1);
    else
      reply(op, b1, ERR_BAD_CMD);
    return;
  case FAS_CONFIG_LINK:
    reply(op, b1, ERR_BAD_CMD);
    return;
  default:
    line_command(item);
    return;
  }
}

void Engine::line_command(std::span<const std::uint8_t> item) {
  const std::uint8_t op = item[0];
  const std::uint8_t line = item[1];
  switch (op) {
  case FAS_IN_TIMERS:
  case FAS_RESERVE:
  case FAS_RELEASE:
  case FAS_LINE_STATE:
  case FAS_LINE_INQUIRY:
  case FAS_LPT_TEST:
  case FAS_SPECIAL_FUNC:
    reply(op, line, ERR_BAD_CMD);
    return;
  case FAS_RESET:
  case FAS_WAIT_SEND:
    if (!fw_.reset_and_wait_send) {
      reply(op, line, ERR_BAD_CMD);
      return;
    }
    break;
  default:
    break;
  }
  Port* p = present_port(line);
  if (p == nullptr) {
    refuse(item, ERR_NOT_PRESENT);
    return;
  }
  if (p->is_down()) {
    refuse(item, op == FAS_ENABLE ? FAS_ST_OFFLINE : FAS_ST_LINE_DOWN);
    return;
  }
  switch (op) {
  case FAS_ENABLE:
    if (p->needs_reset()) {
      if (fw_.reset_and_wait_send) {
        reply(op, line, FAS_ST_OFFLINE);
        return;
      }
      p->clear_needs_reset();
    }
    p->enable();
    return;
  case FAS_DISABLE:
    p->disable();
    return;
  case FAS_SEND:
    p->send(item.subspan(FAS_HDR_SIZE));
    return;
  case FAS_RECV:
    p->grant();
    return;
  case FAS_OUTPUT_CTRL:
    p->output_ctrl(item[2] != 0, item[3] != 0, item[4] != 0);
    return;
  case FAS_INPUT_CTRL:
    p->input_ctrl(item[2] != 0, item[3] != 0, item[4] != 0);
    return;
  case FAS_SET_MODEM:
    set_modem(*p, item);
    return;
  case FAS_STAT_CHG:
    p->status_request(item[2]);
    return;
  case FAS_SEND_BREAK:
    p->send_break();
    return;
  case FAS_SET_PARAMS:
  case FAS_EXT_PARAMS:
    set_params(*p, item);
    return;
  case FAS_FLOW_CTRL:
    p->set_flow(decode_flow(item));
    return;
  case FAS_RESET:
    p->reset();
    return;
  case FAS_UNIT_STATS:
    statistics(op, line);
    return;
  case FAS_WAIT_SEND:
    p->wait_send();
    return;
  default:
    reply(op, line, ERR_BAD_CMD);
    return;
  }
}

void Engine::set_params(Port& p, std::span<const std::uint8_t> item) {
  const std::uint8_t op = item[0];
  const std::uint8_t line = item[1];
  if (item[2] > 3 || item[3] > 2 || item[4] > 2) {
    reply(op, line, ERR_BAD_PARAM);
    return;
  }
  LineParams lp;
  lp.data_bits = 5 + item[2];
  lp.stop_bits = item[3] == 0 ? 1 : 2;
  lp.parity = item[4];
  lp.receiver_on = (item[5] & 0x01) != 0;
  lp.local_loopback = (item[5] & 0x80) != 0;
  if (op == FAS_SET_PARAMS) {
    lp.out_code = item[6] & 0x0f;
    lp.in_code = item[6] >> 4;
  } else {
    lp.out_code = item[6];
    lp.in_code = item[7];
  }
  if (p.kind() == PortKind::serial) {
    const auto out = speed_of(lp.out_code);
    const auto in = speed_of(lp.in_code);
    if (!out || !in || qdf_check_baud(&model_, line, lp.out_code) != 0 ||
        qdf_check_baud(&model_, line, lp.in_code) != 0) {
      reply(op, line, ERR_BAD_PARAM);
      return;
    }
    lp.out_bps = *out;
  }
  p.set_params(op, lp);
}

void Engine::set_modem(Port& p, std::span<const std::uint8_t> item) {
  const int rts_op = item[2] & 0x7f;
  const int dtr_op = item[3] & 0x7f;
  if (rts_op > 2 || dtr_op > 2) {
    reply(item[0], item[1], ERR_BAD_PARAM);
    return;
  }
  p.set_modem(rts_op, dtr_op, (item[3] & 0x80) == 0);
}

// ---- Lanvara exchange ------------------------------------------------------------------

void Engine::unlock(std::uint8_t byte1) {
  Challenge c;
  for (auto& b : c)
    b = static_cast<std::uint8_t>(rng_() & 0xff);
  expected_unlock_ = unlock_answer(c);
  answer({FAS_UNIT_UNLOCK, byte1, c[0], c[1], c[2], c[3], c[4], c[5]}, {});
}

void Engine::inquiry(std::span<const std::uint8_t> item) {
  const bool answered = expected_unlock_ && item[2] == (*expected_unlock_)[0] &&
                        item[3] == (*expected_unlock_)[1] && item[4] == (*expected_unlock_)[2];
  expected_unlock_.reset();
  if (options_.require_unlock && !answered) {
    ++stats_.unlock_failures;
    locked_ = true;
    notices_.push_back(Notice::close_connection);
    return;
  }
  locked_ = false;
  std::vector<std::uint8_t> data(16, 0);
  data[0] = static_cast<std::uint8_t>(line_count());
  append_text(data, "Orvane");
  append_text(data, model_.name != nullptr ? model_.name : "");
  append_text(data, options_.firmware);
  std::array<std::uint8_t, 8> h{FAS_UNIT_INQUIRY, item[1], FAS_ST_OK, 0, 0, 0, 0, 0};
  fas_put16(&h[6], static_cast<unsigned>(data.size()));
  answer(h, data);
}

void Engine::remote_reset(std::uint8_t byte1) {
  if (!fw_.remote_reset) {
    reply(FAS_UNIT_RESET, byte1, ERR_BAD_CMD);
    return;
  }
  reply(FAS_UNIT_RESET, byte1, FAS_ST_OK);
  wipe();
  cut_input_ = true;
  notices_.push_back(Notice::unit_reset);
}

// ---- Statistics ------------------------------------------------------------------------

void Engine::statistics(std::uint8_t op, std::uint8_t byte1) {
  const unsigned key = static_cast<unsigned>(op) << 8 | byte1;
  auto it = stats_cursors_.find(key);
  if (it == stats_cursors_.end()) {
    StatsCursor c;
    c.text = op == FAS_MUX_STATS ? mux_stats_text() : line_stats_text(byte1);
    it = stats_cursors_.emplace(key, std::move(c)).first;
  }
  StatsCursor& c = it->second;
  const std::size_t n = std::min(options_.stats_part, c.text.size() - c.offset);
  const bool more = c.offset + n < c.text.size();
  std::array<std::uint8_t, 8> h{op, byte1, more ? kStatusMore : FAS_ST_OK, 0, 0, 0, 0, 0};
  fas_put16(&h[4], static_cast<unsigned>(n));
  const auto* part = reinterpret_cast<const std::uint8_t*>(c.text.data()) + c.offset;
  answer(h, {part, n});
  if (more)
    c.offset += n;
  else
    stats_cursors_.erase(it);
}

} // namespace qdemu
