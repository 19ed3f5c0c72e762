// Ioctl messages handed to the driver directly: dispatch by node kind, transparent forms,
// the M_IOCDATA step of the copy exchange, copy requests, and the trace names.
#include <cerrno>
#include <cstring>
#include <vector>

#include "kemu/streams.h"
#include "line_fixture.h"
#include "qdio.h"

namespace lineio_test {
namespace {

// A driver queue pair below a head that keeps every message sent up.
class Catcher {
public:
  explicit Catcher(qd_line* lp) {
    head_rinit_.qi_putp = &Catcher::head_put;
    head_ = kemu::make_queue_pair(&head_rinit_, nullptr);
    drv_ = kemu::make_queue_pair(nullptr, nullptr);
    kemu::link_pairs(*head_, *drv_);
    kemu::read_queue(*head_)->q_ptr = this;
    wq()->q_ptr = lp;
    kemu::read_queue(*drv_)->q_ptr = lp;
  }
  ~Catcher() {
    for (mblk_t* mp : replies) {
      freemsg(mp);
    }
  }
  queue_t* wq() { return WR(kemu::read_queue(*drv_)); }
  mblk_t* last() const { return replies.empty() ? nullptr : replies.back(); }

  std::vector<mblk_t*> replies;

private:
  static int head_put(queue_t* q, mblk_t* mp) {
    static_cast<Catcher*>(q->q_ptr)->replies.push_back(mp);
    return 0;
  }
  qinit head_rinit_{};
  kemu::QueuePairPtr head_;
  kemu::QueuePairPtr drv_;
};

cred_t g_root{0, 0, 0, 0};

// A message as the stream head builds it: room for any of the three records, the data
// (the caller's argument of a transparent ioctl) in b_cont.
mblk_t* message(unsigned char type, int cmd, unsigned count, const void* data, std::size_t n) {
  mblk_t* mp = allocb(sizeof(copyresp), BPRI_MED);
  std::memset(mp->b_rptr, 0, sizeof(copyresp));
  mp->b_datap->db_type = type;
  auto* io = reinterpret_cast<iocblk*>(mp->b_rptr);
  io->ioc_cmd = cmd;
  io->ioc_cr = &g_root;
  io->ioc_id = 7;
  io->ioc_count = count;
  mp->b_wptr += type == M_IOCDATA ? sizeof(copyresp) : sizeof(iocblk);
  if (data != nullptr) {
    mp->b_cont = allocb(n, BPRI_MED);
    std::memcpy(mp->b_cont->b_wptr, data, n);
    mp->b_cont->b_wptr += n;
  }
  return mp;
}

const iocblk* ioc(const mblk_t* mp) {
  return reinterpret_cast<const iocblk*>(mp->b_rptr);
}

class IoctlDispatch : public LineFixture {
protected:
  void SetUp() override {
    LineFixture::SetUp();
    run([&] {
      port_ = make_line(up_, 0);
      port_->qdl_flags = QDL_ENABLED; // QDL_OFFLINE cleared: as an enable leaves it
      diag_ = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
      diag_->qdl_flags = QDL_DIAG;
      diag_->unit = &global_unit;
      diag_->unit_mutex = &qd_diag_mutex;
      diag_->line_num = QD_UNITNODE_LINE;
      unitnode_ = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
      unitnode_->qdl_flags = QDL_UNITNODE | QDL_OFFLINE; // the unit went offline
      unitnode_->unit = up_;
      unitnode_->unit_mutex = &up_->unit_mutex;
      unitnode_->line_num = QD_UNITNODE_LINE;
    });
  }

  // Schedules an M_IOCTL on the line; the reply, or null when none came.
  const mblk_t* schedule(Catcher& c, int cmd, const void* data = nullptr, std::size_t n = 0,
                         unsigned count = 0) {
    const std::size_t before = c.replies.size();
    run([&] { qdf_schedule_ioctl(c.wq(), message(M_IOCTL, cmd, count, data, n)); });
    kernel_.settle();
    return c.replies.size() > before ? c.last() : nullptr;
  }

