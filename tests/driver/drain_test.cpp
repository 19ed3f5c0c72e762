// Flow and flush commands, and draining: an ioctl queued behind output waits until the
// unit has sent it, by FAS_WAIT_SEND or by the last FAS_SEND answer, or until the drain
// watchdog gives up by flushing.
#include <memory>
#include <vector>

#include "line_fixture.h"

namespace lineio_test {
namespace {

Bytes head(const FasCmd& c, std::size_t n) {
  return Bytes(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n));
}

using FlowCommands = LineFixture;

TEST_F(FlowCommands, BytesByBuilderAndCapability) {
  struct Case {
    void (*build)(qd_line*);
    Bytes without_cap0, with_cap0;
  };
  const Case cases[] = {
      {qdf_flush_output, {6, 1, 0, 0, 1}, {6, 1, 1, 0, 1}},
      {qdf_suspend_output, {6, 1, 0, 1, 0}, {6, 1, 0, 1, 0}},
      {qdf_resume_output, {6, 1, 0, 0, 1}, {6, 1, 0, 0, 1}},
      {qdf_flush_input, {7, 1, 0, 0, 0}, {7, 1, 1, 0, 0}},
      {qdf_block_input, {7, 1, 0, 1, 0}, {7, 1, 0, 1, 0}},
      {qdf_unblock_input, {7, 1, 0, 0, 1}, {7, 1, 0, 0, 1}},
  };
  qd_line* lp = open_port(1);
  for (const Case& c : cases) {
    for (std::uint32_t caps : {0u, QDU_CAP_TIMEOUT15}) {
      locked([&] {
        up_->qdu_caps = caps;
        c.build(lp);
      });
      std::vector<FasCmd> cmds = take_commands();
      ASSERT_EQ(cmds.size(), 1u);
      EXPECT_EQ(head(cmds[0], 5), caps != 0 ? c.with_cap0 : c.without_cap0);
      // Offline, or without a packet: nothing at all.
      locked([&] {
        lp->qdl_flags |= QDL_OFFLINE;
        c.build(lp);
        lp->qdl_flags &= ~QDL_OFFLINE;
        std::vector<qd_pkt*> held = exhaust_pool();
        c.build(lp);
        refill_pool(held);
      });
      EXPECT_TRUE(take_commands().empty());
    }
  }
  console();
}

class Drain : public LineFixture {
protected:
  // Writes data and then a TCSETSW from a task of its own; returns the task.
  std::unique_ptr<kemu::Kernel::Task> data_then_ioctl(unsigned port, std::string_view data) {
    write(port, data);
    auto task = kernel_.spawn([this, port] {
      termios t{};
      EXPECT_TRUE(file(port).ioctl(TCSETSW, &t).ok());
    });
    kernel_.settle();
    return task;
  }
};

TEST_F(Drain, ByTheLastSendAnswer) {
  qd_line* lp = open_port(0);
  auto task = data_then_ioctl(0, "abc");
  EXPECT_FALSE(task->done());
  EXPECT_NE(lp->qdl_flags & QDL_DRAIN_WANTED, 0u);
  EXPECT_EQ(pump_sends(), "abc");
  EXPECT_TRUE(task->join());
  EXPECT_EQ(lp->qdl_flags & (QDL_DRAIN_WAIT | QDL_DRAIN_WANTED | QDL_OUTPUT_ACTIVE), 0u);

  // Output confirmed drained: the next one is serviced at once.
  auto again = data_then_ioctl(0, "");
  EXPECT_TRUE(again->done());
  EXPECT_TRUE(again->join());
}

TEST_F(Drain, ByWaitSend) {
  qd_line* lp = open_port(0);
  locked([&] { up_->qdu_caps = QDU_CAP_WAITSEND; });
  auto task = data_then_ioctl(0, "abc");
  std::vector<FasCmd> cmds = take_commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0].data(), "abc");
  EXPECT_EQ(head(cmds[1], 2), (Bytes{FAS_WAIT_SEND, 0}));

  // The unit says it has drained while our FAS_SEND is still unanswered: wait again.
  answer(fas_answer(FAS_WAIT_SEND, 0));
  EXPECT_EQ(take_commands(FAS_WAIT_SEND).size(), 1u);
  answer(fas_answer(FAS_SEND, 0));
  EXPECT_FALSE(task->done()) << "the FAS_SEND answer does not end this drain";
  answer(fas_answer(FAS_WAIT_SEND, 0));
  EXPECT_TRUE(task->join());
  EXPECT_EQ(lp->qdl_flags & (QDL_WAITSEND_OUT | QDL_DRAIN_WAIT | QDL_OUTPUT_ACTIVE), 0u);

  // A second wait while one is in progress changes nothing.
  locked([&] {
    lp->qdl_flags |= QDL_OUTPUT_ACTIVE;
    qdf_wait_out(lp);
    const std::uint32_t flags = lp->qdl_flags;
    qdf_wait_out(lp);
    EXPECT_EQ(lp->qdl_flags, flags);
  });
  EXPECT_EQ(take_commands().size(), 1u);
}

