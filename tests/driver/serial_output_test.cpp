// Serial output: what is written leaves as FAS_SEND commands no larger than the line's send
// size, one outstanding at a time, waits while output is blocked, and survives an
// exhausted packet pool.
#include <cstring>
#include <vector>

#include "line_fixture.h"

namespace lineio_test {
namespace {

using SerialOutput = LineFixture;

TEST_F(SerialOutput, MessagesLeaveOneSendAtATime) {
  qd_line* lp = open_port(0, 9600);
  ASSERT_EQ(lp->send_size, 96);
  const std::string data = pattern(250);
  ASSERT_EQ(write(0, data.substr(0, 100)).value, 100);
  ASSERT_EQ(write(0, data.substr(100, 50)).value, 50);
  ASSERT_EQ(write(0, data.substr(150)).value, 100);
  std::string sent;
  for (int round = 0; round < 10; ++round) {
    std::vector<FasCmd> sends = take_commands(FAS_SEND);
    if (sends.empty()) {
      break;
    }
    ASSERT_EQ(sends.size(), 1u) << "more than one FAS_SEND outstanding";
    EXPECT_EQ(sends[0].line(), 0);
    EXPECT_LE(sends[0].data().size(), 96u);
    EXPECT_NE(lp->qdl_flags & QDL_SEND_OUT, 0u);
    sent += sends[0].data();
    answer(fas_answer(FAS_SEND, 0));
  }
  EXPECT_EQ(sent, data);
  EXPECT_EQ(lp->qdl_flags & QDL_SEND_OUT, 0u);
  EXPECT_NE(lp->qdl_flags & QDL_OUTPUT_ACTIVE, 0u) << "only a drain clears it";
}

TEST_F(SerialOutput, EachBlockingFlagHoldsDataBack) {
  const std::uint32_t flags[] = {QDL_HELD, QDL_STOPPED, QDL_OFFLINE, QDL_SEND_OUT};
  for (unsigned port = 0; port < std::size(flags); ++port) {
    SCOPED_TRACE(port);
    qd_line* lp = open_port(port);
    locked([&] { lp->qdl_flags |= flags[port]; });
    write(port, "held");
    EXPECT_TRUE(take_commands(FAS_SEND).empty());
    locked([&] {
      lp->qdl_flags &= ~flags[port];
      qdf_process_wrq(lp->tty.t_writeq);
    });
    std::vector<FasCmd> sends = take_commands(FAS_SEND);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].data(), "held");
  }
}

TEST_F(SerialOutput, StopAndStartMessages) {
  qd_line* lp = open_port(2);
  const Bytes suspend{FAS_OUTPUT_CTRL, 2, 0, 1, 0};
  const Bytes resume{FAS_OUTPUT_CTRL, 2, 0, 0, 1};
  auto first5 = [](const FasCmd& c) { return Bytes(c.bytes.begin(), c.bytes.begin() + 5); };

  ASSERT_TRUE(ioctl(2, TCXONC, TCOOFF).ok());
  write(2, "later");
  std::vector<FasCmd> cmds = take_commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(first5(cmds[0]), suspend);

  ASSERT_TRUE(ioctl(2, TCXONC, TCOON).ok());
  cmds = take_commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(first5(cmds[0]), resume);
  EXPECT_EQ(cmds[1].data(), "later");

  // Without a stop before it, a start only sends the resume command.
  answer(fas_answer(FAS_SEND, 2));
  ASSERT_TRUE(ioctl(2, TCXONC, TCOON).ok());
  cmds = take_commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(first5(cmds[0]), resume);

  // An offline line is stopped all the same, but nothing goes to the unit.
  locked([&] { lp->qdl_flags |= QDL_OFFLINE; });
  ASSERT_TRUE(ioctl(2, TCXONC, TCOOFF).ok());
  EXPECT_TRUE(take_commands().empty());
  EXPECT_NE(lp->qdl_flags & QDL_STOPPED, 0u);
}

TEST_F(SerialOutput, ZeroSendSizeSendsNothing) {
  qd_line* lp = open_port(0);
  locked([&] { lp->send_size = 0; });
  write(0, "stays");
  EXPECT_TRUE(take_commands().empty()) << "the header is given back";
  EXPECT_EQ(lp->qdl_flags & (QDL_SEND_OUT | QDL_OUTPUT_ACTIVE), 0u);
  EXPECT_EQ(lp->tty.t_writeq->q_count, 5u);
}

