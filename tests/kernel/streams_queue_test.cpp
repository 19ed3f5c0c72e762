// Queue routines on bare queue pairs: ordering, flow control, flushing, scheduling, and the
// message allocator with its faults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kemu/kernel.h"
#include "kemu/streams.h"
#include "ksys/stream.h"

namespace {

using kemu::Kernel;

std::vector<std::string> g_log;

mblk_t* msg(unsigned char type, std::size_t n, char fill = 'x') {
  mblk_t* mp = allocb(n, BPRI_MED);
  mp->b_datap->db_type = type;
  std::memset(mp->b_wptr, fill, n);
  mp->b_wptr += n;
  return mp;
}

int log_srv(queue_t* q) {
  g_log.push_back(std::string("srv ") + q->q_qinfo->qi_minfo->mi_idname);
  return 0;
}

int log_put(queue_t* q, mblk_t* mp) {
  g_log.push_back(std::string("put ") + q->q_qinfo->qi_minfo->mi_idname + " " +
                  std::to_string(mp->b_datap->db_type));
  freemsg(mp);
  return 0;
}

int pass_put(queue_t* q, mblk_t* mp) {
  putnext(q, mp);
  return 0;
}

module_info upper_info{0, "upper", 0, INFPSZ, 100, 50};
module_info middle_info{0, "middle", 0, INFPSZ, 100, 50};
module_info lower_info{0, "lower", 0, INFPSZ, 10, 5};
qinit upper_q{log_put, log_srv, nullptr, nullptr, nullptr, &upper_info, nullptr};
qinit middle_q{pass_put, nullptr, nullptr, nullptr, nullptr, &middle_info, nullptr};
qinit lower_q{log_put, log_srv, nullptr, nullptr, nullptr, &lower_info, nullptr};

class QueueTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_log.clear();
    kemu::clear_streams_faults();
    blocks = kemu::streams_outstanding_blocks();
  }
  void TearDown() override {
    upper.reset();
    middle.reset();
    lower.reset();
    k.settle();
    kemu::clear_streams_faults();
    EXPECT_EQ(kemu::streams_outstanding_blocks(), blocks);
    EXPECT_EQ(k.report_count(), 0u);
  }
  std::vector<unsigned char> drain_types(queue_t* q) {
    std::vector<unsigned char> types;
    while (mblk_t* mp = getq(q)) {
      types.push_back(mp->b_datap->db_type);
      freemsg(mp);
    }
    return types;
  }

  Kernel k;
  std::size_t blocks = 0;
  kemu::QueuePairPtr upper = kemu::make_queue_pair(&upper_q, &upper_q);
  kemu::QueuePairPtr middle = kemu::make_queue_pair(&middle_q, &middle_q);
  kemu::QueuePairPtr lower = kemu::make_queue_pair(&lower_q, &lower_q);
};

TEST_F(QueueTest, HighPriorityGoesAheadOfNormalAndPutbqReturnsToTheHead) {
  queue_t* q = WR(kemu::read_queue(*lower));
  noenable(q);
  putq(q, msg(M_DATA, 1));
  putq(q, msg(M_PROTO, 1));
  putq(q, msg(M_IOCACK, 1));
  putq(q, msg(M_CTL, 1));
  putq(q, msg(M_FLUSH, 1));
  mblk_t* first = getq(q);
  EXPECT_EQ(first->b_datap->db_type, M_IOCACK);
  putbq(q, first);
  putbq(q, msg(M_DELAY, 1)); // a normal message put back goes behind the high-priority ones
  EXPECT_EQ(drain_types(q),
            (std::vector<unsigned char>{M_IOCACK, M_FLUSH, M_DELAY, M_DATA, M_PROTO, M_CTL}));
  EXPECT_EQ(q->q_count, 0u);
  EXPECT_EQ(q->q_first, nullptr);
  EXPECT_EQ(q->q_last, nullptr);
}

TEST_F(QueueTest, FullQueueStopsCanputnextAndBackEnablesBelowLowWater) {
  kemu::link_pairs(*upper, *lower);
  queue_t* uw = WR(kemu::read_queue(*upper));
  queue_t* lw = WR(kemu::read_queue(*lower));
  noenable(lw);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(canputnext(uw), 1);
    putq(lw, msg(M_DATA, 3));
  }
  EXPECT_EQ(lw->q_count, 12u);
  EXPECT_NE(lw->q_flag & QFULL, 0u);
  EXPECT_EQ(canputnext(uw), 0);
  EXPECT_NE(lw->q_flag & QWANTW, 0u);

  freemsg(getq(lw)); // 9 left: above the low water mark
  freemsg(getq(lw)); // 6 left
  k.settle();
  EXPECT_TRUE(g_log.empty());
  EXPECT_NE(lw->q_flag & QFULL, 0u);
  freemsg(getq(lw)); // 3 left: below 5
  EXPECT_EQ(lw->q_flag & (QFULL | QWANTW), 0u);
  k.settle();
  EXPECT_EQ(g_log, (std::vector<std::string>{"srv upper"}));
  EXPECT_EQ(canputnext(uw), 1);
}

