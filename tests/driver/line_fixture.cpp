// The line fixture's unit, lines and stand-in driver.
#include "line_fixture.h"

#include <algorithm>
#include <cstring>

#include "ksys/termios.h"
#include "qd_entry.h"

namespace lineio_test {

namespace {

qd_line* line_of_minor(minor_t minor) {
  qd_unit* up = qd_units[QD_VRN_BASE + ((minor >> 8) & 0xff)];
  return up != nullptr ? up->qd_lines[minor & 0xff] : nullptr;
}

qd_line* line_of(queue_t* q) {
  return static_cast<qd_line*>(q->q_ptr);
}

// ---- The stand-in open and close: what qdopen and qdclose do for a port node ----

int toy_open(queue_t* rq, dev_t* devp, int, int, cred_t*) {
  qd_line* lp = line_of_minor(getminor(*devp));
  if (lp == nullptr) {
    return ENXIO;
  }
  mutex_enter(lp->unit_mutex);
  lp->tty.t_readq = rq;
  lp->tty.t_writeq = WR(rq);
  rq->q_ptr = lp;
  WR(rq)->q_ptr = lp;
  lp->qdl_minor = getminor(*devp);
  lp->qdl_flags |= QDL_DIALIN_OPEN;
  mutex_exit(lp->unit_mutex);
  qprocson(rq);
  return 0;
}

int toy_close(queue_t* rq, int, cred_t*) {
  qd_line* lp = line_of(rq);
  mutex_enter(lp->unit_mutex);
  qdf_utility_cleanup(lp);
  mutex_exit(lp->unit_mutex);
  qprocsoff(rq);
  mutex_enter(&lp->unit->intr_mutex);
  mutex_enter(lp->unit_mutex);
  ttycommon_close(&lp->tty);
  lp->qdl_flags &= ~QDL_DIALIN_OPEN;
  rq->q_ptr = nullptr;
  WR(rq)->q_ptr = nullptr;
  mutex_exit(lp->unit_mutex);
  mutex_exit(&lp->unit->intr_mutex);
  return 0;
}

int toy_rput(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

module_info g_minfo{0, "qd", 0, INFPSZ, 512, 128};
qinit g_rinit{toy_rput, qdrsrv, toy_open, toy_close, nullptr, &g_minfo, nullptr};
qinit g_winit{qdwput, nullptr, nullptr, nullptr, nullptr, &g_minfo, nullptr};
streamtab g_tab{&g_rinit, &g_winit, nullptr, nullptr};

int max_send_of(const qd_unitinfo* info) {
  switch (info->code & QDM_CODE_SPEED) {
  case 13:
    return 574;
  case 15:
    return 1150;
  case 34:
    return 2302;
  default:
    return 4606;
  }
}

} // namespace

int park_ioctl(mblk_t* mp, qd_line* lp, mblk_t* qd_line::*slot) {
  if (lp->getmdm != nullptr || lp->setmdm != nullptr || lp->termio_mesg != nullptr) {
    return QD_IOC_REQUEUE;
  }
  qdf_make_ioctl_ack(mp);
  lp->*slot = mp;
  lp->ioctl_tid = timeout(qdf_utility_ioctl_timeout, lp, 60L * hz);
  return QD_IOC_HELD;
}

Bytes fas_answer(unsigned char op, unsigned char line, unsigned char status,
                 std::string_view data) {
  Bytes a(8 + data.size(), 0);
  a[0] = op;
  a[1] = line;
  a[2] = status;
  fas_put16(&a[4], static_cast<unsigned>(data.size()));
  std::copy(data.begin(), data.end(), a.begin() + 8);
  return a;
}

void LineFixture::SetUp() {
  DriverFixture::SetUp();
  kemu::clear_streams_faults();
  blocks_at_start_ = kemu::streams_outstanding_blocks();
  run([&] {
    up_ = make_unit(kModel, -1, kUnitNumber);
    // Online as VRNONLINE leaves it; the unit node stays closed.
    up_->qdu_flags &= ~QDU_OFFLINE;
    up_->qdu_flags |= QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE;
    up_->qdu_poll_time = qd_systime;
    up_->qdu_max_send = max_send_of(up_->qdu_info);
  });
}

void LineFixture::TearDown() {
  for (auto& p : ports_) {
    if (p->file.is_open()) {
      in_kernel([&] { p->file.close(); });
    }
  }
  ports_.clear();
  // No callout may outlive the records it points at.
  run([&] {
    for (int i = 0; i < up_->qdu_info->nlines; ++i) {
      if (qd_line* lp = up_->qd_lines[i]) {
        mutex_enter(lp->unit_mutex);
        qdf_cancel_restart_input(lp);
        qdf_cancel_drain_timer(lp);
        qdf_utility_cleanup(lp);
        mutex_exit(lp->unit_mutex);
      }
    }
    const HeldLock held(&up_->unit_mutex);
    qdm_freechain(up_);
  });
  kernel_.settle();
  kemu::discard_all_streams();
  kemu::clear_streams_faults();
  kernel_.clear_kmem_faults();
  EXPECT_EQ(kemu::streams_outstanding_blocks(), blocks_at_start_) << "messages leaked";
  DriverFixture::TearDown();
}

std::string LineFixture::console() {
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

void LineFixture::in_kernel(const std::function<void()>& fn) {
  if (kernel_.context_kind() == kemu::ContextKind::kNone) {
    run(fn);
  } else {
    fn();
  }
}

void LineFixture::locked(const std::function<void()>& fn) {
  in_kernel([&] {
    mutex_enter(&up_->unit_mutex);
    fn();
    mutex_exit(&up_->unit_mutex);
  });
  kernel_.settle();
}

minor_t LineFixture::minor_of(unsigned port) const {
  return QD_MINOR_LANVARA | (static_cast<minor_t>(kUnitNumber) << 8) | port;
}

qd_line* LineFixture::open_port(unsigned port, int speed, tcflag_t iflag) {
  qd_line* lp = nullptr;
  in_kernel([&] {
    lp = make_line(up_, port);
    mutex_enter(lp->unit_mutex);
    // As a successful enable and open leave it.
    lp->qdl_flags = QDL_INITDEINIT | QDL_ENABLED | QDL_CARRIER;
    const bool parallel = qd_port_is_parallel(qdf_port_type(up_->qdu_info, port));
    if (parallel) {
      lp->qdl_flags |= QDL_PARALLEL | QDL_LOCAL;
      lp->parq = static_cast<qd_parq*>(qd_malloc(sizeof(qd_parq)));
      lp->parq->wptr = lp->parq->rptr = lp->parq->data;
      lp->parq->endptr = lp->parq->data + QD_PARQ_SIZE;
      lp->cltmr = lp->lcltmr = lp->louttmr = lp->outtmr = 0;
      lp->output = qdf_parallel_output;
    } else {
      lp->output = qdf_serial_output;
    }
    lp->speed = speed;
    lp->tty.t_iflag = iflag;
    lp->tty.t_cflag = CS8 | CREAD | B9600;
    ++up_->qdu_enabled_lines;
    qd_set_curr_size_fassend(lp);
    mutex_exit(lp->unit_mutex);
  });
  open_stream(port, minor_of(port));
  return lp;
}

void LineFixture::open_dialout(unsigned port) {
  open_stream(kDialOut + port, minor_of(port) | QD_MINOR_DIALOUT);
}

void LineFixture::open_stream(unsigned key, minor_t minor) {
  auto p = std::make_unique<Port>();
  p->port = key;
  in_kernel([&] {
    EXPECT_EQ(kemu::stream_open(&g_tab, makedevice(kMajor, minor), FREAD | FWRITE | FNDELAY,
                                nullptr, p->file),
              0);
  });
  ports_.push_back(std::move(p));
}

kemu::StreamFile& LineFixture::file(unsigned port) {
  for (auto& p : ports_) {
    if (p->port == port) {
      return p->file;
    }
  }
  ADD_FAILURE() << "port " << port << " is not open";
  return ports_.front()->file;
}

void LineFixture::close_port(unsigned port) {
  in_kernel([&] { EXPECT_EQ(file(port).close(), 0); });
}

std::vector<qd_pkt*> LineFixture::exhaust_pool() {
  std::vector<qd_pkt*> held;
  in_kernel([&] {
    while (qd_pkts.qd_pkt_free != nullptr) {
      held.push_back(qdm_getpkt(QD_PKT_DATA));
    }
  });
  kernel_.fail_kmem_after(0);
  return held;
}

void LineFixture::refill_pool(std::vector<qd_pkt*>& held) {
  kernel_.clear_kmem_faults();
  in_kernel([&] {
    for (qd_pkt* p : held) {
      qdm_freepkt(p);
    }
  });
  held.clear();
}

std::vector<FasCmd> LineFixture::take_commands() {
  std::vector<FasCmd> cmds;
  in_kernel([&] {
    mutex_enter(&up_->unit_mutex);
    for (qd_pkt* pkt = up_->pkt_head; pkt != nullptr; pkt = pkt->next) {
      const unsigned char* p = pkt->data;
      while (p < pkt->qd_wptr) {
        const int n = size_faspkt(p, 0);
        EXPECT_LE(p + n, pkt->qd_wptr) << "a command straddles the end of its packet";
        cmds.push_back(FasCmd{Bytes(p, std::min<const unsigned char*>(p + n, pkt->qd_wptr))});
        p += n;
      }
    }
    qdm_freechain(up_);
    mutex_exit(&up_->unit_mutex);
  });
  return cmds;
}

std::vector<FasCmd> LineFixture::take_commands(unsigned char op) {
  std::vector<FasCmd> all = take_commands();
  std::erase_if(all, [op](const FasCmd& c) { return c.op() != op; });
  return all;
}

void LineFixture::answer(const Bytes& bytes) {
  locked([&] { answer_locked(bytes); });
}

void LineFixture::answer_locked(const Bytes& bytes) {
  qd_pkt* r = up_->qdu_rcvpkt;
  ASSERT_LE(static_cast<int>(bytes.size()), r->space_remaining);
  std::copy(bytes.begin(), bytes.end(), r->qd_wptr);
  r->qd_wptr += bytes.size();
  r->space_remaining -= static_cast<int>(bytes.size());
  qdf_procrecv(up_);
  if (r->qd_rptr == r->qd_wptr) {
    qdm_vrn_resetrcvpkt(r);
  }
}

void LineFixture::answer(std::initializer_list<Bytes> answers) {
  Bytes all;
  for (const Bytes& a : answers) {
    all.insert(all.end(), a.begin(), a.end());
  }
  answer(all);
}

std::string LineFixture::pump_sends(int rounds) {
  std::string sent;
  for (int i = 0; i < rounds; ++i) {
    std::vector<FasCmd> sends = take_commands(FAS_SEND);
    if (sends.empty()) {
      break;
    }
    for (const FasCmd& c : sends) {
      sent += c.data();
      answer(fas_answer(FAS_SEND, c.line()));
    }
  }
  return sent;
}

kemu::IoResult LineFixture::write(unsigned port, std::string_view data) {
  kemu::IoResult r;
  in_kernel([&] { r = file(port).write(data); });
  kernel_.settle();
  return r;
}

std::string LineFixture::read_all(unsigned port) {
  kernel_.settle();
  std::string out;
  for (;;) {
    std::string buf(8192, '\0');
    kemu::IoResult r;
    in_kernel([&] { r = file(port).read(std::as_writable_bytes(std::span(buf))); });
    kernel_.settle();
    if (!r.ok() || r.value <= 0) {
      break;
    }
    out.append(buf, 0, static_cast<std::size_t>(r.value));
  }
  return out;
}

kemu::IoResult LineFixture::ioctl(unsigned port, int cmd, std::intptr_t arg) {
  kemu::IoResult r;
  in_kernel([&] { r = file(port).ioctl(cmd, arg); });
  kernel_.settle();
  return r;
}

} // namespace lineio_test