// No packet for FAS_WAIT_SEND: the drain waits for the last FAS_SEND answer instead of
// waiting for an answer that will never come.
TEST_F(Drain, WaitSendWithoutAPacket) {
  qd_line* lp = open_port(0);
  locked([&] { up_->qdu_caps = QDU_CAP_WAITSEND; });
  write(0, "abc");
  EXPECT_EQ(take_commands(FAS_SEND).size(), 1u);
  std::vector<qd_pkt*> held = exhaust_pool();
  auto task = kernel_.spawn([&] {
    termios t{};
    EXPECT_TRUE(file(0).ioctl(TCSETSW, &t).ok());
  });
  kernel_.settle();
  EXPECT_EQ(lp->qdl_flags & QDL_WAITSEND_OUT, 0u);
  answer(fas_answer(FAS_SEND, 0));
  refill_pool(held);
  EXPECT_TRUE(task->join());
  EXPECT_TRUE(take_commands().empty());
  console();
}

// The watchdog gives up on a send the unit never answers: output is flushed, the data
// queued before the ioctl is thrown away, the ioctl runs and output works again after.
TEST_F(Drain, WatchdogFlushesAndLetsTheIoctlRun) {
  struct Case {
    bool local;
  };
  for (Case c : {Case{false}, Case{true}}) {
    SCOPED_TRACE(c.local);
    const unsigned port = c.local ? 1 : 0;
    qd_line* lp = open_port(port);
    locked([&] {
      if (c.local) {
        lp->tty.t_cflag |= CLOCAL;
        lp->louttmr = 5;
      } else {
        lp->outtmr = 5;
      }
    });
    write(port, "stuck");
    auto task = data_then_ioctl(port, "dropped");
    EXPECT_EQ(take_commands(FAS_SEND).size(), 1u);
    kernel_.advance(5 * hz - 1);
    EXPECT_FALSE(task->done());
    kernel_.advance(1);
    EXPECT_TRUE(task->join());
    std::vector<FasCmd> cmds = take_commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(head(cmds[0], 5),
              (Bytes{FAS_OUTPUT_CTRL, static_cast<unsigned char>(port), 0, 0, 1}));
    EXPECT_EQ(lp->output, qdf_serial_output);
    answer(fas_answer(FAS_SEND, static_cast<unsigned char>(port)));
    EXPECT_TRUE(take_commands(FAS_SEND).empty()) << "the queued data was thrown away";
    write(port, "fresh");
    EXPECT_EQ(pump_sends(), "fresh");
  }
}

// The drain completes while the watchdog's callback waits for the unit mutex: the late
// callback must not flush, and must not cut short a wait armed after it.
TEST_F(Drain, WatchdogThatLosesTheRace) {
  qd_line* lp = open_port(0);
  locked([&] { lp->outtmr = 1; });
  write(0, "abc");
  locked([&] { qdf_wait_out(lp); });
  clock_t rearmed = 0;
  auto holder = kernel_.spawn([&] {
    mutex_enter(&up_->unit_mutex);
    {
      kemu::SleepWithLocksHeld sleeping;
      delay(hz + 5); // the callback fires meanwhile and waits for the mutex
    }
    answer_locked(fas_answer(FAS_SEND, 0)); // completes the drain
    EXPECT_EQ(lp->qdl_flags & QDL_DRAIN_WAIT, 0u);
    lp->qdl_flags |= QDL_SEND_OUT | QDL_OUTPUT_ACTIVE; // as if more had been sent
    qdf_wait_out(lp);
    rearmed = kernel_.lbolt();
    mutex_exit(&up_->unit_mutex);
  });
  ASSERT_TRUE(holder->join());
  kernel_.settle();
  EXPECT_TRUE(take_commands(FAS_OUTPUT_CTRL).empty()) << "the late callback flushed";
  EXPECT_NE(lp->qdl_flags & QDL_DRAIN_TIMER, 0u);
  kernel_.advance(rearmed + hz - 1 - kernel_.lbolt());
  EXPECT_NE(lp->qdl_flags & QDL_DRAIN_WAIT, 0u);
  kernel_.advance(1);
  EXPECT_EQ(lp->qdl_flags & QDL_DRAIN_WAIT, 0u);
  EXPECT_EQ(take_commands(FAS_OUTPUT_CTRL).size(), 1u);
}

// Thrown away: the data ahead of the first message of another type, which then runs; the
// dispatcher goes on and the data behind it meets the same fate.
TEST_F(Drain, DrainOutputStopsAtTheFirstOtherMessage) {
  qd_line* lp = open_port(0);
  locked([&] { lp->qdl_flags |= QDL_STOPPED; }); // everything stays queued for now
  write(0, "one");
  write(0, "two");
  auto task = kernel_.spawn([&] {
    termios t{};
    EXPECT_TRUE(file(0).ioctl(TCSETSW, &t).ok());
  });
  kernel_.settle();
  write(0, "three");
  EXPECT_FALSE(task->done());
  locked([&] {
    lp->output = qdf_drain_output;
    lp->qdl_flags &= ~QDL_STOPPED;
    qdf_process_wrq(lp->tty.t_writeq);
  });
  EXPECT_TRUE(task->join());
  EXPECT_EQ(lp->tty.t_writeq->q_first, nullptr);
  EXPECT_TRUE(take_commands().empty());
}

} // namespace
} // namespace lineio_test
