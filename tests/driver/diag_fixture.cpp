// The diagnostic fixture's hardware, units, stand-in entry points and requests.
#include "diag_fixture.h"

#include <cerrno>
#include <cstring>

#include "kemu/streams.h"
#include "ksys/stream.h"

namespace diag_test {

namespace {

constexpr major_t kMajor = 99;

qd_line* line_of(queue_t* q) {
  return static_cast<qd_line*>(q->q_ptr);
}

// ---- Stand-in entry points: what the driver's own do for these nodes ----------------------

qd_line* open_diag_line() {
  if (qd_diag == nullptr) {
    auto* lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    if (lp == nullptr) {
      return nullptr;
    }
    cv_init(&lp->qd_cv, "qd_diag_cv", CV_DRIVER, nullptr);
    mutex_init(&qd_diag_mutex, "qd_diag_mutex", MUTEX_DRIVER, nullptr);
    lp->unit_mutex = &qd_diag_mutex;
    qd_diag = lp;
  }
  qd_line* lp = qd_diag;
  lp->fas_log_ptr = &lp->fas_log[0][0];
  lp->unit = &global_unit;
  global_unit.qdu_target = QD_GLOBAL_TARGET;
  lp->output = qdf_drain_output;
  lp->qdl_flags |= QDL_DIAG;
  return lp;
}

qd_line* open_unit_node(qd_unit* up) {
  if (up->qdu_unitnode == nullptr) {
    auto* lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    if (lp == nullptr) {
      return nullptr;
    }
    up->qdu_unitnode = lp;
  }
  qd_line* lp = up->qdu_unitnode;
  lp->unit = up;
  lp->line_num = QD_UNITNODE_LINE;
  lp->unit_mutex = &up->unit_mutex;
  lp->qdl_flags |= QDL_UNITNODE;
  return lp;
}

int stub_open(queue_t* rq, dev_t* devp, int, int, cred_t*) {
  const minor_t minor = getminor(*devp);
  qd_line* lp = nullptr;
  if (qd_minor_kind(minor) == qd_node_kind::diag) {
    lp = open_diag_line();
  } else {
    qd_unit* up = qdm_findunit(minor);
    if (up == nullptr) {
      return ENODEV;
    }
    if (qd_minor_kind(minor) == qd_node_kind::unitnode) {
      lp = open_unit_node(up);
    } else if ((minor & 0xff) < static_cast<minor_t>(up->qdu_info->nlines)) {
      lp = up->qd_lines[minor & 0xff]; // made by the test
    }
  }
  if (lp == nullptr) {
    return ENXIO;
  }
  mutex_enter(lp->unit_mutex);
  lp->tty.t_readq = rq;
  lp->tty.t_writeq = WR(rq);
  rq->q_ptr = lp;
  WR(rq)->q_ptr = lp;
  lp->qdl_minor = minor;
  mutex_exit(lp->unit_mutex);
  qprocson(rq);
  return 0;
}

int stub_close(queue_t* rq, int, cred_t*) {
  qd_line* lp = line_of(rq);
  if ((lp->qdl_flags & QDL_DIAG) != 0) {
    // The diagnostic record keeps its write queue: only the read queue says it is open.
    qprocsoff(rq);
    rq->q_ptr = nullptr;
    WR(rq)->q_ptr = nullptr;
    lp->tty.t_readq = nullptr;
    return 0;
  }
  mutex_enter(lp->unit_mutex);
  if ((lp->qdl_flags & QDL_UNITNODE) == 0) {
    qdf_utility_cleanup(lp);
  }
  mutex_exit(lp->unit_mutex);
  qprocsoff(rq);
  mutex_enter(lp->unit_mutex);
  lp->tty.t_readq = nullptr;
  lp->tty.t_writeq = nullptr;
  rq->q_ptr = nullptr;
  WR(rq)->q_ptr = nullptr;
  if ((lp->qdl_flags & QDL_UNITNODE) != 0 && (lp->unit->qdu_flags & QDU_OFFLINE) == 0) {
    qdm_unit_offline(lp->unit);
  }
  mutex_exit(lp->unit_mutex);
  return 0;
}

int stub_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

int stub_wput(queue_t* q, mblk_t* mp) {
  switch (mp->b_datap->db_type) {
  case M_IOCTL:
    qdf_schedule_ioctl(q, mp);
    return 0;
  case M_IOCDATA:
    if (qdf_transparent(q, mp) != 0) {
      qdf_schedule_ioctl(q, mp);
    }
    return 0;
  case M_FLUSH:
    if ((*mp->b_rptr & FLUSHR) != 0) {
      *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
      flushq(RD(q), FLUSHDATA);
      qreply(q, mp);
      return 0;
    }
    break;
  default:
    break;
  }
  freemsg(mp);
  return 0;
}

module_info g_minfo{0, "qd", 0, INFPSZ, 512, 128};
qinit g_rinit{stub_rput, nullptr, stub_open, stub_close, nullptr, &g_minfo, nullptr};
qinit g_winit{stub_wput, nullptr, nullptr, nullptr, nullptr, &g_minfo, nullptr};
streamtab g_tab{&g_rinit, &g_winit, nullptr, nullptr};

} // namespace

// ---- HandleMemory --------------------------------------------------------------------------

std::uint32_t HandleMemory::map(std::span<std::uint8_t> buf) {
  const std::uint32_t h = next_;
  bufs_[h] = buf;
  next_ += static_cast<std::uint32_t>((buf.size() + 0xfff) & ~std::size_t{0xfff}) + 0x1000;
  return h;
}

std::uint8_t* HandleMemory::find(std::uintptr_t uaddr, std::size_t n) {
  auto it = bufs_.upper_bound(static_cast<std::uint32_t>(uaddr));
  if (uaddr > 0xffffffffu || it == bufs_.begin()) {
    return nullptr;
  }
  --it;
  const std::uintptr_t off = uaddr - it->first;
  if (off > it->second.size() || n > it->second.size() - off) {
    return nullptr;
  }
  return it->second.data() + off;
}

int HandleMemory::copyin(std::uintptr_t uaddr, void* dst, std::size_t n) {
  if (n == 0) {
    return 0; // a request without a record
  }
  if (uaddr < 0x100000000u) {
    std::uint8_t* p = find(uaddr, n);
    if (p == nullptr) {
      return EFAULT;
    }
    std::memcpy(dst, p, n);
    return 0;
  }
  return kemu::in_process_memory().copyin(uaddr, dst, n);
}

int HandleMemory::copyout(const void* src, std::uintptr_t uaddr, std::size_t n) {
  if (n == 0) {
    return 0;
  }
  if (uaddr < 0x100000000u) {
    std::uint8_t* p = find(uaddr, n);
    if (p == nullptr) {
      return EFAULT;
    }
    std::memcpy(p, src, n);
    return 0;
  }
  return kemu::in_process_memory().copyout(src, uaddr, n);
}

// ---- DiagFixture ---------------------------------------------------------------------------

void DiagFixture::SetUp() {
  DriverFixture::SetUp();
  kemu::clear_streams_faults();
  blocks_at_start_ = kemu::streams_outstanding_blocks();
  ddi_ = std::make_unique<kemu::Ddi>();
  scsa_ = std::make_unique<kemu::Scsa>();
  topo_ = std::make_unique<qdemu::ScsiTopology>(kernel_, *scsa_);
  run([] {
    qdm_init_driver(nullptr); // "scsi_ioctl", "qd_lbolt" and the timer
    qd_trace_drv("test\n");
  });
  console();
}

void DiagFixture::TearDown() {
  run([] { qd_going_down = 1; });
  kernel_.run_until([] { return qd_timer_running == 0; });
  for (auto& f : files_) {
    if (f->is_open()) {
      run([&] { f->close(); });
    }
  }
  files_.clear();
  run([] {
    for (qd_unit* up : qd_units) {
      if (up == nullptr) {
        continue;
      }
      mutex_enter(&up->intr_mutex);
      mutex_enter(&up->unit_mutex);
      qdm_lock_cancel(up);
      // Units stop sending; what they still have outstanding completes into the void.
      qdm_unit_offline(up);
      mutex_exit(&up->unit_mutex);
      mutex_exit(&up->intr_mutex);
    }
    qdm_scsi_ioctl_release();
  });
  kernel_.advance(hz);
  run([] {
    for (qd_unit* up : qd_units) {
      if (up == nullptr) {
        continue;
      }
      for (scsi_pkt* p : {up->qdu_sendpkt, up->qdu_recvpkt}) {
        if (p != nullptr) {
          scsi_destroy_pkt(p);
        }
      }
      for (buf* b : {up->qdu_sendbp, up->qdu_recvbp}) {
        if (b != nullptr) {
          freerbuf(b);
        }
      }
    }
  });
  kernel_.settle();
  kemu::discard_all_streams();
  kemu::clear_streams_faults();
  kernel_.clear_kmem_faults();
  EXPECT_EQ(kemu::streams_outstanding_blocks(), blocks_at_start_) << "messages leaked";
  DriverFixture::TearDown();
  topo_.reset();
  scsa_.reset();
  ddi_.reset();
}

std::string DiagFixture::console() {
  const std::string all = DriverFixture::console();
  std::string kept;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    end = end == std::string::npos ? all.size() : end + 1;
    const std::string_view line(all.data() + start, end - start);
    if (!line.starts_with("NOTICE: qd_trcbuf at ") && !line.starts_with("NOTICE: itrcbuf at ")) {
      kept.append(line);
    }
    start = end;
  }
  return kept;
}

