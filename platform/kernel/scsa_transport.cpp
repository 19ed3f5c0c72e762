// Running commands: scsi_transport hands a command to the target (or plays the adapter's
// fault script), the answer comes back as interrupt work that fills the packet and calls
// its completion, and pkt_time is kept on the kernel clock. scsi_poll runs the same way
// and waits.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "scsa_impl.h"

using namespace kemu::scsa_detail;
using kemu::DataDir;
using kemu::Kernel;
using kemu::ScsiAnswer;
using kemu::ScsiCommand;
using kemu::ScsiFault;
using Core = kemu::Scsa::Core;
using Kind = kemu::ScsiFault::Kind;
using kemu::WorkId;

namespace {

constexpr uint_t kSent = STATE_GOT_BUS | STATE_GOT_TARGET | STATE_SENT_CMD;

// Ticks until a packet times out, or 0 for none.
clock_t timeout_ticks(int pkt_time) {
  if (pkt_time <= 0 || pkt_time >= SCSI_TIME_NONE) {
    return 0;
  }
  return static_cast<clock_t>(pkt_time) * hz;
}

uint_t usual_state(const ScsiAnswer& a, std::size_t length) {
  if (a.reason != CMD_CMPLT) {
    return kSent;
  }
  uint_t s = kSent | STATE_GOT_STATUS;
  if (std::min(a.resid, length) < length) {
    s |= STATE_XFERRED_DATA;
  }
  return s;
}

// What runs after the core's lock is released: the driver's completion or the wake-up of
// scsi_poll.
struct Delivery {
  scsi_pkt* pkt = nullptr;
  bool polled = false;
  void (*comp)(scsi_pkt*) = nullptr;
};

// Fills the packet from the command's answer and frees it for the next transport (mu held).
Delivery settle_locked(Core& core, ScsiCommand::Impl& ci) {
  ci.finished = true;
  scsi_pkt* pkt = ci.pkt;
  core.inflight.erase(pkt);
  --ci.hba->in_transport;
  PktHdr* h = hdr(pkt);
  h->in_transport = 0;

  const ScsiAnswer& a = ci.answer;
  const std::size_t length = ci.data.size();
  const std::size_t resid = std::min(a.resid, length);
  uint_t state = a.state.value_or(usual_state(a, length));
  const std::size_t moved = (state & STATE_XFERRED_DATA) != 0 ? length - resid : 0;
  if (ci.dir == DataDir::kIn && moved > 0 && ci.dest != nullptr) {
    std::memcpy(ci.dest, ci.data.data(), moved);
  }
  pkt->pkt_reason = a.reason;
  pkt->pkt_statistics = a.statistics;
  pkt->pkt_resid = static_cast<long>(length - moved);
  std::memset(pkt->pkt_scbp, 0, static_cast<std::size_t>(h->statuslen));
  if ((state & STATE_GOT_STATUS) != 0) {
    pkt->pkt_scbp[0] = a.status;
  }
  if (a.reason == CMD_CMPLT && (a.status & STATUS_MASK) == STATUS_CHECK && !a.sense.empty()) {
    if (ci.hba->arq[ci.target] && h->statuslen >= static_cast<int>(sizeof(scsi_arq_status))) {
      scsi_arq_status arq{};
      arq.sts_status = a.status;
      arq.sts_rqpkt_status = STATUS_GOOD;
      arq.sts_rqpkt_reason = CMD_CMPLT;
      const std::size_t n = std::min(a.sense.size(), sizeof arq.sts_sensedata);
      std::memcpy(&arq.sts_sensedata, a.sense.data(), n);
      arq.sts_rqpkt_resid = static_cast<uchar_t>(sizeof arq.sts_sensedata - n);
      arq.sts_rqpkt_state = kSent | STATE_XFERRED_DATA | STATE_GOT_STATUS;
      std::memcpy(pkt->pkt_scbp, &arq, sizeof arq);
      state |= STATE_ARQ_DONE;
    } else {
      ci.hba->lun(ci.target, ci.lun).pending_sense = a.sense;
    }
  }
  pkt->pkt_state = state;
  return Delivery{pkt, ci.polled, pkt->pkt_comp};
}

void deliver(const Delivery& d) {
  if (d.polled) {
    PktHdr* h = hdr(d.pkt);
    mutex_enter(&h->poll_mu);
    h->poll_done = 1;
    cv_broadcast(&h->poll_cv);
    mutex_exit(&h->poll_mu);
  } else if (d.comp != nullptr) {
    d.comp(d.pkt);
  }
}

// Cancels a command's queued work (mu held); its hold on the command goes with it. Work
// that has started already holds its own reference and clears the id itself.
void cancel_work(WorkId& id, CmdPtr& ref) {
  if (id != 0 && Kernel::current().cancel_interrupt(id)) {
    ref.reset();
  }
  id = 0;
}

// Interrupt work: the command's answer arrives.
void run_completion(void* arg) {
  auto& ci = *static_cast<ScsiCommand::Impl*>(arg);
  auto core = ci.core.lock();
  CmdPtr keep; // the work's hold on the command, until it is done with it
  Delivery d;
  {
    std::unique_lock<std::mutex> lk;
    if (core) {
      lk = std::unique_lock(core->mu);
    }
    keep = std::move(ci.done_ref);
    ci.done_work = 0;
    if (!core || ci.finished) {
      return;
    }
    cancel_work(ci.timeout_work, ci.timeout_ref);
    d = settle_locked(*core, ci);
  }
  deliver(d);
}

// Interrupt work: pkt_time has run out.
void run_timeout(void* arg) {
  auto& ci = *static_cast<ScsiCommand::Impl*>(arg);
  auto core = ci.core.lock();
  CmdPtr keep;
  Delivery d;
  {
    std::unique_lock<std::mutex> lk;
    if (core) {
      lk = std::unique_lock(core->mu);
    }
    keep = std::move(ci.timeout_ref);
    ci.timeout_work = 0;
    if (!core || ci.finished) {
      return;
    }
    cancel_work(ci.done_work, ci.done_ref);
    ScsiAnswer a;
    a.reason = CMD_TIMEOUT;
    a.state = ci.delivered ? kSent : (STATE_GOT_BUS | STATE_GOT_TARGET);
    a.statistics = STAT_TIMEOUT;
    a.resid = ci.data.size();
    ci.answer = std::move(a);
    d = settle_locked(*core, ci);
  }
  deliver(d);
}

// The answer of an address where nothing responds: the selection timed out.
ScsiAnswer no_response() {
  ScsiAnswer a;
  a.reason = CMD_INCOMPLETE;
  a.state = STATE_GOT_BUS;
  a.resid = std::numeric_limits<std::size_t>::max();
  return a;
}

// The adapter's answer in place of the target, for faults that never reach it.
ScsiAnswer stand_in(const ScsiFault& f) {
  ScsiAnswer a;
  a.resid = std::numeric_limits<std::size_t>::max();
  switch (f.kind) {
  case Kind::kReason:
    a.reason = f.reason;
    a.state = STATE_GOT_BUS | STATE_GOT_TARGET;
    break;
  case Kind::kStatus:
    a.status = f.status;
    break;
  case Kind::kCheck:
    a.status = STATUS_CHECK;
    if (f.key >= 0) {
      a.sense = kemu::make_sense(static_cast<uchar_t>(f.key), f.ili);
    }
    break;
  default:
    break;
  }
  return a;
}

bool reaches_target(const ScsiFault& f) {
  switch (f.kind) {
  case Kind::kParity:
  case Kind::kLatency:
    return true;
  case Kind::kReason:
  case Kind::kNoCompletion:
    return f.sent;
  default:
    return false;
  }
}

// The first fault of the script that matches, used up by one (mu held).
std::optional<ScsiFault> take_fault(kemu::scsa_detail::Lun& lun, int opcode) {
  for (auto it = lun.faults.begin(); it != lun.faults.end(); ++it) {
    if (it->opcode != kemu::kAnyOpcode && it->opcode != opcode) {
      continue;
    }
    ScsiFault f = *it;
    if (it->count != kemu::kForever && --it->count <= 0) {
      lun.faults.erase(it);
    }
    return f;
  }
  return std::nullopt;
}

// A REQUEST SENSE answered from the sense the adapter kept.
ScsiAnswer sense_answer(ScsiCommand::Impl& ci, const std::vector<std::uint8_t>& sense) {
  std::size_t room = ci.data.size();
  if (ci.cdb.size() > 4) {
    room = std::min<std::size_t>(room, ci.cdb[4]);
  }
  const std::size_t n = std::min(room, sense.size());
  if (ci.dir == DataDir::kIn) {
    std::memcpy(ci.data.data(), sense.data(), n);
  }
  return ScsiAnswer::good(ci.data.size() - n);
}

} // namespace

