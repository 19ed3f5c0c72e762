#include "unit_node_stub.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "kemu/ddi.h"
#include "kemu/kernel.h"
#include "kemu/streamhead.h"
#include "ksys/cred.h"
#include "ksys/ddi.h"
#include "ksys/devops.h"
#include "ksys/modctl.h"
#include "ksys/stream.h"
#include "qdhost/node_server.h"
#include "qdio.h"

namespace nettest {
namespace {

constexpr const char kDriver[] = "vrnstub";
constexpr minor_t kUnitMinor = 0x103ff; // Lanvara unit 3, port 0xff: its unit node

std::atomic<std::uint32_t> g_addr{0};
std::atomic<int> g_refuse{0};
std::atomic<int> g_requests{0};

void reply(queue_t* wq, mblk_t* mp, int error, const void* data, std::size_t n) {
  auto* io = reinterpret_cast<iocblk*>(mp->b_rptr);
  freemsg(mp->b_cont);
  mp->b_cont = nullptr;
  mblk_t* d = error == 0 && n > 0 ? allocb(n, BPRI_MED) : nullptr;
  if (error == 0 && n > 0 && d == nullptr) {
    error = EIO;
  }
  if (d != nullptr) {
    std::memcpy(d->b_wptr, data, n);
    d->b_wptr += n;
    mp->b_cont = d;
  }
  mp->b_datap->db_type = error == 0 ? M_IOCACK : M_IOCNAK;
  io->ioc_count = error == 0 ? static_cast<unsigned>(n) : 0;
  io->ioc_error = error;
  io->ioc_rval = error == 0 ? 0 : -1;
  qreply(wq, mp);
}

int stub_open(queue_t* q, dev_t* devp, int, int, cred_t*) {
  if (getminor(*devp) != kUnitMinor) {
    return ENXIO;
  }
  qprocson(q);
  return 0;
}

int stub_close(queue_t* q, int, cred_t*) {
  qprocsoff(q);
  return 0;
}

int stub_wput(queue_t* q, mblk_t* mp) {
  if (mp->b_datap->db_type != M_IOCTL) {
    freemsg(mp);
    return 0;
  }
  auto* io = reinterpret_cast<iocblk*>(mp->b_rptr);
  if (io->ioc_cmd != qd_ioc(VRNGETUPTR)) {
    reply(q, mp, ENXIO, nullptr, 0);
    return 0;
  }
  ++g_requests;
  if (drv_priv(io->ioc_cr) != 0) {
    reply(q, mp, EPERM, nullptr, 0);
    return 0;
  }
  if (const int err = g_refuse.load(); err != 0) {
    reply(q, mp, err, nullptr, 0);
    return 0;
  }
  vrn_uptr_info info{};
  std::strncpy(info.model_name, "Lanvara8S-115A", sizeof info.model_name);
  std::strncpy(info.fw_version, "V6.0", 5);
  info.net_addr = g_addr.load();
  reply(q, mp, 0, &info, sizeof info);
  return 0;
}

int stub_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

module_info stub_minfo = {0, kDriver, 0, INFPSZ, 8192, 1024};
qinit stub_rinit = {stub_rput, nullptr, stub_open, stub_close, nullptr, &stub_minfo, nullptr};
qinit stub_winit = {stub_wput, nullptr, nullptr, nullptr, nullptr, &stub_minfo, nullptr};
streamtab stub_info = {&stub_rinit, &stub_winit, nullptr, nullptr};

int stub_attach(dev_info_t* dip, ddi_attach_cmd_t cmd) {
  if (cmd != DDI_ATTACH ||
      ddi_create_minor_node(dip, kStubNode, S_IFCHR, kUnitMinor, DDI_PSEUDO, 0) != DDI_SUCCESS) {
    return DDI_FAILURE;
  }
  return DDI_SUCCESS;
}

int stub_detach(dev_info_t* dip, ddi_detach_cmd_t) {
  ddi_remove_minor_node(dip, nullptr);
  return DDI_SUCCESS;
}

cb_ops stub_cb_ops = {nulldev,     nulldev,    nodev, nodev,  nodev, nodev,
                      nodev,       nodev,      nodev, nodev,  nodev, nochpoll,
                      ddi_prop_op, &stub_info, D_MP,  CB_REV, nodev, nodev};
dev_ops stub_ops = {DEVO_REV,    0,     nullptr,      nulldev, nulldev, stub_attach,
                    stub_detach, nodev, &stub_cb_ops, nullptr, nullptr};
modldrv stub_modldrv = {&mod_driverops, "unit node stand-in", &stub_ops};
modlinkage stub_modlinkage = {MODREV_1, {&stub_modldrv, nullptr}};

int stub_init() {
  return mod_install(&stub_modlinkage);
}
int stub_info_entry(modinfo* mip) {
  return mod_info(&stub_modlinkage, mip);
}
int stub_fini() {
  return mod_remove(&stub_modlinkage);
}

} // namespace

struct UnitNodeServer::Impl {
  std::unique_ptr<kemu::Kernel> kernel;
  std::unique_ptr<kemu::Ddi> ddi;
  std::unique_ptr<qdhost::NodeServer> server;
};

UnitNodeServer::UnitNodeServer(const std::string& dir) : impl_(std::make_unique<Impl>()) {
  g_addr = 0;
  g_refuse = 0;
  g_requests = 0;
  kemu::KernelOptions o;
  o.clock = kemu::ClockMode::kReal;
  impl_->kernel = std::make_unique<kemu::Kernel>(o);
  impl_->ddi = std::make_unique<kemu::Ddi>();
  const std::string conf = std::string("name=\"") + kDriver + "\" parent=\"pseudo\";";
  if (impl_->ddi->load_conf(kDriver, "vrnstub.conf", conf) ||
      impl_->ddi->load({kDriver, stub_init, stub_info_entry, stub_fini, nullptr}) != 0) {
    return;
  }
  for (kemu::Attach a : impl_->ddi->attach_all(kDriver)) {
    if (a != kemu::Attach::kAttached) {
      return;
    }
  }
  impl_->server = std::make_unique<qdhost::NodeServer>(*impl_->kernel, *impl_->ddi,
                                                       qdhost::NodeServerOptions{dir});
  ok_ = impl_->server->start() == 0;
}

UnitNodeServer::~UnitNodeServer() {
  if (impl_->server) {
    impl_->server->stop();
  }
  impl_->kernel->call([] { kemu::discard_all_streams(); });
  if (impl_->ddi->loaded(kDriver)) {
    impl_->ddi->unload(kDriver);
  }
  impl_->server.reset();
  impl_->ddi.reset();
  impl_->kernel.reset();
}

void UnitNodeServer::set_address(std::uint32_t addr_net) {
  g_addr = addr_net;
}

void UnitNodeServer::refuse_with(int error) {
  g_refuse = error;
}

int UnitNodeServer::requests() const {
  return g_requests.load();
}

} // namespace nettest
