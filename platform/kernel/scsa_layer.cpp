// The SCSI layer's objects: the Scsa that owns the adapters, the adapters with their
// targets and fault scripts, and the tie to the device tree (adapter nodes, SCSI child
// nodes, the "misc/scsi" module).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "scsa_impl.h"

namespace kemu {

using scsa_detail::Lun;

namespace {

std::atomic<Scsa*> g_scsa{nullptr};

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "kemu scsa: %s\n", what);
  std::abort();
}

void check_address(int target, int lun) {
  if (target < 0 || target >= kScsiTargets || lun < 0 || lun >= kScsiLuns) {
    fatal("target or LUN out of range");
  }
}

// The tree this Scsa registered with, while it still lives.
Ddi* live_ddi(const Scsa::Core& core) {
  return core.ddi != nullptr && Ddi::exists() && &Ddi::current() == core.ddi ? core.ddi : nullptr;
}

} // namespace

Scsa::Core* scsa_detail::live_core() {
  Scsa* s = g_scsa.load();
  return s != nullptr ? &s->core() : nullptr;
}

Hba::Impl* Scsa::Core::hba_of(const scsi_hba_tran* tran) const {
  if (tran == nullptr) {
    return nullptr;
  }
  for (const auto& h : hbas) {
    if (&h->impl().tran == tran) {
      return &h->impl();
    }
  }
  return nullptr;
}

Hba& Scsa::Core::new_hba(dev_info_t* dip, HbaOptions opts) {
  auto impl = std::make_unique<Hba::Impl>();
  impl->core = this;
  impl->number = static_cast<int>(hbas.size());
  impl->dip = dip;
  impl->arq_support = opts.arq;
  hbas.push_back(std::make_unique<Hba>(std::move(impl)));
  Hba& h = *hbas.back();
  h.impl().tran.tran_hba_dip = dip;
  h.impl().tran.tran_hba_private = &h;
  return h;
}

// ---- Hba ----------------------------------------------------------------------------------------