namespace kemu::scsa_detail {

void answer_locked(Core& /*core*/, const CmdPtr& cmd, ScsiAnswer a) {
  ScsiCommand::Impl& ci = cmd->impl();
  ci.answered = true;
  if (ci.effect) {
    const ScsiFault& f = *ci.effect;
    switch (f.kind) {
    case Kind::kReason: // sent, then lost
      a.reason = f.reason;
      a.state = kSent;
      a.status = STATUS_GOOD;
      a.sense.clear();
      a.resid = ci.data.size();
      break;
    case Kind::kNoCompletion:
      return;
    case Kind::kParity:
      a.statistics |= STAT_PERR;
      break;
    case Kind::kLatency:
      if (a.delay != kNever) {
        a.delay += f.ticks;
      }
      break;
    default:
      break;
    }
  }
  if (a.delay == kNever) {
    return;
  }
  const clock_t delay = std::max<clock_t>(a.delay, 0);
  ci.answer = std::move(a);
  ci.done_ref = cmd;
  ci.done_work = Kernel::current().interrupt(&run_completion, &ci, delay);
}

void abandon_locked(Core& core, scsi_pkt* pkt) {
  auto it = core.inflight.find(pkt);
  if (it == core.inflight.end()) {
    return;
  }
  const CmdPtr cmd = it->second; // the map may hold the last reference
  core.inflight.erase(it);
  ScsiCommand::Impl& ci = cmd->impl();
  ci.finished = true;
  cancel_work(ci.timeout_work, ci.timeout_ref);
  cancel_work(ci.done_work, ci.done_ref);
  --ci.hba->in_transport;
  hdr(pkt)->in_transport = 0;
}

int start(scsi_pkt* pkt, bool polled) {
  Core* core = live_core();
  if (core == nullptr || pkt == nullptr) {
    return TRAN_FATAL_ERROR;
  }
  Kernel& kernel = Kernel::current();
  std::unique_lock lk(core->mu);
  if (!core->packets.contains(pkt)) {
    lk.unlock();
    kernel.report("scsi_transport of a packet the SCSI layer did not make (or freed already)");
    return TRAN_BADPKT;
  }
  PktHdr* h = hdr(pkt);
  if (h->in_transport != 0) {
    lk.unlock();
    kernel.report("scsi_transport of a packet that is still in transport");
    return TRAN_BADPKT;
  }
  h->poll_done = 0;
  Hba::Impl* hba = core->hba_of(pkt->pkt_address.a_hba_tran);
  const int target = pkt->pkt_address.a_target;
  const int lun_no = pkt->pkt_address.a_lun;
  if (hba == nullptr || target >= kScsiTargets || lun_no >= kScsiLuns) {
    return TRAN_BADPKT;
  }

  pkt->pkt_reason = CMD_CMPLT;
  pkt->pkt_state = 0;
  pkt->pkt_statistics = 0;
  pkt->pkt_resid = 0;
  std::memset(pkt->pkt_scbp, 0, static_cast<std::size_t>(h->statuslen));

  Lun& lun = hba->lun(target, lun_no);
  const std::uint8_t opcode = pkt->pkt_cdbp[0];
  std::optional<ScsiFault> fault = take_fault(lun, opcode);
  if (fault && fault->kind == Kind::kRefuse && fault->tran != TRAN_ACCEPT) {
    return fault->tran;
  }

  CmdPtr cmd = new_command();
  ScsiCommand::Impl& ci = cmd->impl();
  ci.core = core->self;
  ci.hba = hba;
  ci.pkt = pkt;
  ci.target = target;
  ci.lun = lun_no;
  ci.cdb.assign(pkt->pkt_cdbp, pkt->pkt_cdbp + h->cdblen);
  if (const buf* bp = h->bp; bp != nullptr && bp->b_bcount > 0 && bp->b_un.b_addr != nullptr) {
    const auto* src = reinterpret_cast<const std::uint8_t*>(bp->b_un.b_addr);
    if ((bp->b_flags & B_READ) != 0) {
      ci.dir = DataDir::kIn;
      ci.data.assign(bp->b_bcount, 0);
      ci.dest = bp->b_un.b_addr;
    } else {
      ci.dir = DataDir::kOut;
      ci.data.assign(src, src + bp->b_bcount);
    }
  }
  ci.issued = kernel.lbolt();
  ci.polled = polled;

  core->inflight.emplace(pkt, cmd);
  h->in_transport = 1;
  ++hba->in_transport;
  if (const clock_t ticks = timeout_ticks(pkt->pkt_time); ticks > 0) {
    ci.timeout_ref = cmd;
    ci.timeout_work = kernel.interrupt(&run_timeout, &ci, ticks);
  }

  if (fault && !reaches_target(*fault)) {
    if (fault->kind != Kind::kNoCompletion) {
      if (fault->kind != Kind::kReason) {
        lun.pending_sense.clear(); // the target got a command, and answered it
      }
      answer_locked(*core, cmd, stand_in(*fault));
    }
    if ((fault->kind == Kind::kStatus || fault->kind == Kind::kCheck) && lun.target) {
      std::shared_ptr<ScsiTarget> target_if = lun.target;
      lk.unlock();
      target_if->stood_in(*cmd);
    }
    return TRAN_ACCEPT;
  }
  ci.effect = fault;
  ci.delivered = true;
  if (opcode == SCMD_REQUEST_SENSE && !lun.pending_sense.empty()) {
    std::vector<std::uint8_t> sense = std::exchange(lun.pending_sense, {});
    answer_locked(*core, cmd, sense_answer(ci, sense));
    return TRAN_ACCEPT;
  }
  lun.pending_sense.clear();
  std::shared_ptr<ScsiTarget> target_if = lun.target;
  if (!target_if) {
    ci.delivered = false;
    answer_locked(*core, cmd, no_response());
    return TRAN_ACCEPT;
  }
  lk.unlock();
  target_if->command(cmd);
  return TRAN_ACCEPT;
}

void wait_polled(scsi_pkt* pkt) {
  PktHdr* h = hdr(pkt);
  SleepWithLocksHeld allowed;
  mutex_enter(&h->poll_mu);
  while (h->poll_done == 0) {
    cv_wait(&h->poll_cv, &h->poll_mu);
  }
  mutex_exit(&h->poll_mu);
}

} // namespace kemu::scsa_detail

// ---- What drivers call ------------------------------------------------------------------------

int scsi_transport(scsi_pkt* pkt) {
  return start(pkt, false);
}

int scsi_poll(scsi_pkt* pkt) {
  if (start(pkt, true) != TRAN_ACCEPT) {
    return -1;
  }
  wait_polled(pkt);
  return pkt->pkt_reason == CMD_CMPLT && (pkt->pkt_scbp[0] & STATUS_MASK) == STATUS_GOOD ? 0 : -1;
}