TEST_F(QueueTest, CanputnextLooksThroughQueuesWithoutServiceProcedures) {
  kemu::link_pairs(*upper, *middle);
  kemu::link_pairs(*middle, *lower);
  queue_t* uw = WR(kemu::read_queue(*upper));
  queue_t* lw = WR(kemu::read_queue(*lower));
  queue_t* mw = WR(kemu::read_queue(*middle));
  noenable(lw);
  putq(lw, msg(M_DATA, 10));
  EXPECT_EQ(canputnext(uw), 0);
  EXPECT_NE(lw->q_flag & QWANTW, 0u);
  EXPECT_EQ(mw->q_flag & QWANTW, 0u);
  // Back-enabling from the lower queue skips the middle one and reaches the upper service.
  freemsg(getq(lw));
  k.settle();
  EXPECT_EQ(g_log, (std::vector<std::string>{"srv upper"}));

  // The last queue of the read side has no service procedure: its own fullness counts.
  queue_t* ur = kemu::read_queue(*upper);
  queue_t* lr = kemu::read_queue(*lower);
  noenable(ur);
  ur->q_qinfo = &middle_q; // no service procedure at the top
  putq(ur, msg(M_DATA, 100));
  EXPECT_EQ(canputnext(lr), 0);
  flushq(ur, FLUSHALL);
  EXPECT_EQ(canputnext(lr), 1);
  ur->q_qinfo = &upper_q;
}

TEST_F(QueueTest, FlushDataKeepsControlMessagesFlushAllKeepsNothing) {
  struct Case {
    int flag;
    std::vector<unsigned char> left;
  };
  const Case cases[] = {
      {FLUSHDATA, {M_IOCTL, M_CTL, M_BREAK, M_SETOPTS}},
      {FLUSHALL, {}},
  };
  for (const Case& c : cases) {
    queue_t* q = WR(kemu::read_queue(*lower));
    noenable(q);
    for (unsigned char t :
         {M_DATA, M_IOCTL, M_DELAY, M_CTL, M_PROTO, M_BREAK, M_PCPROTO, M_SETOPTS, M_DATA}) {
      putq(q, msg(t, 2));
    }
    flushq(q, c.flag);
    EXPECT_EQ(q->q_count, c.left.size() * 2) << "flag " << c.flag;
    EXPECT_EQ(drain_types(q), c.left) << "flag " << c.flag;
  }
}

TEST_F(QueueTest, FlushBelowLowWaterBackEnables) {
  kemu::link_pairs(*upper, *lower);
  queue_t* lw = WR(kemu::read_queue(*lower));
  noenable(lw);
  putq(lw, msg(M_DATA, 12));
  EXPECT_EQ(canputnext(WR(kemu::read_queue(*upper))), 0);
  flushq(lw, FLUSHDATA);
  k.settle();
  EXPECT_EQ(g_log, (std::vector<std::string>{"srv upper"}));
}

TEST_F(QueueTest, PutqSchedulesServiceOnlyWhenItWillFindWork) {
  queue_t* q = WR(kemu::read_queue(*lower));
  putq(q, msg(M_DATA, 1));
  putq(q, msg(M_DATA, 1)); // already scheduled
  k.settle();
  EXPECT_EQ(g_log.size(), 1u) << "one run for both";

  // The service took a message and put it back (as when the stream above is full): more
  // normal messages do not reschedule it, a high-priority one does.
  putbq(q, getq(q));
  putq(q, msg(M_DATA, 1));
  k.settle();
  EXPECT_EQ(g_log.size(), 1u);
  putq(q, msg(M_STOP, 0));
  k.settle();
  EXPECT_EQ(g_log.size(), 2u);

  // Once getq has found the queue empty, the next putq schedules it again.
  flushq(q, FLUSHALL);
  EXPECT_EQ(getq(q), nullptr);
  putq(q, msg(M_DATA, 1));
  k.settle();
  EXPECT_EQ(g_log.size(), 3u);

  // With procedures off nothing is scheduled; qprocson catches up.
  qprocsoff(RD(q));
  qenable(q);
  k.settle();
  EXPECT_EQ(g_log.size(), 3u);
  qprocson(RD(q));
  k.settle();
  EXPECT_EQ(g_log.size(), 4u);
}

