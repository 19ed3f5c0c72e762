// The loaded-driver fixture and the probe stream.
#include "loaded_driver_fixture.h"

#include <array>
#include <cstring>
#include <sstream>

namespace loaded_test {

mblk_t* message(unsigned char type, const Bytes& bytes) {
  mblk_t* mp = allocb(bytes.empty() ? 1 : bytes.size(), BPRI_MED);
  mp->b_datap->db_type = type;
  if (!bytes.empty()) {
    std::memcpy(mp->b_wptr, bytes.data(), bytes.size());
    mp->b_wptr += bytes.size();
  }
  return mp;
}

mblk_t* ioctl_message(int cmd, const Bytes& arg) {
  mblk_t* mp = allocb(sizeof(iocblk), BPRI_MED);
  mp->b_datap->db_type = M_IOCTL;
  auto* io = reinterpret_cast<iocblk*>(mp->b_wptr);
  std::memset(io, 0, sizeof *io);
  io->ioc_cmd = cmd;
  io->ioc_cr = ddi_get_cred();
  io->ioc_count = static_cast<unsigned>(arg.size());
  mp->b_wptr += sizeof *io;
  if (!arg.empty()) {
    mp->b_cont = message(M_DATA, arg);
  }
  return mp;
}

mblk_t* iocdata_message(int cmd, bool failed) {
  mblk_t* mp = allocb(sizeof(copyresp), BPRI_MED);
  mp->b_datap->db_type = M_IOCDATA;
  auto* cp = reinterpret_cast<copyresp*>(mp->b_wptr);
  std::memset(cp, 0, sizeof *cp);
  cp->cp_cmd = cmd;
  cp->cp_cr = ddi_get_cred();
  cp->cp_rval = failed ? reinterpret_cast<caddr_t>(1) : nullptr;
  mp->b_wptr += sizeof *cp;
  return mp;
}

// ---- ProbeStream -------------------------------------------------------------------------

ProbeStream::ProbeStream() {
  head_rinit_.qi_putp = &ProbeStream::head_put;
  head_ = kemu::make_queue_pair(&head_rinit_, nullptr);
  drv_ = kemu::make_queue_pair(&rinit, &winit);
  kemu::link_pairs(*head_, *drv_);
  kemu::read_queue(*head_)->q_ptr = this;
}

queue_t* ProbeStream::rq() {
  return kemu::read_queue(*drv_);
}

queue_t* ProbeStream::wq() {
  return WR(rq());
}

int ProbeStream::open(minor_t minor, int oflag, int sflag, cred_t cred) {
  dev_ = makedevice(0, minor);
  return qdopen(rq(), &dev_, oflag, sflag, &cred);
}

void ProbeStream::close() {
  cred_t cred = kemu::Kernel::root_cred();
  qdclose(rq(), 0, &cred);
}

void ProbeStream::put(mblk_t* mp) {
  wq()->q_qinfo->qi_putp(wq(), mp);
}

std::vector<unsigned char> ProbeStream::types() const {
  std::vector<unsigned char> out;
  for (const Up& u : up) {
    out.push_back(u.type);
  }
  return out;
}

int ProbeStream::head_put(queue_t* q, mblk_t* mp) {
  Bytes bytes;
  for (mblk_t* b = mp; b != nullptr; b = b->b_cont) {
    bytes.insert(bytes.end(), b->b_rptr, b->b_wptr);
  }
  static_cast<ProbeStream*>(q->q_ptr)->up.push_back({mp->b_datap->db_type, std::move(bytes)});
  freemsg(mp);
  return 0;
}

// ---- LoadedDriverFixture -----------------------------------------------------------------

void LoadedDriverFixture::SetUp() {
  kemu::take_console();
  ddi_.emplace(tree());
  scsa_.emplace();
  topo_.emplace(kernel_, *scsa_);
}

void LoadedDriverFixture::TearDown() {
  if (kemu::streams_open_count() != 0) {
    ADD_FAILURE() << "the test left streams open";
    kemu::discard_all_streams();
    // The driver's records still name the queues just dropped.
    run([] {
      for (qd_unit* up : qd_units) {
        const int n = up == nullptr ? 0 : qdu_is_lanvara(up) ? QD_VRN_NLINES : up->qdu_info->nlines;
        for (int i = 0; i < n; ++i) {
          if (up->qd_lines[i] != nullptr) {
            up->qd_lines[i]->tty.t_readq = up->qd_lines[i]->tty.t_writeq = nullptr;
          }
        }
        if (up != nullptr && up->qdu_unitnode != nullptr) {
          up->qdu_unitnode->tty.t_readq = up->qdu_unitnode->tty.t_writeq = nullptr;
        }
      }
      if (qd_diag != nullptr) {
        qd_diag->tty.t_readq = qd_diag->tty.t_writeq = nullptr;
      }
    });
  }
  if (loaded()) {
    for (dev_info_t* dip : ddi_->nodes_of("qd")) {
      ddi_->set_prop(dip, "allow_unload", 1);
    }
    // The first attempt may only warn.
    int r = unload();
    if (r != 0) {
      r = unload();
    }
    EXPECT_EQ(r, 0) << ddi_->last_error();
  }
  EXPECT_TRUE(ddi_->minor_nodes().empty()) << "minor nodes left";
  topo_.reset();
  scsa_.reset();
  ddi_.reset();
  kernel_.shutdown();
  EXPECT_EQ(kernel_.kmem_outstanding_count(), 0u) << "kernel memory left";
  EXPECT_EQ(kemu::streams_outstanding_blocks(), 0u) << "message blocks left";
  for (const kemu::Report& r : kernel_.take_reports()) {
    ADD_FAILURE() << "kernel report: " << r.what;
  }
}

std::vector<kemu::Attach> LoadedDriverFixture::load(std::string_view globals, bool pseudo) {
  std::string conf(globals);
  if (pseudo) {
    conf += kPseudoEntry;
  }
  conf += topo_->conf_nodes();
  if (auto err = ddi_->load_conf("qd", "qd.conf", conf)) {
    ADD_FAILURE() << err->text();
    return {};
  }
  scsa_->configure();
  const int r = ddi_->load(qd_module_image());
  EXPECT_EQ(r, 0) << ddi_->last_error();
  return r == 0 ? ddi_->attach_all("qd") : std::vector<kemu::Attach>{};
}

void LoadedDriverFixture::run(const std::function<void()>& fn, const cred_t& cred) {
  EXPECT_TRUE(kernel_.call(fn, kemu::Wait::kJump, cred)) << "the kernel could not complete";
}

int LoadedDriverFixture::open(std::string_view name, kemu::StreamFile& f, int flags,
                              const cred_t& cred) {
  int r = -1;
  run([&] { r = kemu::open_device(name, flags, nullptr, f); }, cred);
  return r;
}

int LoadedDriverFixture::close(kemu::StreamFile& f) {
  int r = -1;
  run([&] { r = f.close(); });
  return r;
}

kemu::IoResult LoadedDriverFixture::write(kemu::StreamFile& f, std::string_view text) {
  kemu::IoResult r;
  run([&] { r = f.write(text); });
  return r;
}

std::string LoadedDriverFixture::read(kemu::StreamFile& f, std::size_t n, clock_t limit) {
  std::string out;
  const clock_t start = kernel_.lbolt();
  while (out.size() < n && kernel_.lbolt() - start <= limit) {
    std::array<std::byte, 256> buf{};
    kemu::IoResult r;
    run([&] { r = f.read(buf); });
    if (r.value > 0) {
      out.append(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(r.value));
    } else {
      kernel_.advance(1);
    }
  }
  return out;
}

dev_info_t* LoadedDriverFixture::child(int adapter, int target) {
  for (dev_info_t* dip : ddi_->nodes_of("qd")) {
    const scsi_device* devp = scsa_->device_of(dip);
    if (devp != nullptr && devp->sd_address.a_target == target &&
        ddi_->adapter_of(dip) == scsa_->adapter(adapter).dip()) {
      return dip;
    }
  }
  ADD_FAILURE() << "no child at " << adapter << "/" << target;
  return nullptr;
}

minor_t LoadedDriverFixture::minor_of(std::string_view name) const {
  const auto node = ddi_->find_minor(name);
  EXPECT_TRUE(node.has_value()) << "no node " << name;
  return node ? getminor(node->dev) : 0;
}

std::vector<std::string> LoadedDriverFixture::node_names() const {
  std::vector<std::string> out;
  for (const kemu::MinorNode& m : ddi_->minor_nodes()) {
    out.push_back(m.name);
  }
  return out;
}

qd_line* LoadedDriverFixture::line_of(std::string_view name) const {
  const minor_t m = minor_of(name);
  qd_unit* up = (m & QD_MINOR_LANVARA) != 0 ? vrn_unit((m >> 8) & 0xff)
                                            : scsi_unit((m >> 12) & 0xf, (m >> 8) & 0xf);
  return up != nullptr ? up->qd_lines[m & 0xff] : nullptr;
}

std::string LoadedDriverFixture::console() {
  std::string out;
  std::istringstream in(kemu::take_console());
  for (std::string line; std::getline(in, line);) {
    if (line.find("trcbuf at ") == std::string::npos) {
      out += line + "\n";
    }
  }
  return out;
}

} // namespace loaded_test