// The packet pool runs dry while output is under way: nothing half-built goes out, no
// flag claims a send, and once packets can be had again every byte leaves in order.
TEST_F(SerialOutput, ExhaustedPoolLosesNothing) {
  qd_line* lp = open_port(0); // 1150 bytes per send
  const std::string data = pattern(3000);
  ASSERT_EQ(write(0, data).value, 3000);
  std::vector<qd_pkt*> held = exhaust_pool();

  // The first answer's follow-up still fits the packet already on the chain; the second's
  // needs a new packet and gets none.
  answer(fas_answer(FAS_SEND, 0));
  EXPECT_NE(lp->qdl_flags & QDL_SEND_OUT, 0u);
  answer(fas_answer(FAS_SEND, 0));
  EXPECT_EQ(lp->qdl_flags & QDL_SEND_OUT, 0u);
  EXPECT_NE(console().find("can't get qd_pkt"), std::string::npos);

  refill_pool(held);
  std::vector<FasCmd> before = take_commands();
  locked([&] { qdf_process_wrq(lp->tty.t_writeq); }); // the next run of the dispatcher
  std::string sent;
  for (const FasCmd& c : before) {
    ASSERT_EQ(c.op(), FAS_SEND);
    ASSERT_FALSE(c.data().empty());
    sent += c.data();
  }
  EXPECT_EQ(before.size(), 2u);
  sent += pump_sends();
  EXPECT_EQ(sent, data);
}

// The driver timer's visits every 30 seconds: a send unanswered for the line's output time
// is given up by flushing, and queued data is then thrown away.
TEST_F(SerialOutput, OutputWatchdog) {
  struct Case {
    bool local;
    int louttmr, outtmr;
    int visits_to_fire; // 0: never
  };
  const Case cases[] = {
      {false, 0, 0, 0},  {false, 30, 0, 0}, {false, 0, 30, 1},
      {false, 0, 61, 3}, {true, 60, 0, 2},  {true, 0, 30, 0},
  };
  for (unsigned i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const unsigned port = i;
    qd_line* lp = open_port(port);
    locked([&] {
      if (c.local) {
        lp->qdl_flags |= QDL_LOCAL;
      }
      lp->louttmr = c.louttmr;
      lp->outtmr = c.outtmr;
      qdf_output_watchdog(lp); // nothing outstanding: nothing counts
    });
    EXPECT_EQ(lp->wdog_count, 0);
    write(port, "stuck");
    write(port, "queued");
    take_commands();
    for (int visit = 1; visit <= 4; ++visit) {
      locked([&] { qdf_output_watchdog(lp); });
      const bool fired = c.visits_to_fire != 0 && visit >= c.visits_to_fire;
      EXPECT_EQ(lp->output == qdf_drain_output, fired) << visit;
      std::vector<FasCmd> cmds = take_commands(FAS_OUTPUT_CTRL);
      EXPECT_EQ(cmds.size(), fired ? 1u : 0u) << visit;
    }
    answer(fas_answer(FAS_SEND, static_cast<unsigned char>(port)));
    EXPECT_EQ(lp->wdog_count, 0);
    EXPECT_EQ(take_commands(FAS_SEND).size(), c.visits_to_fire != 0 ? 0u : 1u);
  }
}

TEST_F(SerialOutput, OddMessagesOnTheQueue) {
  qd_line* lp = open_port(0);
  locked([&] {
    queue_t* wq = lp->tty.t_writeq;
    mblk_t* proto = allocb(4, BPRI_MED);
    proto->b_datap->db_type = M_PROTO;
    putq(wq, proto);
    mblk_t* delay = allocb(4, BPRI_MED);
    delay->b_datap->db_type = M_DELAY;
    putq(wq, delay);
    // A broken block (negative count) ahead of good data in the same message.
    mblk_t* bad = allocb(8, BPRI_MED);
    bad->b_rptr = bad->b_wptr + 1;
    mblk_t* good = allocb(4, BPRI_MED);
    std::memcpy(good->b_wptr, "good", 4);
    good->b_wptr += 4;
    bad->b_cont = good;
    putq(wq, bad);
    qdf_process_wrq(wq);
  });
  const std::string con = console();
  EXPECT_NE(con.find("Orvane vrn3 line 0: qdf_process_wrq: unex msg type=0x1\n"),
            std::string::npos);
  EXPECT_NE(con.find("Assertion failed in qd: cc>=0"), std::string::npos);
  std::vector<FasCmd> sends = take_commands(FAS_SEND);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data(), "good");
}

} // namespace
} // namespace lineio_test