qd_unit* DiagFixture::scsi_unit(int target, const char* model) {
  topo_->add_qmx(kAdapter, target, qdemu::QmxSpec{{.model = model}});
  qd_unit* up = nullptr;
  run([&] {
    up = make_unit(model, kAdapter, target);
    up->qdu_devp = scsa_->adapter(kAdapter).device(target, 0);
    up->qdu_devp->sd_private = reinterpret_cast<caddr_t>(up);
    up->qdu_statuslen =
        scsi_ifsetcap(&up->qdu_devp->sd_address, "auto-rqsense", 1, 1) == 1 ? 32 : 1;
    qd_devs[kAdapter * 16 + target] = up->qdu_devp;
  });
  qd_bus_cnt = 1;
  return up;
}

qd_unit* DiagFixture::running_unit(int target, const char* model) {
  qd_unit* up = scsi_unit(target, model);
  int r = -1;
  locked(up, [&] { r = qdm_init_unit(up); });
  EXPECT_EQ(r, 0);
  kernel_.settle();
  console();
  return up;
}

qd_unit* DiagFixture::lanvara_unit(int n, const char* model) {
  qd_unit* up = nullptr;
  run([&] {
    up = make_unit(model, 0, n);
    up->qdu_flags &= ~QDU_ATTACHED;
  });
  return up;
}