  qd_line* port_ = nullptr;
  qd_line* diag_ = nullptr;
  qd_line* unitnode_ = nullptr;
};

// Each node kind refuses the codes of the others: the diagnostic and unit nodes with
// ENXIO, ports with EINVAL. A unit node is served while its unit is offline. (Their own
// codes go to their handlers, whose tests cover them.)
TEST_F(IoctlDispatch, ByNodeKind) {
  struct Case {
    const char* node;
    int cmd;
    int error;
  };
  const Case cases[] = {
      {"diag", qd_ioc(VRNONLINE), ENXIO},        {"diag", TCGETS, ENXIO},
      {"diag", qd_ioc(QMXGETEXTCTL), ENXIO},     {"diag", qd_ioc(STGET), ENXIO},
      {"unitnode", qd_ioc(QMXLOCK), ENXIO},      {"unitnode", TIOCMGET, ENXIO},
      {"unitnode", qd_ioc(QMXSETEXTCTL), ENXIO}, {"port", qd_ioc(VRNONLINE), EINVAL},
      {"port", qd_ioc(QMXSCSI), EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.node << " " << qdf_ioctl_name(c.cmd));
    qd_line* lp = std::strcmp(c.node, "diag") == 0       ? diag_
                  : std::strcmp(c.node, "unitnode") == 0 ? unitnode_
                                                         : port_;
    Catcher catcher(lp);
    const mblk_t* reply = schedule(catcher, c.cmd);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->b_datap->db_type, M_IOCNAK);
    EXPECT_EQ(ioc(reply)->ioc_error, c.error);
    EXPECT_EQ(ioc(reply)->ioc_rval, -1);
    EXPECT_EQ(ioc(reply)->ioc_count, 0u);
  }
}

// The transparent form of a tty common ioctl carries an address, not the record: refused
// without reading it as one.
TEST_F(IoctlDispatch, TransparentTtyCommonRecord) {
  Catcher catcher(port_);
  for (int cmd : {TCSETS, TCSETAW, TCGETS}) {
    SCOPED_TRACE(qdf_ioctl_name(cmd));
    const std::intptr_t uaddr = 0x1000;
    mblk_t* mp = nullptr;
    run([&] {
      mp = message(M_IOCTL, cmd, TRANSPARENT, &uaddr, sizeof uaddr);
      qdf_schedule_ioctl(catcher.wq(), mp);
    });
    kernel_.settle();
    ASSERT_EQ(catcher.last(), mp);
    EXPECT_EQ(mp->b_datap->db_type, M_IOCNAK);
    EXPECT_EQ(ioc(mp)->ioc_error, EINVAL);
  }
  EXPECT_EQ(port_->tty.t_cflag, 0u);
}

// A transparent TCSBRK carries the value itself.
TEST_F(IoctlDispatch, TransparentBreak) {
  Catcher catcher(port_);
  for (std::intptr_t arg : {0, 1}) {
    SCOPED_TRACE(arg);
    locked([&] { port_->qdl_flags &= ~(QDL_SEND_OUT | QDL_OUTPUT_ACTIVE); }); // answered
    const mblk_t* reply = schedule(catcher, TCSBRK, &arg, sizeof arg, TRANSPARENT);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->b_datap->db_type, M_IOCACK);
    EXPECT_EQ(ioc(reply)->ioc_count, 0u);
    EXPECT_EQ(take_commands(FAS_SEND_BREAK).size(), arg == 0 ? 1u : 0u);
  }
}

// The M_IOCDATA step: completion by code, refusals, and the message handed back for a
// copy-in.
TEST_F(IoctlDispatch, CopyResponses) {
  struct Case {
    int cmd;
    bool failed; // cp_rval
    std::size_t copied;
    int result;
    unsigned char type;
    int error;
    unsigned count;
  };
  const Case cases[] = {
      {TIOCMGET, false, 0, 0, M_IOCACK, 0, 0},
      {QD_TIOCMGET_SIZED, false, 0, 0, M_IOCACK, 0, 0},
      {qd_ioc(QMXGETEXTCTL), false, 0, 0, M_IOCACK, 0, 0},
      {qd_ioc(VRNGETUPTR), false, 0, 0, M_IOCACK, 0, 0},
      {TIOCMSET, false, 4, 1, M_IOCTL, 0, 4},
      {TIOCMBIS, false, 4, 1, M_IOCTL, 0, 4},
      {TIOCMBIC, false, 4, 1, M_IOCTL, 0, 4},
      {QD_TIOCMSET_SIZED, false, 4, 1, M_IOCTL, 0, 4},
      {qd_ioc(QMXSETEXTCTL), false, 68, 1, M_IOCTL, 0, 68},
      {qd_ioc(VRNSETUPTR), false, 28, 1, M_IOCTL, 0, 28},
      {TIOCMSET, true, 0, 0, M_IOCNAK, EINVAL, 0},
      {TIOCMGET, true, 0, 0, M_IOCNAK, EINVAL, 0},
      {TCGETS, false, 0, 0, M_IOCNAK, EINVAL, 0},
      {qd_ioc(QMXLOCK), false, 4, 0, M_IOCNAK, EINVAL, 0},
  };
  Catcher catcher(port_);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << qdf_ioctl_name(c.cmd) << " " << c.failed);
    const std::vector<unsigned char> data(c.copied, 0x5a);
    mblk_t* mp = nullptr;
    int result = -1;
    const std::size_t replies = catcher.replies.size();
    run([&] {
      mp = message(M_IOCDATA, c.cmd, 0, c.copied != 0 ? data.data() : nullptr, c.copied);
      reinterpret_cast<copyresp*>(mp->b_rptr)->cp_rval =
          c.failed ? reinterpret_cast<caddr_t>(1) : nullptr;
      result = qdf_transparent(catcher.wq(), mp);
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(mp->b_datap->db_type, c.type);
    EXPECT_EQ(ioc(mp)->ioc_error, c.error);
    EXPECT_EQ(ioc(mp)->ioc_count, c.count);
    EXPECT_EQ(ioc(mp)->ioc_cmd, c.cmd);
    EXPECT_EQ(ioc(mp)->ioc_id, 7u);
    if (c.result == 1) {
      ASSERT_EQ(catcher.replies.size(), replies) << "handed back, not replied";
      EXPECT_EQ(msgdsize(mp), c.copied);
      run([&] { freemsg(mp); });
    } else {
      ASSERT_EQ(catcher.replies.size(), replies + 1);
      EXPECT_EQ(catcher.last(), mp);
    }
  }
}

