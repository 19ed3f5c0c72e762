// The tty common state's ioctls and close.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "kemu/kernel.h"
#include "kemu/streams.h"
#include "ksys/stream.h"
#include "ksys/tty_common.h"

namespace {

cred_t g_root{0, 0, 0, 0};
cred_t g_user{100, 10, 100, 10};

mblk_t* ioctl_msg(int cmd, const void* data, std::size_t n, bool transparent = false,
                  cred_t* cr = &g_root) {
  mblk_t* mp = allocb(sizeof(iocblk), BPRI_MED);
  mp->b_datap->db_type = M_IOCTL;
  auto* io = reinterpret_cast<iocblk*>(mp->b_rptr);
  *io = iocblk{};
  io->ioc_cmd = cmd;
  io->ioc_cr = cr;
  io->ioc_id = 9;
  io->ioc_count = transparent ? TRANSPARENT : static_cast<unsigned>(n);
  mp->b_wptr += sizeof(iocblk);
  if (data != nullptr) {
    mp->b_cont = allocb(n, BPRI_MED);
    std::memcpy(mp->b_cont->b_wptr, data, n);
    mp->b_cont->b_wptr += n;
  }
  return mp;
}

iocblk* ioc(mblk_t* mp) {
  return reinterpret_cast<iocblk*>(mp->b_rptr);
}

template <class T> T reply_of(mblk_t* mp) {
  T t{};
  EXPECT_NE(mp->b_cont, nullptr);
  if (mp->b_cont != nullptr) {
    EXPECT_EQ(static_cast<std::size_t>(mp->b_cont->b_wptr - mp->b_cont->b_rptr), sizeof t);
    std::memcpy(&t, mp->b_cont->b_rptr, sizeof t);
  }
  return t;
}

class TtyCommonTest : public ::testing::Test {
protected:
  void SetUp() override {
    kemu::clear_streams_faults();
    blocks = kemu::streams_outstanding_blocks();
  }
  void TearDown() override {
    ttycommon_close(&tc);
    kemu::clear_streams_faults();
    EXPECT_EQ(kemu::streams_outstanding_blocks(), blocks);
  }
  // Runs one ioctl; returns the message (the caller frees it) or nullptr when held.
  mblk_t* run(mblk_t* mp, int* error, std::size_t* result = nullptr) {
    std::size_t r = ttycommon_ioctl(&tc, nullptr, mp, error);
    if (result != nullptr) {
      *result = r;
    }
    return r == 0 ? mp : nullptr;
  }