qd_line* DiagFixture::enabled_line(qd_unit* up, unsigned port) {
  qd_line* lp = nullptr;
  locked(up, [&] {
    lp = make_line(up, port);
    lp->qdl_flags = QDL_ENABLED | QDL_INITDEINIT | QDL_CARRIER;
    lp->output = qdf_serial_output;
    ++up->qdu_enabled_lines;
  });
  return lp;
}

void DiagFixture::locked(qd_unit* up, const std::function<void()>& fn) {
  as(kemu::Kernel::root_cred(), [&] {
    mutex_enter(&up->unit_mutex);
    fn();
    mutex_exit(&up->unit_mutex);
  });
}

minor_t DiagFixture::port_minor(const qd_unit* up, unsigned port) {
  if ((up->qdu_flags & QDU_LANVARA) != 0) {
    return QD_MINOR_LANVARA | static_cast<minor_t>(up->qdu_target) << 8 | port;
  }
  return static_cast<minor_t>(up->qdu_bus) << 12 | static_cast<minor_t>(up->qdu_target) << 8 | port;
}

minor_t DiagFixture::unit_node_minor(const qd_unit* up) {
  return port_minor(up, 0xff);
}

kemu::StreamFile& DiagFixture::open(minor_t minor) {
  auto& f = *files_.emplace_back(std::make_unique<kemu::StreamFile>());
  int r = -1;
  as(kemu::Kernel::root_cred(),
     [&] { r = kemu::stream_open(&g_tab, makedevice(kMajor, minor), FREAD | FWRITE, nullptr, f); });
  EXPECT_EQ(r, 0) << "open of minor " << std::hex << minor;
  return f;
}

void DiagFixture::close(kemu::StreamFile& f) {
  as(kemu::Kernel::root_cred(), [&] { EXPECT_EQ(f.close(), 0); });
}

kemu::IoResult DiagFixture::istr(kemu::StreamFile& f, std::uint32_t cmd, void* rec, int len,
                                 int timeout, const cred_t& cred) {
  kemu::IoResult r;
  as(cred, [&] {
    strioctl sio{qd_ioc(cmd), timeout, len, static_cast<char*>(rec)};
    r = f.ioctl(I_STR, &sio);
  });
  return r;
}

kemu::IoResult DiagFixture::plain(kemu::StreamFile& f, std::uint32_t cmd, std::intptr_t arg,
                                  const cred_t& cred) {
  kemu::IoResult r;
  as(cred, [&] { r = f.ioctl(qd_ioc(cmd), arg); });
  return r;
}

void DiagFixture::as(const cred_t& cred, const std::function<void()>& fn) {
  if (kernel_.context_kind() != kemu::ContextKind::kNone) {
    kemu::UserMemoryScope scope(umem_);
    fn();
    return;
  }
  EXPECT_TRUE(kernel_.call(
      [&] {
        kemu::UserMemoryScope scope(umem_);
        fn();
      },
      kemu::Wait::kJump, cred));
}

} // namespace diag_test
