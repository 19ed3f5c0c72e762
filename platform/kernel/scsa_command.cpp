// Commands as targets see them, answers, sense data and the fault script entries.
#include <limits>

#include <mutex>

#include "scsa_impl.h"

namespace kemu {

std::vector<std::uint8_t> make_sense(uchar_t key, bool ili, uchar_t asc, uchar_t ascq) {
  std::vector<std::uint8_t> s(sizeof(scsi_extended_sense), 0);
  s[0] = CLASS_EXTENDED_SENSE;
  s[2] = static_cast<std::uint8_t>((key & SENSE_KEY_MASK) | (ili ? SENSE_ILI : 0));
  s[7] = static_cast<std::uint8_t>(sizeof(scsi_extended_sense) - 8);
  s[12] = asc;
  s[13] = ascq;
  return s;
}

ScsiAnswer ScsiAnswer::good(std::size_t resid) {
  ScsiAnswer a;
  a.resid = resid;
  return a;
}

ScsiAnswer ScsiAnswer::check(uchar_t key, bool ili, uchar_t asc, uchar_t ascq) {
  ScsiAnswer a;
  a.status = STATUS_CHECK;
  a.sense = make_sense(key, ili, asc, ascq);
  a.resid = std::numeric_limits<std::size_t>::max(); // no data moved
  return a;
}

// ---- ScsiCommand -------------------------------------------------------------------------------

namespace {

// Spent command records (and the shared pointers' control blocks, which hold them) kept
// for the next command. Reached from any thread that drops the last reference.
struct CommandPool {
  std::mutex mu;
  kemu::detail::NodeFreeList blocks;
  std::vector<std::unique_ptr<ScsiCommand::Impl>> impls;
};
constexpr std::size_t kSpareImpls = 256;

CommandPool& command_pool() {
  static auto* pool = new CommandPool; // the last references may go after main returns
  return *pool;
}

template <class T> class PoolAlloc {
public:
  using value_type = T;
  PoolAlloc() = default;
  template <class U> PoolAlloc(const PoolAlloc<U>&) {}
  T* allocate(std::size_t n) {
    CommandPool& p = command_pool();
    std::lock_guard lk(p.mu);
    return static_cast<T*>(n == 1 ? p.blocks.take(sizeof(T)) : ::operator new(n * sizeof(T)));
  }
  void deallocate(T* ptr, std::size_t n) {
    CommandPool& p = command_pool();
    std::lock_guard lk(p.mu);
    if (n == 1) {
      p.blocks.give(ptr, sizeof(T));
    } else {
      ::operator delete(ptr);
    }
  }
  template <class U> bool operator==(const PoolAlloc<U>&) const { return true; }
};

} // namespace

void ScsiCommand::Impl::reset() {
  core.reset();
  hba = nullptr;
  pkt = nullptr;
  target = 0;
  lun = 0;
  cdb.clear();
  dir = DataDir::kNone;
  data.clear();
  dest = nullptr;
  issued = 0;
  polled = false;
  delivered = false;
  answered = false;
  finished = false;
  effect.reset();
  answer = ScsiAnswer{};
  timeout_work = 0;
  done_work = 0;
  timeout_ref.reset();
  done_ref.reset();
}

scsa_detail::CmdPtr scsa_detail::new_command() {
  std::unique_ptr<ScsiCommand::Impl> impl;
  {
    CommandPool& p = command_pool();
    std::lock_guard lk(p.mu);
    if (!p.impls.empty()) {
      impl = std::move(p.impls.back());
      p.impls.pop_back();
    }
  }
  if (!impl) {
    impl = std::make_unique<ScsiCommand::Impl>();
  }
  return std::allocate_shared<ScsiCommand>(PoolAlloc<ScsiCommand>(), std::move(impl));
}

ScsiCommand::ScsiCommand(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ScsiCommand::~ScsiCommand() {
  if (!impl_) {
    return;
  }
  impl_->reset();
  CommandPool& p = command_pool();
  std::lock_guard lk(p.mu);
  if (p.impls.size() < kSpareImpls) {
    p.impls.push_back(std::move(impl_));
  }
}

int ScsiCommand::target() const {
  return impl_->target;
}
int ScsiCommand::lun() const {
  return impl_->lun;
}
std::span<const std::uint8_t> ScsiCommand::cdb() const {
  return impl_->cdb;
}
std::uint8_t ScsiCommand::opcode() const {
  return impl_->cdb.empty() ? 0 : impl_->cdb[0];
}
DataDir ScsiCommand::dir() const {
  return impl_->dir;
}
std::size_t ScsiCommand::length() const {
  return impl_->data.size();
}
std::span<const std::uint8_t> ScsiCommand::data_out() const {
  if (impl_->dir != DataDir::kOut) {
    return {};
  }
  return impl_->data;
}
std::span<std::uint8_t> ScsiCommand::data_in() {
  if (impl_->dir != DataDir::kIn) {
    return {};
  }
  return impl_->data;
}
clock_t ScsiCommand::issued() const {
  return impl_->issued;
}

bool ScsiCommand::active() const {
  auto core = impl_->core.lock();
  if (!core) {
    return false;
  }
  std::lock_guard lk(core->mu);
  return !impl_->answered && !impl_->finished;
}

void ScsiCommand::complete(ScsiAnswer answer) {
  auto core = impl_->core.lock();
  if (!core) {
    return;
  }
  bool twice = false;
  {
    std::lock_guard lk(core->mu);
    if (impl_->answered) {
      twice = true;
    } else if (impl_->finished) {
      impl_->answered = true; // given up already: the answer goes nowhere
    } else {
      // The shared_ptr the adapter keeps for the command in transport.
      auto it = core->inflight.find(impl_->pkt);
      if (it != core->inflight.end() && it->second.get() == this) {
        scsa_detail::answer_locked(*core, it->second, std::move(answer));
      }
    }
  }
  if (twice && Kernel::exists()) {
    Kernel::current().report("a SCSI target answered a command twice");
  }
}

// ---- ScsiFault ---------------------------------------------------------------------------------

ScsiFault ScsiFault::refuse(int tran) {
  ScsiFault f;
  f.kind = Kind::kRefuse;
  f.tran = tran;
  return f;
}

ScsiFault ScsiFault::fail(uchar_t reason, bool sent) {
  ScsiFault f;
  f.kind = Kind::kReason;
  f.reason = reason;
  f.sent = sent;
  return f;
}

ScsiFault ScsiFault::status_byte(uchar_t status) {
  ScsiFault f;
  f.kind = Kind::kStatus;
  f.status = status;
  return f;
}

ScsiFault ScsiFault::check(uchar_t key, bool ili) {
  ScsiFault f;
  f.kind = Kind::kCheck;
  f.key = key;
  f.ili = ili;
  return f;
}

ScsiFault ScsiFault::check_without_sense() {
  ScsiFault f;
  f.kind = Kind::kCheck;
  f.key = -1;
  return f;
}

ScsiFault ScsiFault::parity() {
  ScsiFault f;
  f.kind = Kind::kParity;
  return f;
}

ScsiFault ScsiFault::no_completion(bool sent) {
  ScsiFault f;
  f.kind = Kind::kNoCompletion;
  f.sent = sent;
  return f;
}

ScsiFault ScsiFault::latency(clock_t ticks) {
  ScsiFault f;
  f.kind = Kind::kLatency;
  f.ticks = ticks;
  return f;
}

ScsiFault ScsiFault::on(int op) const {
  ScsiFault f = *this;
  f.opcode = op;
  return f;
}

ScsiFault ScsiFault::times(int n) const {
  ScsiFault f = *this;
  f.count = n;
  return f;
}

} // namespace kemu