  kemu::Kernel k;
  tty_common_t tc{};
  std::size_t blocks = 0;
};

TEST_F(TtyCommonTest, TermiosSetThenGet) {
  termios t{};
  t.c_iflag = IXON | ICRNL;
  t.c_oflag = 0x5;
  t.c_cflag = CS8 | CREAD | B115200 | CBAUDEXT | CRTSCTS;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  for (int cmd : {TCSETS, TCSETSW, TCSETSF}) {
    tc = tty_common_t{};
    int error = 99;
    mblk_t* mp = run(ioctl_msg(cmd, &t, sizeof t), &error);
    ASSERT_NE(mp, nullptr);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(mp->b_datap->db_type, M_IOCACK);
    EXPECT_EQ(ioc(mp)->ioc_count, 0u);
    EXPECT_EQ(tc.t_iflag, t.c_iflag);
    EXPECT_EQ(tc.t_cflag, t.c_cflag);
    EXPECT_EQ(tc.t_startc, 0x11);
    EXPECT_EQ(tc.t_stopc, 0x13);
    freemsg(mp);
  }
  int error = 99;
  mblk_t* mp = run(ioctl_msg(TCGETS, nullptr, 0), &error);
  ASSERT_NE(mp, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(mp->b_datap->db_type, M_IOCACK);
  EXPECT_EQ(ioc(mp)->ioc_count, sizeof(termios));
  termios got = reply_of<termios>(mp);
  EXPECT_EQ(got.c_iflag, t.c_iflag);
  EXPECT_EQ(got.c_cflag, t.c_cflag);
  EXPECT_EQ(got.c_oflag, 0u) << "not kept by the common state";
  EXPECT_EQ(got.c_cc[VSTART], 0x11);
  EXPECT_EQ(got.c_cc[VSTOP], 0x13);
  freemsg(mp);
}

TEST_F(TtyCommonTest, TermioChangesOnlyTheLowHalfOfEachModeWord) {
  tc.t_cflag = CRTSCTS | (B38400 << IBSHIFT) | B9600 | CS8;
  tc.t_iflag = 0x12340000u | IXON;
  termio t{};
  t.c_cflag = B1200 | CS7;
  t.c_iflag = ICRNL;
  int error = 99;
  mblk_t* mp = run(ioctl_msg(TCSETAW, &t, sizeof t), &error);
  ASSERT_NE(mp, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(tc.t_cflag, CRTSCTS | (B38400 << IBSHIFT) | B1200 | CS7);
  EXPECT_EQ(tc.t_iflag, 0x12340000u | ICRNL);
  freemsg(mp);

  mp = run(ioctl_msg(TCGETA, nullptr, 0), &error);
  ASSERT_NE(mp, nullptr);
  termio got = reply_of<termio>(mp);
  EXPECT_EQ(got.c_cflag, B1200 | CS7);
  EXPECT_EQ(got.c_iflag, ICRNL);
  EXPECT_EQ(ioc(mp)->ioc_count, sizeof(termio));
  freemsg(mp);
}

TEST_F(TtyCommonTest, WindowSizeSoftCarrierAndExclusiveUse) {
  int error = 99;
  winsize ws{24, 80, 640, 480};
  freemsg(run(ioctl_msg(TIOCSWINSZ, &ws, sizeof ws), &error));
  EXPECT_EQ(error, 0);
  mblk_t* mp = run(ioctl_msg(TIOCGWINSZ, nullptr, 0), &error);
  winsize got = reply_of<winsize>(mp);
  EXPECT_EQ(got.ws_row, 24);
  EXPECT_EQ(got.ws_ypixel, 480);
  freemsg(mp);

  struct Case {
    int set;
    unsigned flags_after;
    int get;
  };
  for (Case c : {Case{1, TS_SOFTCAR, 1}, Case{0, 0, 0}, Case{3, TS_SOFTCAR, 1}, Case{2, 0, 0}}) {
    freemsg(run(ioctl_msg(TIOCSSOFTCAR, &c.set, sizeof c.set), &error));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(tc.t_flags & TS_SOFTCAR, c.flags_after) << c.set;
    mp = run(ioctl_msg(TIOCGSOFTCAR, nullptr, 0), &error);
    EXPECT_EQ(reply_of<int>(mp), c.get) << c.set;
    freemsg(mp);
  }

  freemsg(run(ioctl_msg(TIOCEXCL, nullptr, 0), &error));
  EXPECT_NE(tc.t_flags & TS_XCLUDE, 0u);
  freemsg(run(ioctl_msg(TIOCNXCL, nullptr, 0), &error));
  EXPECT_EQ(tc.t_flags & TS_XCLUDE, 0u);
}

TEST_F(TtyCommonTest, ShortRecordsAreRefusedAndChangeNothing) {
  tc.t_cflag = B9600;
  tc.t_size = {1, 2, 3, 4};
  unsigned char junk[64] = {0xff};
  struct Case {
    int cmd;
    std::size_t size;
  };
  for (Case c : {Case{TCSETS, 36}, Case{TCSETSF, 36}, Case{TCSETA, 18}, Case{TCSETAF, 18},
                 Case{TIOCSWINSZ, 8}, Case{TIOCSSOFTCAR, 4}}) {
    for (bool no_data : {false, true}) {
      int error = 99;
      mblk_t* mp = run(ioctl_msg(c.cmd, no_data ? nullptr : junk, c.size - 1), &error);
      ASSERT_NE(mp, nullptr);
      EXPECT_EQ(error, EINVAL) << std::hex << c.cmd;
      EXPECT_EQ(mp->b_datap->db_type, M_IOCACK) << "made an acknowledgement all the same";
      freemsg(mp);
    }
  }
  EXPECT_EQ(tc.t_cflag, B9600);
  EXPECT_EQ(tc.t_size.ws_col, 2);
  EXPECT_EQ(tc.t_flags, 0u);
}

TEST_F(TtyCommonTest, TransparentIsLeftAloneAndOtherCodesAreNotItsOwn) {
  int error = 0;
  std::intptr_t addr = 0x1000;
  mblk_t* mp = ioctl_msg(TCGETS, &addr, sizeof addr, true);
  EXPECT_EQ(run(mp, &error), mp);
  EXPECT_EQ(error, -1);
  EXPECT_EQ(mp->b_datap->db_type, M_IOCTL);
  EXPECT_EQ(ioc(mp)->ioc_count, TRANSPARENT);
  freemsg(mp);

  int bits = TIOCM_DTR;
  mp = ioctl_msg(TIOCMSET, &bits, sizeof bits);
  EXPECT_EQ(run(mp, &error), mp);
  EXPECT_EQ(error, -1);
  EXPECT_EQ(mp->b_datap->db_type, M_IOCACK);
  EXPECT_EQ(ioc(mp)->ioc_count, 0u);
  ASSERT_NE(mp->b_cont, nullptr) << "the driver still reads its argument";
  EXPECT_EQ(*reinterpret_cast<int*>(mp->b_cont->b_rptr), TIOCM_DTR);
  freemsg(mp);
}

TEST_F(TtyCommonTest, GetWithoutAReplyBlockIsHeldUntilRetried) {
  tc.t_cflag = B4800;
  struct Case {
    int cmd;
    std::size_t size;
  };
  for (Case c : {Case{TCGETS, 36}, Case{TCGETA, 18}, Case{TIOCGWINSZ, 8}, Case{TIOCGSOFTCAR, 4}}) {
    int error = 0;
    std::size_t result = 0;
    mblk_t* first = ioctl_msg(c.cmd, nullptr, 0);
    mblk_t* second = ioctl_msg(c.cmd, nullptr, 0);
    kemu::fail_allocb_all(true);
    EXPECT_EQ(run(first, &error, &result), nullptr);
    EXPECT_EQ(result, c.size);
    EXPECT_EQ(tc.t_iocpending, first);
    EXPECT_EQ(first->b_datap->db_type, M_IOCTL) << "untouched while held";

    // A second one held in its place frees the first.
    EXPECT_EQ(run(second, &error, &result), nullptr);
    EXPECT_EQ(tc.t_iocpending, second);
    kemu::fail_allocb_all(false);

    // The buffer callback's retry takes it back and runs it again.
    tc.t_iocpending = nullptr;
    ASSERT_EQ(run(second, &error, &result), second);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(second->b_datap->db_type, M_IOCACK);
    EXPECT_EQ(ioc(second)->ioc_count, c.size);
    freemsg(second);
  }
}

TEST_F(TtyCommonTest, CloseForgetsTheStreamAndFreesAHeldIoctl) {
  auto rq = kemu::make_queue_pair(nullptr, nullptr);
  tc.t_readq = kemu::read_queue(*rq);
  tc.t_writeq = WR(tc.t_readq);
  tc.t_flags = TS_XCLUDE | TS_SOFTCAR;
  int error = 0;
  mblk_t* mp = ioctl_msg(TCGETS, nullptr, 0);
  kemu::fail_allocb_nth(1);
  EXPECT_EQ(run(mp, &error), nullptr);
  ASSERT_NE(tc.t_iocpending, nullptr);
  ttycommon_close(&tc);
  EXPECT_EQ(tc.t_iocpending, nullptr);
  EXPECT_EQ(tc.t_readq, nullptr);
  EXPECT_EQ(tc.t_writeq, nullptr);
  EXPECT_EQ(tc.t_flags, TS_SOFTCAR);
}

int g_sti_seen = -1;
int record_put(queue_t*, mblk_t* mp) {
  g_sti_seen = *mp->b_rptr;
  freemsg(mp);
  return 0;
}
qinit record_q{record_put, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

TEST_F(TtyCommonTest, StiSendsTheCharacterUpForAPrivilegedCaller) {
  auto upper = kemu::make_queue_pair(&record_q, &record_q);
  auto lower = kemu::make_queue_pair(nullptr, nullptr);
  kemu::link_pairs(*upper, *lower);
  tc.t_readq = kemu::read_queue(*lower);
  char ch = 'q';
  int error = 0;
  g_sti_seen = -1;
  freemsg(run(ioctl_msg(TIOCSTI, &ch, 1, false, &g_user), &error));
  EXPECT_EQ(error, EPERM);
  EXPECT_EQ(g_sti_seen, -1);
  freemsg(run(ioctl_msg(TIOCSTI, &ch, 1, false, &g_root), &error));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(g_sti_seen, 'q');
}

} // namespace