TEST_F(QueueTest, PutnextQreplyAndControlMessagesTravelSynchronously) {
  kemu::link_pairs(*upper, *middle);
  kemu::link_pairs(*middle, *lower);
  queue_t* lw = WR(kemu::read_queue(*lower));
  queue_t* uw = WR(kemu::read_queue(*upper));
  qreply(lw, msg(M_DATA, 1)); // turns up the read side: lower -> middle -> upper
  EXPECT_EQ(putnextctl1(uw, M_FLUSH, FLUSHRW), 1);
  EXPECT_EQ(putnextctl(uw, M_DATA), 0) << "not a control type";
  EXPECT_EQ(g_log, (std::vector<std::string>{"put upper 0", "put lower 134"}));
  EXPECT_EQ(backq(lw), WR(kemu::read_queue(*middle)));
  EXPECT_EQ(OTHERQ(OTHERQ(lw)), lw);
  EXPECT_EQ(RD(lw), OTHERQ(lw));
  EXPECT_EQ(WR(RD(lw)), lw);
}

TEST_F(QueueTest, AllocbFailsWhenToldAndCountsBlocks) {
  std::size_t before = kemu::streams_outstanding_blocks();
  const std::size_t calls = kemu::streams_allocb_calls();
  kemu::fail_allocb_nth(2);
  mblk_t* a = allocb(8, BPRI_HI);
  mblk_t* b = allocb(8, BPRI_HI);
  mblk_t* c = allocb(8, BPRI_HI);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  kemu::fail_allocb_all(true);
  EXPECT_EQ(allocb(0, BPRI_LO), nullptr);
  EXPECT_EQ(allocb(0, BPRI_LO), nullptr);
  EXPECT_EQ(kemu::allocb_failures(), 3);
  EXPECT_EQ(kemu::streams_allocb_calls(), calls + 5) << "failed calls count too";
  kemu::fail_allocb_all(false);
  EXPECT_EQ(kemu::streams_outstanding_blocks(), before + 2);
  linkb(a, c);
  freemsg(a);
  EXPECT_EQ(kemu::streams_outstanding_blocks(), before);
}

TEST_F(QueueTest, DupShareDataCopiesDoNot) {
  mblk_t* m = msg(M_DATA, 4, 'a');
  linkb(m, msg(M_PROTO, 3, 'b'));
  mblk_t* d = dupmsg(m);
  mblk_t* c = copymsg(m);
  EXPECT_EQ(d->b_datap, m->b_datap);
  EXPECT_EQ(m->b_datap->db_ref, 2);
  EXPECT_NE(c->b_datap, m->b_datap);
  *m->b_rptr = 'z';
  EXPECT_EQ(*d->b_rptr, 'z');
  EXPECT_EQ(*c->b_rptr, 'a');
  EXPECT_EQ(msgdsize(c), 4u) << "only M_DATA blocks count";
  EXPECT_EQ(c->b_cont->b_datap->db_type, M_PROTO);
  std::size_t buffers = kemu::streams_outstanding_buffers();
  freemsg(m);
  EXPECT_EQ(kemu::streams_outstanding_buffers(), buffers) << "still shared by the dup";
  freemsg(d);
  freemsg(c);
}

struct BufcallProbe {
  int runs = 0;
  clock_t at = -1;
};

void bufcall_cb(void* arg) {
  auto* p = static_cast<BufcallProbe*>(arg);
  ++p->runs;
  p->at = ddi_get_lbolt();
}

TEST_F(QueueTest, BufcallRunsOnceAtTheNextTickUnlessCancelledOrRefused) {
  BufcallProbe p, cancelled;
  bufcall_id_t id = 0, id2 = 0;
  k.call([&] {
    id = bufcall(64, BPRI_HI, bufcall_cb, &p);
    id2 = bufcall(64, BPRI_HI, bufcall_cb, &cancelled);
  });
  EXPECT_NE(id, 0u);
  EXPECT_NE(id2, id);
  k.settle();
  EXPECT_EQ(p.runs, 0) << "not in the tick it was asked in";
  unbufcall(id2);
  k.advance(3);
  EXPECT_EQ(p.runs, 1);
  EXPECT_EQ(p.at, 1);
  EXPECT_EQ(cancelled.runs, 0);
  unbufcall(id); // already ran: nothing happens

  kemu::fail_bufcall(true);
  EXPECT_EQ(bufcall(64, BPRI_HI, bufcall_cb, &p), 0u);
  k.advance(2);
  EXPECT_EQ(p.runs, 1);
}

} // namespace