Hba::Hba(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Hba::~Hba() = default;

int Hba::number() const {
  return impl_->number;
}
dev_info_t* Hba::dip() const {
  return impl_->dip;
}
scsi_hba_tran* Hba::tran() {
  return &impl_->tran;
}

void Hba::plug(int target, int lun, std::shared_ptr<ScsiTarget> t) {
  check_address(target, lun);
  std::lock_guard lk(impl_->core->mu);
  impl_->lun(target, lun).target = std::move(t);
}

void Hba::unplug(int target, int lun) {
  check_address(target, lun);
  std::shared_ptr<ScsiTarget> gone;
  std::lock_guard lk(impl_->core->mu);
  gone = std::move(impl_->lun(target, lun).target);
}

std::shared_ptr<ScsiTarget> Hba::plugged(int target, int lun) const {
  check_address(target, lun);
  std::lock_guard lk(impl_->core->mu);
  auto it = impl_->luns.find({target, lun});
  return it != impl_->luns.end() ? it->second.target : nullptr;
}

void Hba::set_arq_support(ArqSupport s) {
  std::lock_guard lk(impl_->core->mu);
  impl_->arq_support = s;
  if (s != ArqSupport::kSettable) {
    std::fill(std::begin(impl_->arq), std::end(impl_->arq), false);
  }
}

bool Hba::arq_enabled(int target) const {
  check_address(target, 0);
  std::lock_guard lk(impl_->core->mu);
  return impl_->arq[target];
}

void Hba::inject(int target, int lun, ScsiFault f) {
  check_address(target, lun);
  if (f.kind == ScsiFault::Kind::kRefuse && f.tran == TRAN_ACCEPT) {
    fatal("a refusal cannot be TRAN_ACCEPT");
  }
  if (f.count == 0 || f.count < kForever) {
    return;
  }
  std::lock_guard lk(impl_->core->mu);
  impl_->lun(target, lun).faults.push_back(f);
}

void Hba::clear_faults() {
  std::lock_guard lk(impl_->core->mu);
  for (auto& [addr, l] : impl_->luns) {
    l.faults.clear();
  }
}

std::size_t Hba::faults_pending(int target, int lun) const {
  check_address(target, lun);
  std::lock_guard lk(impl_->core->mu);
  auto it = impl_->luns.find({target, lun});
  std::size_t n = 0;
  if (it != impl_->luns.end()) {
    for (const ScsiFault& f : it->second.faults) {
      n += f.count == kForever ? 1 : static_cast<std::size_t>(f.count);
    }
  }
  return n;
}

std::vector<std::uint8_t> Hba::pending_sense(int target, int lun) const {
  check_address(target, lun);
  std::lock_guard lk(impl_->core->mu);
  auto it = impl_->luns.find({target, lun});
  return it != impl_->luns.end() ? it->second.pending_sense : std::vector<std::uint8_t>{};
}

std::size_t Hba::in_transport() const {
  std::lock_guard lk(impl_->core->mu);
  return impl_->in_transport;
}

scsi_device* Hba::device(int target, int lun) {
  check_address(target, lun);
  std::lock_guard lk(impl_->core->mu);
  Lun& l = impl_->lun(target, lun);
  if (!l.device) {
    l.device = std::make_unique<scsi_device>();
    l.device->sd_address.a_hba_tran = &impl_->tran;
    l.device->sd_address.a_target = static_cast<ushort_t>(target);
    l.device->sd_address.a_lun = static_cast<uchar_t>(lun);
  }
  return l.device.get();
}

// ---- Scsa ---------------------------------------------------------------------------------------

Scsa::Scsa() : core_(std::make_shared<Core>()) {
  core_->self = core_;
  Scsa* expected = nullptr;
  if (!g_scsa.compare_exchange_strong(expected, this)) {
    fatal("a second kemu::Scsa while one lives");
  }
  if (Ddi::exists()) {
    core_->ddi = &Ddi::current();
    core_->ddi->register_misc("misc/scsi");
    configure();
  }
}

Scsa::~Scsa() {
  {
    std::lock_guard lk(core_->mu);
    if (Kernel::exists()) {
      for (auto& [pkt, cmd] : core_->inflight) {
        auto& ci = cmd->impl();
        ci.finished = true;
        for (auto [w, ref] : {std::pair{&ci.timeout_work, &ci.timeout_ref},
                              std::pair{&ci.done_work, &ci.done_ref}}) {
          if (*w != 0 && Kernel::current().cancel_interrupt(*w)) {
            ref->reset();
          }
          *w = 0;
        }
      }
    }
    core_->inflight.clear();
  }
  if (Ddi* ddi = live_ddi(*core_)) {
    ddi->unregister_misc("misc/scsi");
    for (auto& h : core_->hbas) {
      if (h->dip() != nullptr && ddi->transport(h->dip()) == h->tran()) {
        ddi->set_transport(h->dip(), nullptr);
      }
    }
    // Only nodes still in the tree: a reloaded driver.conf may have replaced some.
    for (auto& h : core_->hbas) {
      if (h->dip() == nullptr) {
        continue;
      }
      for (dev_info_t* child : ddi->children(h->dip())) {
        auto it = core_->children.find(child);
        if (it != core_->children.end() && ddi_get_driver_private(child) == it->second.get()) {
          ddi_set_driver_private(child, nullptr);
        }
      }
    }
  }
  g_scsa.store(nullptr);
}

Scsa& Scsa::current() {
  Scsa* s = g_scsa.load();
  if (s == nullptr) {
    fatal("no SCSI layer (kemu::Scsa) lives");
  }
  return *s;
}

bool Scsa::exists() {
  return g_scsa.load() != nullptr;
}

Hba& Scsa::add_adapter(HbaOptions opts, std::string_view node_name) {
  dev_info_t* dip = nullptr;
  if (Ddi* ddi = live_ddi(*core_)) {
    dip = ddi->add_adapter(node_name);
  }
  Hba* h = nullptr;
  {
    std::lock_guard lk(core_->mu);
    h = &core_->new_hba(dip, opts);
  }
  if (dip != nullptr) {
    core_->ddi->set_transport(dip, h->tran());
  }
  return *h;
}

std::vector<Hba*> Scsa::adapters() {
  std::lock_guard lk(core_->mu);
  std::vector<Hba*> out;
  for (auto& h : core_->hbas) {
    out.push_back(h.get());
  }
  return out;
}

Hba& Scsa::adapter(int number) {
  std::lock_guard lk(core_->mu);
  if (number < 0 || number >= static_cast<int>(core_->hbas.size())) {
    fatal("no adapter with that number");
  }
  return *core_->hbas[static_cast<std::size_t>(number)];
}

Hba* Scsa::adapter_of(dev_info_t* adapter_node) {
  std::lock_guard lk(core_->mu);
  for (auto& h : core_->hbas) {
    if (adapter_node != nullptr && h->dip() == adapter_node) {
      return h.get();
    }
  }
  return nullptr;
}

int Scsa::configure() {
  Ddi* ddi = live_ddi(*core_);
  if (ddi == nullptr) {
    return 0;
  }
  // Adapter nodes nobody has taken on yet.
  for (dev_info_t* a : ddi->adapters()) {
    if (ddi->transport(a) == nullptr) {
      Hba* h = nullptr;
      {
        std::lock_guard lk(core_->mu);
        h = &core_->new_hba(a, {});
      }
      ddi->set_transport(a, h->tran());
    }
  }
  int bound = 0;
  std::set<dev_info_t*> present;
  for (Hba* h : adapters()) {
    if (h->dip() == nullptr) {
      continue;
    }
    for (dev_info_t* child : ddi->children(h->dip())) {
      if (ddi->is_adapter(child)) {
        continue;
      }
      const int target = ddi_getprop(DDI_DEV_T_ANY, child, DDI_PROP_DONTPASS, "target", -1);
      const int lun = ddi_getprop(DDI_DEV_T_ANY, child, DDI_PROP_DONTPASS, "lun", 0);
      if (target < 0 || target > 0xFFFF || lun < 0 || lun > 0xFF) {
        continue;
      }
      present.insert(child);
      std::lock_guard lk(core_->mu);
      auto it = core_->children.find(child);
      void* priv = ddi_get_driver_private(child);
      if (it != core_->children.end() && priv == it->second.get()) {
        continue; // bound already
      }
      if (priv != nullptr) {
        continue; // someone else's
      }
      auto dev = std::make_unique<scsi_device>();
      dev->sd_address.a_hba_tran = h->tran();
      dev->sd_address.a_target = static_cast<ushort_t>(target);
      dev->sd_address.a_lun = static_cast<uchar_t>(lun);
      dev->sd_dev = child;
      ddi_set_driver_private(child, dev.get());
      core_->children[child] = std::move(dev);
      ++bound;
    }
  }
  // Records of nodes that left the tree.
  std::lock_guard lk(core_->mu);
  std::erase_if(core_->children, [&](const auto& kv) { return !present.contains(kv.first); });
  return bound;
}

scsi_device* Scsa::device_of(dev_info_t* child) {
  std::lock_guard lk(core_->mu);
  auto it = core_->children.find(child);
  return it != core_->children.end() ? it->second.get() : nullptr;
}

void Scsa::fail_init_pkt_nth(long n) {
  std::lock_guard lk(core_->mu);
  core_->fail_init_pkt = n > 0 ? n : 0;
}

void Scsa::fail_pktiopb_nth(long n) {
  std::lock_guard lk(core_->mu);
  core_->fail_pktiopb = n > 0 ? n : 0;
}

void Scsa::fail_getrbuf_nth(long n) {
  std::lock_guard lk(core_->mu);
  core_->fail_getrbuf = n > 0 ? n : 0;
}

void Scsa::clear_alloc_faults() {
  std::lock_guard lk(core_->mu);
  core_->fail_init_pkt = core_->fail_pktiopb = core_->fail_getrbuf = 0;
}

std::size_t Scsa::packets() const {
  std::lock_guard lk(core_->mu);
  return core_->packets.size();
}

std::size_t Scsa::in_transport() const {
  std::lock_guard lk(core_->mu);
  return core_->inflight.size();
}

} // namespace kemu
