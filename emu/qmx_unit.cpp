// The QMX unit as a SCSI target: command dispatch, readiness and unit attention, sense,
// INQUIRY, SEND DIAGNOSTIC, the buffer commands, power and far ends. The FAS batches of
// WRITE(6) and READ(6) are in qmx_batches.cpp.
#include "qdemu/qmx_unit.h"

#include <algorithm>
#include <stdexcept>

#include "fas.h"
#include "ksys/scsi_codes.h"

namespace qdemu {

namespace {

constexpr std::uint8_t kSelfTest = 0x04; // SEND DIAGNOSTIC byte 1
constexpr std::uint8_t kEvpd = 0x01;     // INQUIRY byte 1
constexpr std::uint8_t kModeMask = 0x1f; // BUFFER commands byte 1
constexpr std::uint8_t kWriteBufferMode = 5;
constexpr std::uint8_t kReadBufferMode = 1;
constexpr unsigned kPods = 7;

// Buffer ids of WRITE BUFFER mode 5 and READ BUFFER mode 1.
enum : std::uint8_t {
  kProgramMode = 0,
  kSelect = 1,
  kDataBlock = 2,
  kRestart = 4,
  kVendorStatus = 0,
  kInventory = 1,
};

const qd_unitinfo& row_of(const std::string& model) {
  const qd_unitinfo* row = qdm_get_unitinfo(model.c_str());
  if (row == nullptr || model.size() > 16 || row->name != model) {
    throw std::invalid_argument("no such model: " + model);
  }
  return *row;
}

bool has_pods(const qd_unitinfo& row) {
  return (row.flags & QDM_PODS) != 0;
}

UnitOptions engine_options(const QmxUnitConfig& c, const qd_unitinfo& row) {
  UnitOptions o = c.engine;
  o.firmware = c.firmware;
  o.pods_present = has_pods(row) ? static_cast<std::uint8_t>(c.pods & 0x7f) : 0;
  // Every answer must fit a READ of the unit's packet size with its PKT_END.
  const std::size_t room = static_cast<std::size_t>(row.pktsize) - 1 - FAS_HDR_SIZE;
  o.recv_max = std::min(o.recv_max, room);
  o.stats_part = std::min(o.stats_part, room);
  return o;
}

} // namespace

QmxUnit::QmxUnit(kemu::Kernel& kernel, QmxUnitConfig config)
    : config_(std::move(config)), clock_(kernel),
      product_(config_.product.empty() ? config_.model : config_.product),
      engine_(clock_, row_of(config_.model), engine_options(config_, row_of(config_.model))),
      flash_(product_, config_.firmware,
             has_pods(engine_.model()) ? static_cast<std::uint8_t>(config_.pods) : 0,
             config_.pod_product, config_.pod_firmware) {
  real_clock_ = kernel.clock_mode() == kemu::ClockMode::kReal;
  ready_at_ = config_.warming_up ? clock_.now() + config_.ready_delay : 0;
  engine_.set_listener([this](Notice n) {
    if (n == Notice::answers_ready) {
      serve_held();
    }
  });
}

QmxUnit::~QmxUnit() {
  engine_.set_listener(nullptr);
  cancel_hold_timer();
}

// ---- Dispatch ----------------------------------------------------------------------------------

void QmxUnit::command(std::shared_ptr<kemu::ScsiCommand> cmd) {
  ++stats_.commands;
  const std::uint8_t op = cmd->opcode();
  const std::span<const std::uint8_t> cdb = cmd->cdb();
  // The host had the last batch if it sent anything else on the transport since.
  if (op == SCMD_WRITE || (op == SCMD_READ && (cdb.size() < 6 || (cdb[5] & kResendControl) == 0))) {
    forget_resend();
  }

  std::optional<kemu::ScsiAnswer> answer;
  if (op == SCMD_INQUIRY) {
    answer = inquiry(*cmd);
  } else if (op == SCMD_REQUEST_SENSE) {
    answer = request_sense(*cmd);
  } else if (!(answer = gate())) {
    switch (op) {
    case SCMD_TEST_UNIT_READY:
      answer = kemu::ScsiAnswer::good(cmd->length());
      break;
    case SCMD_SDIAG:
      answer = send_diagnostic(*cmd);
      break;
    case SCMD_WRITE:
      answer = write_batch(*cmd);
      break;
    case SCMD_READ:
      answer = read_batch(cmd);
      break;
    case SCMD_WRITE_BUFFER:
      answer = write_buffer(*cmd);
      break;
    case SCMD_READ_BUFFER:
      answer = read_buffer(*cmd);
      break;
    default:
      answer = check(KEY_ILLEGAL_REQUEST, asc::kBadOpcode);
      break;
    }
  }
  if (answer) {
    cmd->complete(std::move(*answer));
  }
}

void QmxUnit::forget_resend() {
  if (resend_ && resend_->capacity() > spare_batch_.capacity()) {
    spare_batch_ = std::move(*resend_); // its room serves the next batch
  }
  resend_.reset();
}

void QmxUnit::stood_in(const kemu::ScsiCommand& cmd) {
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  const bool resend = cdb.size() >= 6 && (cdb[5] & kResendControl) != 0;
  if (cmd.opcode() == SCMD_WRITE || (cmd.opcode() == SCMD_READ && !resend)) {
    forget_resend();
  }
}

kemu::ScsiAnswer QmxUnit::check(std::uint8_t key, std::uint8_t add_code, std::uint8_t qualifier,
                                bool ili) {
  ++stats_.checks;
  return sense_.check(key, add_code, qualifier, ili);
}

bool QmxUnit::ready() const {
  return clock_.now() >= ready_at_;
}

std::optional<kemu::ScsiAnswer> QmxUnit::gate() {
  if (!ready()) {
    return check(KEY_NOT_READY, asc::kNotReady, 0x01);
  }
  if (unit_attention_) {
    unit_attention_ = false;
    return check(KEY_UNIT_ATTENTION, asc::kPowerOn);
  }
  return std::nullopt;
}

// ---- Identity and sense ------------------------------------------------------------------------

kemu::ScsiAnswer QmxUnit::inquiry(kemu::ScsiCommand& cmd) {
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  if (cdb.size() < 6 || (cdb[1] & kEvpd) != 0 || cdb[2] != 0) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  const auto data = standard_inquiry({DTYPE_COMM, config_.vendor, product_, revision()});
  return reply_data(cmd, data, cdb[4]);
}

kemu::ScsiAnswer QmxUnit::request_sense(kemu::ScsiCommand& cmd) {
  std::vector<std::uint8_t> sense;
  if (sense_.holds()) {
    sense = sense_.take();
  } else if (!ready()) {
    sense = kemu::make_sense(KEY_NOT_READY, false, asc::kNotReady, 0x01);
  } else if (unit_attention_) {
    unit_attention_ = false;
    sense = kemu::make_sense(KEY_UNIT_ATTENTION, false, asc::kPowerOn);
  } else {
    sense = kemu::make_sense(KEY_NO_SENSE);
  }
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  return reply_data(cmd, sense, cdb.size() > 4 ? cdb[4] : 0);
}

// ---- Restarts ----------------------------------------------------------------------------------

kemu::ScsiAnswer QmxUnit::send_diagnostic(kemu::ScsiCommand& cmd) {
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  if (cdb.size() > 1 && (cdb[1] & kSelfTest) != 0) {
    flash_.abandon(); // the FAS firmware runs again, on what the unit had
    restart_firmware();
  }
  return kemu::ScsiAnswer::good(cmd.length());
}

void QmxUnit::restart_firmware() {
  ++stats_.restarts;
  engine_.restart();
  go_unready();
}

void QmxUnit::power_cycle() {
  ++stats_.power_cycles;
  flash_.power_lost();
  sense_.clear();
  engine_.restart();
  go_unready();
}

void QmxUnit::leave_bus() {
  kemu::ScsiAnswer gone;
  gone.reason = CMD_UNX_BUS_FREE;
  release_held(std::move(gone));
}

void QmxUnit::go_unready() {
  forget_resend();
  ready_at_ = clock_.now() + config_.ready_delay;
  unit_attention_ = true;
  if (held_) {
    release_held(check(KEY_UNIT_ATTENTION, asc::kPowerOn));
  }
}

std::uint8_t QmxUnit::pods_online() const {
  if (!has_pods(engine_.model())) {
    return 0;
  }
  std::uint8_t mask = 0;
  for (unsigned pod = 0; pod < kPods; ++pod) {
    if (flash_.fitted(pod + 1) && engine_.pod_online(pod)) {
      mask = static_cast<std::uint8_t>(mask | 1u << pod);
    }
  }
  return mask;
}

// ---- WRITE BUFFER and READ BUFFER --------------------------------------------------------------

kemu::ScsiAnswer QmxUnit::write_buffer(kemu::ScsiCommand& cmd) {
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  if (cdb.size() < 10 || (cdb[1] & kModeMask) != kWriteBufferMode) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  const std::uint8_t id = cdb[2];
  if (auto it = faults_.buffer_failures.find(id); it != faults_.buffer_failures.end()) {
    flash_.add_condition(0, it->second);
    faults_.buffer_failures.erase(it);
    return check(KEY_VENDOR_UNIQUE, asc::kVendor);
  }
  std::optional<Refusal> refused;
  switch (id) {
  case kProgramMode:
    refused = flash_.enter_mode();
    if (!refused) {
      engine_.restart(); // the FAS firmware stops
      forget_resend();
      if (held_) {
        release_held(check(KEY_NOT_READY, asc::kNotReady));
      }
    }
    break;
  case kSelect:
    refused = flash_.select(cdb[3], cdb24(cdb, 6), pods_online());
    break;
  case kDataBlock:
    refused = flash_.data(cdb24(cdb, 3), cdb24(cdb, 6), cmd.data_out());
    break;
  case kRestart:
    if (flash_.in_mode()) {
      refused = flash_.load();
      if (!refused) {
        engine_.set_firmware(revision());
      }
    }
    if (!refused) {
      restart_firmware();
    }
    break;
  default:
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  if (refused) {
    return check(refused->key, refused->add_code);
  }
  return kemu::ScsiAnswer::good(cmd.length());
}

kemu::ScsiAnswer QmxUnit::read_buffer(kemu::ScsiCommand& cmd) {
  const std::span<const std::uint8_t> cdb = cmd.cdb();
  if (cdb.size() < 10 || (cdb[1] & kModeMask) != kReadBufferMode || cdb24(cdb, 3) != 0) {
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
  const std::size_t allocation = cdb24(cdb, 6);
  switch (cdb[2]) {
  case kInventory:
    return reply_data(cmd, flash_.inventory(pods_online()), allocation);
  case kVendorStatus:
    return reply_data(cmd, flash_.vendor_status(pods_online()), allocation);
  default:
    return check(KEY_ILLEGAL_REQUEST, asc::kBadCdbField);
  }
}

// ---- Far ends ----------------------------------------------------------------------------------

void QmxUnit::attach(unsigned line, std::shared_ptr<FarEnd> far_end) {
  engine_.attach(line, far_end);
  far_ends_[line] = std::move(far_end);
}

void QmxUnit::detach(unsigned line) {
  engine_.detach(line);
  far_ends_.erase(line);
}

std::shared_ptr<LoopbackPlug> QmxUnit::plug_loopback(unsigned line, LoopbackPlug::Options options) {
  auto plug = std::make_shared<LoopbackPlug>(options);
  attach(line, plug);
  return plug;
}

std::shared_ptr<ScriptedPeer> QmxUnit::plug_peer(unsigned line) {
  auto peer = std::make_shared<ScriptedPeer>();
  attach(line, peer);
  return peer;
}

std::shared_ptr<FarEnd> QmxUnit::far_end(unsigned line) const {
  auto it = far_ends_.find(line);
  return it == far_ends_.end() ? nullptr : it->second;
}

std::shared_ptr<ScriptedPeer> QmxUnit::peer(unsigned line) const {
  return std::dynamic_pointer_cast<ScriptedPeer>(far_end(line));
}

} // namespace qdemu