// Copy requests name the caller's buffer; without an argument there is none, and the
// request is refused instead.
TEST_F(IoctlDispatch, CopyRequests) {
  const std::intptr_t uaddr = 0x12340;
  run([&] {
    mblk_t* in = message(M_IOCTL, TIOCMSET, TRANSPARENT, &uaddr, sizeof uaddr);
    qdf_copyin(in, 4);
    EXPECT_EQ(in->b_datap->db_type, M_COPYIN);
    const auto* cq = reinterpret_cast<const copyreq*>(in->b_rptr);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(cq->cq_addr), uaddr);
    EXPECT_EQ(cq->cq_size, 4u);
    EXPECT_EQ(cq->cq_private, nullptr);
    EXPECT_EQ(in->b_cont, nullptr);
    EXPECT_EQ(in->b_wptr - in->b_rptr, static_cast<long>(sizeof(copyreq)));
    freemsg(in);

    mblk_t* bare = message(M_IOCTL, TIOCMSET, TRANSPARENT, nullptr, 0);
    qdf_copyin(bare, 4);
    EXPECT_EQ(bare->b_datap->db_type, M_IOCNAK);
    EXPECT_EQ(ioc(bare)->ioc_error, EINVAL);
    freemsg(bare);
  });

  Catcher catcher(port_);
  const std::uint32_t bits = 0x66;
  run([&] {
    mblk_t* out = message(M_IOCTL, TIOCMGET, TRANSPARENT, &uaddr, sizeof uaddr);
    EXPECT_EQ(qdf_common_get_ioctl(catcher.wq(), out, 4, &bits), 0);
    EXPECT_EQ(out->b_datap->db_type, M_COPYOUT);
    const auto* cq = reinterpret_cast<const copyreq*>(out->b_rptr);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(cq->cq_addr), uaddr);
    EXPECT_EQ(cq->cq_size, 4u);
    ASSERT_NE(out->b_cont, nullptr);
    EXPECT_EQ(std::memcmp(out->b_cont->b_rptr, &bits, 4), 0);
    freemsg(out);

    mblk_t* bare = message(M_IOCTL, TIOCMGET, TRANSPARENT, nullptr, 0);
    EXPECT_EQ(qdf_common_get_ioctl(catcher.wq(), bare, 4, &bits), 0);
    EXPECT_EQ(bare->b_datap->db_type, M_IOCNAK);
    EXPECT_EQ(ioc(bare)->ioc_error, EINVAL);
    freemsg(bare);
  });
}

TEST_F(IoctlDispatch, Names) {
  EXPECT_STREQ(qdf_ioctl_name(0x540F), "TCSETSW");
  EXPECT_STREQ(qdf_ioctl_name(TIOCSBRK), "TIOCSBRK");
  EXPECT_STREQ(qdf_ioctl_name(qd_ioc(QMXSCSI)), "QMXSCSI");
  EXPECT_STREQ(qdf_ioctl_name(qd_ioc(VRNSETUPTR)), "VRNSETUPTR");
  EXPECT_STREQ(qdf_ioctl_name(qd_ioc(STGET)), "STGET");
  for (int cmd : {QD_TIOCMSET_SIZED, QD_TIOCMGET_SIZED, TIOCEXCL, 0}) {
    EXPECT_STREQ(qdf_ioctl_name(cmd), "*** UNKNOWN ***") << cmd;
  }
}

} // namespace
} // namespace lineio_test
