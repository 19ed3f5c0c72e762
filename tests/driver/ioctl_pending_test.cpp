// Ioctls held until the unit answers: completion by opcode and status, the result record,
// the 60-second watchdog, a busy slot, and cleanup when nobody is left to answer.
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "line_fixture.h"

namespace lineio_test {
namespace {

constexpr std::uint32_t kModemBits = TIOCM_DTR | TIOCM_RTS | TIOCM_CAR;

class PendingIoctl : public LineFixture {
protected:
  void SetUp() override {
    LineFixture::SetUp();
    lp_ = open_port(0);
    prime(lp_);
  }

  // Leaves the line so that each request below makes the unit do something: TIOCMSET 0
  // lowers DTR and RTS, TCSETS sends parameters again. The handlers then park the request.
  void prime(qd_line* lp) {
    locked([&] {
      lp->modem_bits = kModemBits;
      lp->last_params[0] = 255;
    });
    take_commands();
  }

  // An I_STR ioctl on the port from a task of its own (time limit in seconds, -1 none);
  // its result lands in *r and its reply data in value_.
  std::unique_ptr<kemu::Kernel::Task> issue(int cmd, kemu::IoResult* r, unsigned port = 0,
                                            int limit = -1) {
    auto task = kernel_.spawn([this, cmd, r, port, limit] {
      value_ = 0;
      termios t{};
      t.c_cflag = CS8 | CREAD | B19200;
      strioctl sio{cmd, limit, sizeof value_, reinterpret_cast<char*>(&value_)};
      if (cmd == TCSETS || cmd == TCSETSW) {
        sio = strioctl{cmd, limit, sizeof t, reinterpret_cast<char*>(&t)};
      }
      *r = file(port).ioctl(I_STR, &sio);
    });
    kernel_.settle();
    return task;
  }
  // The unit's answer to what the parked ioctl sent.
  void unit_answers(unsigned char op, unsigned char status, qd_line* lp = nullptr) {
    lp = lp != nullptr ? lp : lp_;
    if (op == FAS_STAT_CHG) {
      locked([&] { qdf_utility_ioctl_wrapup(lp, op, status); });
    } else {
      answer(fas_answer(op, lp->line_num, status));
    }
  }
  bool parked(const qd_line* lp = nullptr) const {
    lp = lp != nullptr ? lp : lp_;
    return lp->getmdm != nullptr || lp->setmdm != nullptr || lp->termio_mesg != nullptr;
  }

