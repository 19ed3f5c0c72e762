// FAS batches over SCSI: WRITE(6) carries a batch of commands to the engine, READ(6)
// collects a batch of answers, held while there is none, sent again on request.
#include <algorithm>
#include <cstring>

#include "fas.h"
#include "ksys/scsi_codes.h"
#include "qdemu/qmx_unit.h"

namespace qdemu {

namespace {

constexpr std::uint8_t kFixed = 0x01; // READ(6)/WRITE(6) byte 1

// Frames a batch as the engine would, without carrying anything out: a malformed batch is
// refused whole. offset: where PKT_END stands when there is no error.
BatchResult frame_batch(std::span<const std::uint8_t> batch) {
  return walk_batch(batch, [](std::span<const std::uint8_t>) { return true; });
}

} // namespace

kemu::ScsiAnswer QmxUnit::write_batch(kemu::ScsiCommand& cmd) {
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  if (flash_.in_mode()) {
    return check(KEY_NOT_READY, asc::kNotReady);
  }
  if (cdb.size() < 6 || (cdb[1] & kFixed) != 0) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  const std::size_t count = cdb24(cdb, 2);
  if (count > static_cast<std::size_t>(model().pktsize)) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField, 0, true);
  }
  const std::span<const std::uint8_t> data = cmd.data_out();
  if (count != data.size()) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  if (count == 0) {
    return kemu::ScsiAnswer::good();
  }
  const BatchResult framed = frame_batch(data);
  if (framed.error != BatchError::none) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadParameter);
  }
  engine_.feed_batch(data.first(framed.offset + 1));
  ++stats_.writes;
  return kemu::ScsiAnswer::good();
}

std::size_t QmxUnit::read_budget(const kemu::ScsiCommand& cmd) const {
  return std::min({static_cast<std::size_t>(cdb24(cmd.cdb(), 2)), cmd.length(),
                   static_cast<std::size_t>(model().pktsize)});
}

std::optional<kemu::ScsiAnswer> QmxUnit::read_batch(const std::shared_ptr<kemu::ScsiCommand>& cmd) {
  const std::span<const std::uint8_t> cdb = cmd->cdb();
  if (flash_.in_mode()) {
    return check(KEY_NOT_READY, asc::kNotReady);
  }
  if (cdb.size() < 6 || (cdb[1] & kFixed) != 0) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  if (held_) {
    finish_held(); // only a host that gave up on it sends another READ
  }
  if ((cdb[5] & kResendControl) != 0 && resend_) {
    ++stats_.resent_reads;
    return deliver(*cmd, *resend_);
  }
  if (read_budget(*cmd) == 0) {
    return kemu::ScsiAnswer::good(cmd->length());
  }
  if (faults_.stalled_reads > 0) {
    --faults_.stalled_reads;
    ++stats_.held_reads;
    held_ = cmd;
    held_stalled_ = true;
    return std::nullopt;
  }
  if (!faults_.raw_batches.empty()) {
    std::vector<std::uint8_t> raw = std::move(faults_.raw_batches.front());
    faults_.raw_batches.pop_front();
    return deliver(*cmd, std::move(raw));
  }
  bool any = false;
  std::vector<std::uint8_t> batch = next_batch(read_budget(*cmd), any);
  if (any) {
    return deliver(*cmd, std::move(batch));
  }
  spare_batch_ = std::move(batch);
  ++stats_.held_reads;
  held_ = cmd;
  held_stalled_ = false;
  Tick hold = config_.read_hold;
  if (real_clock_ && config_.active_hold > 0 && answered_ &&
      clock_.now() - last_answers_ < config_.active_window) {
    hold = std::min(hold, config_.active_hold);
  }
  // On the real clock a client's request ends the hold early: what it wrote waits in the
  // host behind this READ.
  hold_timer_ = clock_.call_at_or_request(clock_.now() + hold, [this] {
    hold_timer_ = 0;
    finish_held();
  });
  return std::nullopt;
}

std::vector<std::uint8_t> QmxUnit::next_batch(std::size_t budget, bool& any) {
  std::vector<std::uint8_t> batch = std::move(spare_batch_);
  batch.clear();
  engine_.take_answers_into(budget - 1, batch);
  any = !batch.empty();
  if (any) {
    answered_ = true;
    last_answers_ = clock_.now();
  }
  if (any && faults_.batches_no_end > 0) {
    --faults_.batches_no_end;
    return batch;
  }
  batch.push_back(PKT_END);
  return batch;
}

kemu::ScsiAnswer QmxUnit::deliver(kemu::ScsiCommand& cmd, std::vector<std::uint8_t> batch) {
  ++stats_.reads;
  kemu::ScsiAnswer a = reply_data(cmd, batch, batch.size());
  if (resend_) {
    spare_batch_ = std::move(*resend_); // its room serves the next batch
  }
  resend_ = std::move(batch);
  return a;
}

void QmxUnit::serve_held() {
  if (!held_ || held_stalled_) {
    return;
  }
  // Off the hold while the engine is asked: its notices may come back here.
  std::shared_ptr<kemu::ScsiCommand> cmd = std::move(held_);
  if (!cmd->active()) {
    cancel_hold_timer(); // the host gave it up: its batch would go nowhere
    return;
  }
  bool any = false;
  std::vector<std::uint8_t> batch = next_batch(read_budget(*cmd), any);
  if (!any) {
    spare_batch_ = std::move(batch);
    held_ = std::move(cmd);
    return;
  }
  cancel_hold_timer();
  cmd->complete(deliver(*cmd, std::move(batch)));
}

void QmxUnit::finish_held() {
  cancel_hold_timer();
  std::shared_ptr<kemu::ScsiCommand> cmd = std::move(held_);
  held_stalled_ = false;
  if (!cmd || !cmd->active()) {
    return;
  }
  bool any = false;
  std::vector<std::uint8_t> batch = next_batch(read_budget(*cmd), any);
  if (!any) {
    ++stats_.idle_reads;
  }
  cmd->complete(deliver(*cmd, std::move(batch)));
}

void QmxUnit::release_held(kemu::ScsiAnswer answer) {
  cancel_hold_timer();
  std::shared_ptr<kemu::ScsiCommand> cmd = std::move(held_);
  held_stalled_ = false;
  if (cmd && cmd->active()) {
    cmd->complete(std::move(answer));
  }
}

void QmxUnit::cancel_hold_timer() {
  if (hold_timer_ != 0) {
    clock_.cancel(hold_timer_);
    hold_timer_ = 0;
  }
}

} // namespace qdemu
