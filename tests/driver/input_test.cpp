// Line input: FAS_RECV answers become data under the termios input rules, breaks, and the
// grant that follows every answer only while the read side can take more.
#include <memory>
#include <vector>

#include "kemu/streamhead.h"
#include "line_fixture.h"

namespace lineio_test {
namespace {

using namespace std::string_literals;

class LineInput : public LineFixture {
protected:
  // Answers a FAS_RECV and returns what reached the stream head.
  std::string receive(unsigned port, unsigned char status, const std::string& data) {
    answer(fas_answer(FAS_RECV, static_cast<unsigned char>(port), status, data));
    return read_all(port);
  }
  std::size_t grants() { return take_commands(FAS_RECV).size(); }
};

TEST_F(LineInput, DeliveryRules) {
  struct Case {
    const char* what;
    tcflag_t iflag;
    unsigned char status;
    std::string in, out;
  };
  const Case cases[] = {
      {"normal copy", 0, 0, "A\xff", "A\xff"},
      {"strip copy", ISTRIP, 0, "\xc1\xff", "A\x7f"},
      {"mark 0xff", PARMRK, 0, "A\xff", "A\xff\xff"},
      {"mark, stripped", PARMRK | ISTRIP, 0, "\xff\xc1",
       "\x7f"
       "A"},
      {"parity unchecked is good", 0, FAS_ST_PARITY, "\xc1", "\xc1"},
      {"parity to nulls", INPCK, FAS_ST_PARITY, "ab", "\0\0"s},
      {"parity flagged", INPCK | PARMRK, FAS_ST_PARITY, "A", "\xff\0A"s},
      {"flagged, stripped", INPCK | PARMRK | ISTRIP, FAS_ST_PARITY, "\xc1", "\xff\0A"s},
      {"parity ignored", INPCK | IGNPAR, FAS_ST_PARITY, "ab", ""},
      {"overrun without INPCK", 0, FAS_ST_OVERRUN, "ab", "\0\0"s},
      {"framing ignored", IGNPAR, FAS_ST_FRAMING, "ab", ""},
      {"any error status", 0, FAS_ST_OVERFLOW, "ab", "\0\0"s},
      {"status bit 7 is no error", 0, 0x80, "ab", "ab"},
  };
  qd_line* lp = open_port(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    locked([&] { lp->tty.t_iflag = c.iflag; });
    EXPECT_EQ(receive(0, c.status, c.in), c.out);
    EXPECT_EQ(grants(), 1u) << "every answer brings the next grant";
  }
  console();
}

TEST_F(LineInput, BreakData) {
  struct Case {
    tcflag_t iflag;
    std::string out;
  };
  const Case cases[] = {
      {0, "a\0b"s},            // the break arrives as a NUL
      {PARMRK, "a\xff\0\0b"s}, // flagged
      {IGNPAR, "a\0b"s},       // not dropped as an error would be
      {IGNBRK, "ab"},
      {IGNBRK | BRKINT, "ab"},
      {BRKINT, "ab"}, // M_BREAK goes up instead
  };
  qd_line* lp = open_port(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iflag);
    locked([&] { lp->tty.t_iflag = c.iflag; });
    EXPECT_EQ(receive(0, FAS_ST_BREAK, "a\0b"s), c.out);
    EXPECT_EQ(grants(), 1u);
  }
}

// A break with BRKINT throws queued output away up to the first ioctl, which then runs.
TEST_F(LineInput, BreakInterruptFlushesQueuedOutput) {
  qd_line* lp = open_port(0, 115200, BRKINT);
  ASSERT_TRUE(ioctl(0, TCXONC, TCOOFF).ok());
  write(0, "never sent");
  termios t{};
  auto task = kernel_.spawn([&] { EXPECT_TRUE(file(0).ioctl(TCSETSW, &t).ok()); });
  kernel_.settle();
  EXPECT_FALSE(task->done()) << "waits behind the data";
  answer(fas_answer(FAS_RECV, 0, FAS_ST_BREAK, "\0"s));
  EXPECT_TRUE(task->join());
  EXPECT_EQ(lp->tty.t_writeq->q_first, nullptr);
  locked([&] {
    lp->qdl_flags &= ~QDL_STOPPED;
    qdf_process_wrq(lp->tty.t_writeq);
  });
  EXPECT_TRUE(take_commands(FAS_SEND).empty());
}

// The stream head fills up: grants stop and are retried every tenth of a second; once the
// reader catches up they resume, and every byte arrives once and in order.
TEST_F(LineInput, FullReadSideRetriesWithoutLosingData) {
  qd_line* lp = open_port(0);
  const std::string data = pattern(5 * kemu::kHeadHiwat); // fills the read side often
  std::string got;
  std::size_t fed = 0;
  int stalls = 0;
  answer(fas_answer(FAS_RECV, 0, 0, data.substr(0, 1000))); // the enable's grant
  fed = 1000;
  while (fed < data.size()) {
    const std::size_t g = grants();
    if (g == 0) {
      ++stalls;
      EXPECT_NE(lp->restart_tid, nullptr);
      kernel_.advance(hz); // ten retries, all finding the stream full
      EXPECT_EQ(grants(), 0u);
      got += read_all(0);
      kernel_.advance(hz / 10);
      continue;
    }
    ASSERT_EQ(g, 1u) << "one grant outstanding at most";
    const std::size_t n = std::min<std::size_t>(1000, data.size() - fed);
    answer(fas_answer(FAS_RECV, 0, 0, data.substr(fed, n)));
    fed += n;
  }
  got += read_all(0);
  EXPECT_EQ(got, data);
  EXPECT_GT(stalls, 0);
}

TEST_F(LineInput, StopInputDefersTheGrantUntilStart) {
  qd_line* lp = open_port(0);
  ASSERT_TRUE(ioctl(0, TCXONC, TCIOFF).ok());
  std::vector<FasCmd> cmds = take_commands();
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(Bytes(cmds[0].bytes.begin(), cmds[0].bytes.begin() + 5),
            (Bytes{FAS_INPUT_CTRL, 0, 0, 1, 0}));
  EXPECT_EQ(receive(0, 0, "x"), "x");
  kernel_.advance(hz);
  EXPECT_EQ(grants(), 0u);
  EXPECT_NE(lp->qdl_flags & QDL_RESTART_DEFER, 0u);

  ASSERT_TRUE(ioctl(0, TCXONC, TCION).ok());
  cmds = take_commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(Bytes(cmds[0].bytes.begin(), cmds[0].bytes.begin() + 5),
            (Bytes{FAS_INPUT_CTRL, 0, 0, 0, 1}));
  EXPECT_EQ(Bytes(cmds[1].bytes.begin(), cmds[1].bytes.begin() + 4), (Bytes{FAS_RECV, 0, 0x80, 1}));
  EXPECT_EQ(lp->qdl_flags & (QDL_STOPI | QDL_RESTART_DEFER), 0u);
}

TEST_F(LineInput, LinesThatGetNoGrant) {
  qd_line* printer = open_port(kPrinterPort);
  locked([&] { qdf_start_input(printer); });
  kernel_.advance(hz);
  EXPECT_EQ(grants(), 0u);

  qd_line* lp = open_port(0);
  for (std::uint32_t flags : {QDL_DISABLE_PEND | QDL_ENABLED, std::uint32_t{0}}) {
    locked([&] { lp->qdl_flags = QDL_INITDEINIT | flags; });
    EXPECT_EQ(receive(0, 0, "lost"), "");
    kernel_.advance(hz);
    EXPECT_EQ(grants(), 0u);
  }

  // Data for a line that is not open is dropped; the grant waits for a read side.
  locked([&] { lp->qdl_flags = QDL_INITDEINIT | QDL_ENABLED; });
  close_port(0);
  answer(fas_answer(FAS_RECV, 0, 0, "nobody"));
  kernel_.advance(hz);
  EXPECT_EQ(grants(), 0u);
  EXPECT_NE(lp->restart_tid, nullptr);
}

// Neither an exhausted pool nor a message shortage may end the grant chain.
TEST_F(LineInput, ShortagesDoNotEndTheChain) {
  qd_line* lp = open_port(0);
  kemu::fail_allocb_nth(1);
  EXPECT_EQ(receive(0, 0, "x"), "");
  EXPECT_NE(console().find("Orvane vrn3 line 0: Couldn't get recv mesg buf\n"), std::string::npos);
  EXPECT_EQ(grants(), 1u);

  std::vector<qd_pkt*> held = exhaust_pool();
  EXPECT_EQ(receive(0, 0, "y"), "y");
  EXPECT_NE(lp->restart_tid, nullptr);
  refill_pool(held);
  kernel_.advance(hz / 10);
  EXPECT_EQ(grants(), 1u);
  EXPECT_EQ(lp->restart_tid, nullptr);
  console();
}

// A retry never outlives its line's state: it ends when the line goes offline, does
// nothing once cancelled, and a cancelled one that already started leaves the retry armed
// after it to run at its own time.
TEST_F(LineInput, RetryEndsAndCancels) {
  qd_line* lp = open_port(0);
  // A retry armed because no packet could be had for the grant (unit mutex held).
  auto arm_locked = [&] {
    std::vector<qd_pkt*> held = exhaust_pool();
    qdf_start_input(lp);
    refill_pool(held);
    EXPECT_NE(lp->restart_tid, nullptr);
  };
  auto arm = [&] { locked(arm_locked); };

  arm();
  locked([&] { qdf_line_offline(lp); });
  kernel_.advance(hz);
  EXPECT_EQ(grants(), 0u);
  EXPECT_EQ(lp->restart_tid, nullptr);
  locked([&] { lp->qdl_flags &= ~QDL_OFFLINE; });

  arm();
  locked([&] { qdf_cancel_restart_input(lp); });
  kernel_.advance(hz);
  EXPECT_EQ(grants(), 0u);

  // The retry fires while the unit mutex is held; meanwhile it is cancelled and a new one
  // armed. The old one must neither grant nor cut the new one's time short.
  arm();
  const clock_t due = kernel_.lbolt() + hz / 10;
  auto holder = kernel_.spawn([&] {
    mutex_enter(&up_->unit_mutex);
    {
      kemu::SleepWithLocksHeld sleeping;
      delay(hz / 10 + 5);
    }
    qdf_cancel_restart_input(lp);
    arm_locked();
    mutex_exit(&up_->unit_mutex);
  });
  ASSERT_TRUE(holder->join());
  kernel_.settle();
  EXPECT_GT(kernel_.lbolt(), due);
  EXPECT_EQ(grants(), 0u);
  kernel_.advance(hz / 10 - 1);
  EXPECT_EQ(grants(), 0u);
  kernel_.advance(1);
  EXPECT_EQ(grants(), 1u);
  kernel_.advance(hz);
  EXPECT_EQ(grants(), 0u);
  console();
}

} // namespace
} // namespace lineio_test