  qd_line* lp_ = nullptr;
  std::uint32_t value_ = 0;
};

TEST_F(PendingIoctl, CompletedByTheAnswer) {
  struct Case {
    int cmd;
    unsigned char op, status;
    int error;
  };
  const Case cases[] = {
      {TIOCMSET, FAS_SET_MODEM, 0, 0},        {TIOCMSET, FAS_SET_MODEM, 2, EIO},
      {TCSETS, FAS_SET_PARAMS, 0, 0},         {TCSETS, FAS_SET_PARAMS, 2, EINVAL},
      {TCSETS, FAS_EXT_PARAMS, 0x82, EINVAL}, {TIOCMGET, FAS_STAT_CHG, 0, 0},
      {TIOCMGET, FAS_STAT_CHG, 1, ENXIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.cmd << " answered " << int{c.status});
    prime(lp_);
    kemu::IoResult r;
    auto task = issue(c.cmd, &r);
    ASSERT_TRUE(parked());
    EXPECT_FALSE(task->done());
    unit_answers(c.op, c.status);
    ASSERT_TRUE(task->join());
    EXPECT_EQ(r.error, c.error);
    EXPECT_FALSE(parked());
    EXPECT_EQ(lp_->qdl_flags & QDL_UTIL_WAIT, 0u);
    if (c.cmd == TIOCMGET && c.error == 0) {
      EXPECT_EQ(value_, kModemBits);
    }
  }
  kernel_.advance(61 * hz);
  EXPECT_EQ(lp_->qdl_flags & QDL_OFFLINE, 0u) << "a completed ioctl's watchdog is gone";
  console();
}

// The answer a parked ioctl gets is recorded in the ring of the line's unit, whichever ring
// the line's own records go to.
TEST_F(PendingIoctl, AnswersAreRecordedInTheUnitsRing) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << "no tracer in this build";
  }
  struct Case {
    int cmd;
    unsigned char op, status;
    const char* record;
  };
  const Case cases[] = {
      {TCSETS, FAS_SET_PARAMS, 0, "ACK\n"},
      {TCSETS, FAS_SET_PARAMS, 2, "NAK(16)\n"},
      {TIOCMSET, FAS_SET_MODEM, 1, "NAK(05)\n"},
      {TIOCMGET, FAS_STAT_CHG, 1, "NAK(06)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    prime(lp_);
    kemu::IoResult r;
    auto task = issue(c.cmd, &r);
    ASSERT_TRUE(parked());
    const qd_trace_ring* ring = qd_unit_ring(up_);
    const char* from = ring->cursor;
    unit_answers(c.op, c.status);
    ASSERT_TRUE(task->join());
    // What the ring took while the answer was handled.
    const char* to = ring->cursor;
    const char* end = ring->end;
    const std::string since =
        to >= from ? std::string(from, to) : std::string(from, end) + std::string(ring->data, to);
    EXPECT_NE(since.find(c.record), std::string::npos) << since;
  }
}

// The transparent form gets its result through a copy-out; no message: EIO.
TEST_F(PendingIoctl, ModemStatusRecord) {
  kemu::IoResult r;
  auto task = kernel_.spawn([&] { r = file(0).ioctl(TIOCMGET, &value_); });
  kernel_.settle();
  unit_answers(FAS_STAT_CHG, 0);
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(value_, kModemBits);

  task = issue(TIOCMGET, &r);
  kemu::fail_allocb_nth(1);
  unit_answers(FAS_STAT_CHG, 0);
  ASSERT_TRUE(task->join());
  EXPECT_EQ(r.error, EIO);
}

TEST_F(PendingIoctl, WatchdogAnswersAndTakesTheLineOffline) {
  struct Case {
    int cmd;
    int error;
    unsigned char late_op;
  };
  const Case cases[] = {{TIOCMGET, EIO, FAS_STAT_CHG}, {TIOCMSET, 0, FAS_SET_MODEM}};
  for (unsigned port = 0; port < std::size(cases); ++port) {
    const Case& c = cases[port];
    SCOPED_TRACE(c.cmd);
    qd_line* lp = port == 0 ? lp_ : open_port(port);
    prime(lp);
    kemu::IoResult r;
    auto task = issue(c.cmd, &r, port);
    kernel_.advance(60 * hz - 1);
    EXPECT_FALSE(task->done());
    kernel_.advance(1);
    ASSERT_TRUE(task->join());
    EXPECT_EQ(r.error, c.error);
    EXPECT_NE(lp->qdl_flags & QDL_OFFLINE, 0u);
    EXPECT_NE(file(port).poll() & kemu::kPollHup, 0u);
    EXPECT_FALSE(parked(lp));
    unit_answers(c.late_op, 0, lp); // too late: nothing left to answer
    EXPECT_FALSE(parked(lp));
  }
  console();
}

// The unit answers while the watchdog's callback waits for the mutexes: the late callback
// must not take the line offline.
TEST_F(PendingIoctl, WatchdogThatLosesTheRace) {
  kemu::IoResult r;
  auto task = issue(TIOCMSET, &r);
  auto holder = kernel_.spawn([&] {
    mutex_enter(&up_->unit_mutex);
    {
      kemu::SleepWithLocksHeld sleeping;
      delay(60 * hz + 5);
    }
    answer_locked(fas_answer(FAS_SET_MODEM, 0));
    mutex_exit(&up_->unit_mutex);
  });
  ASSERT_TRUE(holder->join());
  ASSERT_TRUE(task->join());
  kernel_.settle();
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(lp_->qdl_flags & QDL_OFFLINE, 0u);
}

// A caller gave up on an ioctl the unit has not answered yet: the next one finds the slot
// taken, waits on the queue, and runs when the first is answered.
TEST_F(PendingIoctl, BusySlotWaits) {
  kemu::IoResult first, second;
  auto t1 = issue(TIOCMSET, &first, 0, 1);
  kernel_.advance(hz);
  ASSERT_TRUE(t1->join());
  EXPECT_EQ(first.error, ETIME);
  take_commands();
  auto t2 = issue(TCSETS, &second);
  EXPECT_NE(lp_->tty.t_writeq->q_first, nullptr);
  EXPECT_TRUE(take_commands().empty()) << "the parameters wait for the slot";
  EXPECT_EQ(lp_->tty.t_cflag & CBAUD, B9600) << "and are not applied before";
  unit_answers(FAS_SET_MODEM, 0);
  ASSERT_NE(lp_->termio_mesg, nullptr);
  EXPECT_EQ(lp_->tty.t_cflag & CBAUD, B19200);
  EXPECT_FALSE(t2->done());
  std::vector<FasCmd> sent = take_commands();
  ASSERT_FALSE(sent.empty());
  unit_answers(sent.front().op(), 0);
  ASSERT_TRUE(t2->join());
  EXPECT_TRUE(second.ok());
}

// Two streams on one line. The dial-in node's TCSETSW finds the slot taken by the dial-out
// node's TIOCMSET, and the unit's answer to that lands while the dispatcher has let the
// mutex go with the TCSETSW in hand. The wrap-up runs only the queue of the stream it
// replies on (the dial-out node's), so the dispatcher must look at the slots again itself.
TEST_F(PendingIoctl, PutBackAfterTheSlotWasFreed) {
  queue_t* dialin_wq = lp_->tty.t_writeq;
  open_dialout(0);
  ASSERT_NE(lp_->tty.t_writeq, dialin_wq);
  // The unit has the parameters the TCSETSW sets: it is acknowledged on its own stream.
  locked([&] {
    lp_->tty.t_cflag = CS8 | CREAD | B19200;
    qdf_note_termios(lp_);
  });
  take_commands();
  kemu::IoResult modem, params;
  auto taker = issue(TIOCMSET, &modem, kDialOut);
  ASSERT_NE(lp_->setmdm, nullptr);

  // Holds the unit mutex and lets the dispatcher have it once; waiting behind it, it is handed
  // the mutex back when the dispatcher lets it go to serve the TCSETSW (a mutex goes to its
  // first waiter), and keeps it a tick more so that the answer queues up behind the dispatcher.
  auto holder = kernel_.spawn([&] {
    const kemu::SleepWithLocksHeld sleeping;
    mutex_enter(&up_->unit_mutex);
    delay(1);
    mutex_exit(&up_->unit_mutex);
    mutex_enter(&up_->unit_mutex);
    delay(1);
    mutex_exit(&up_->unit_mutex);
  });
  kernel_.settle();
  auto putback = issue(TCSETSW, &params, 0, 10);
  kernel_.advance(1);
  ASSERT_EQ(dialin_wq->q_first, nullptr) << "the dispatcher has the TCSETSW in hand";
  // The answer waits behind the dispatcher for the mutex.
  auto unit = kernel_.spawn([&] {
    mutex_enter(&up_->unit_mutex);
    answer_locked(fas_answer(FAS_SET_MODEM, 0));
    mutex_exit(&up_->unit_mutex);
  });
  kernel_.settle();
  ASSERT_NE(lp_->setmdm, nullptr);
  kernel_.advance(1);
  ASSERT_TRUE(holder->join());
  ASSERT_TRUE(unit->join());
  ASSERT_TRUE(taker->join());
  EXPECT_TRUE(modem.ok());
  if constexpr (qd_trace_units) {
    // The order the test is built for: the answer came after the TCSETSW found the slot taken.
    const std::string ring = ring_text(qd_ring_of(up_->qdu_trc));
    const std::size_t busy = ring.find("ioctl still in progress");
    ASSERT_NE(busy, std::string::npos) << ring;
    ASSERT_NE(ring.find("utility_ioctl_wrapup(08,00)", busy), std::string::npos) << ring;
  }

  EXPECT_EQ(dialin_wq->q_first, nullptr) << "the TCSETSW was left on its queue";
  EXPECT_TRUE(putback->done());
  ASSERT_TRUE(putback->join());
  EXPECT_TRUE(params.ok());
}

// Nobody to answer: close drops what is parked, and so does an answer for a line whose
// stream is gone; neither leaves a watchdog behind.
TEST_F(PendingIoctl, CleanupWithoutAStream) {
  auto park_raw = [&](qd_line* lp) {
    locked([&] {
      mblk_t* mp = allocb(sizeof(iocblk), BPRI_MED);
      mp->b_datap->db_type = M_IOCTL;
      mp->b_wptr += sizeof(iocblk);
      ASSERT_EQ(park_ioctl(mp, lp, &qd_line::setmdm), QD_IOC_HELD);
    });
  };
  park_raw(lp_);
  close_port(0);
  EXPECT_FALSE(parked());

  qd_line* never_opened = nullptr;
  in_kernel([&] { never_opened = make_line(up_, 3); });
  park_raw(never_opened);
  locked([&] { qdf_utility_ioctl_wrapup(never_opened, FAS_SET_MODEM, 0); });
  EXPECT_EQ(never_opened->setmdm, nullptr);

  kernel_.advance(61 * hz);
  EXPECT_EQ(lp_->qdl_flags & QDL_OFFLINE, 0u);
}

} // namespace
} // namespace lineio_test
