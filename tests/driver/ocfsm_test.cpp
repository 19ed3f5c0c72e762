// The open/close machine: dial-in and dial-out arbitration, the carrier wait, guard delays
// after a close, and what happens to inputs the table has no place for.
#include "openclose_fixture.h"

namespace {

class OcFsmTest : public OpenCloseFixture {
protected:
  void SetUp() override {
    OpenCloseFixture::SetUp();
    run([&] {
      u_ = &lanvara();
      lp_ = port(*u_, 5);
      // Distinct delays, so that each rule shows which one it took.
      lp_->dtrdel = 150;
      lp_->grddel = 30;
      u_->start_serving();
    });
  }

  int open(Node node, bool nonblock, LineStream* s = nullptr) {
    int err = -1;
    run([&] { err = open_line(lp_, node, nonblock, s); });
    return err;
  }
  void close(Node node) {
    run([&] { close_line(lp_, node); });
  }
  // A blocking dial-in open in a task of its own; its errno lands in *err.
  std::unique_ptr<kemu::Kernel::Task> blocking_open(int* err) {
    *err = -1;
    return kernel_.spawn([this, err] { *err = open_line(lp_, Node::dialin, false); }, "getty");
  }
  std::size_t count(unsigned char op) const { return u_->seen(op, 5).size(); }
  void wait_guard() {
    ASSERT_TRUE(kernel_.run_until([&] { return (lp_->qdl_flags & QDL_BUSY) == 0; }));
  }

  ScriptedUnit* u_ = nullptr;
  qd_line* lp_ = nullptr;
};

TEST_F(OcFsmTest, DialinOpensShareOneInitialisationAndTheCloseDeinitialises) {
  ASSERT_EQ(open(Node::dialin, true), 0);
  ASSERT_EQ(open(Node::dialin, true), 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
  EXPECT_EQ(count(FAS_ENABLE), 1u);
  EXPECT_EQ(u_->unit()->qdu_enabled_lines, 1);
  EXPECT_EQ(lp_->qdl_flags & (QDL_ENABLED | QDL_INITDEINIT | QDL_OFFLINE),
            QDL_ENABLED | QDL_INITDEINIT);

  close(Node::dialin);
  EXPECT_EQ(lp_->oc_state, OC_CLOSED);
  EXPECT_EQ(count(FAS_DISABLE), 1u);
  EXPECT_EQ(lp_->qdl_flags & (QDL_ENABLED | QDL_INITDEINIT), 0u);
  EXPECT_EQ(u_->unit()->qdu_enabled_lines, 0);
}

TEST_F(OcFsmTest, GuardDelayAfterCloseByMode) {
  struct Case {
    const char* name;
    Node node;
    bool clocal;
    bool softcar;
    clock_t guard;
  };
  const Case cases[] = {
      {"modem dial-in", Node::dialin, false, false, 150},
      {"CLOCAL dial-in", Node::dialin, true, false, 30},
      {"soft carrier dial-in", Node::dialin, false, true, 30},
      {"dial-out", Node::dialout, true, false, 150},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run([] { qd_systime += 15; }); // past the dial-out guard band of the previous close
    ASSERT_EQ(open(c.node, true), 0);
    locked(lp_, [&] {
      if (c.clocal) {
        lp_->tty.t_cflag |= CLOCAL;
      }
      if (c.softcar) {
        lp_->qdl_flags |= QDL_LOCAL;
      }
    });
    const std::size_t enables = count(FAS_ENABLE);
    close(c.node);
    const clock_t closed = kernel_.lbolt();
    EXPECT_NE(lp_->qdl_flags & QDL_BUSY, 0u);

    // A reopen waits out the guard: it reaches the unit only when the line is let go.
    int err = -1;
    auto t = kernel_.spawn([&] { err = open_line(lp_, Node::dialin, true); });
    kernel_.advance(c.guard - 1);
    EXPECT_FALSE(t->done());
    EXPECT_EQ(count(FAS_ENABLE), enables);
    EXPECT_NE(lp_->qdl_flags & QDL_BUSY, 0u);
    ASSERT_TRUE(t->join());
    EXPECT_EQ(err, 0);
    const auto en = u_->seen(FAS_ENABLE, 5);
    ASSERT_EQ(en.size(), enables + 1);
    EXPECT_LE(en.back().at - closed, c.guard + 1);

    locked(lp_, [&] { lp_->qdl_flags &= ~QDL_LOCAL; });
    close(Node::dialin);
    wait_guard();
  }
}

TEST_F(OcFsmTest, DialinAndDialoutExcludeEachOther) {
  ASSERT_EQ(open(Node::dialin, true), 0);
  EXPECT_EQ(open(Node::dialout, true), EBUSY);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
  EXPECT_NE(lp_->qdl_flags & QDL_ENABLED, 0u);
  close(Node::dialin);
  wait_guard();

  // A dial-out open needs more than 14 seconds after the dial-in close.
  run([] { qd_systime += 15; });
  ASSERT_EQ(open(Node::dialout, true), 0);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT);
  EXPECT_EQ(open(Node::dialin, true), EBUSY);
  locked(lp_, [&] { lp_->tty.t_cflag |= CLOCAL; });
  EXPECT_EQ(open(Node::dialin, false), EBUSY);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT);
  EXPECT_EQ(count(FAS_ENABLE), 2u);
  EXPECT_EQ(lp_->open_error, 0);
}

TEST_F(OcFsmTest, BlockingDialinWaitsForCarrier) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(50);
  EXPECT_FALSE(t->done());
  EXPECT_EQ(lp_->oc_state, OC_WAIT_CARRIER);
  EXPECT_NE(lp_->qdl_flags & QDL_ENABLED, 0u);
  // DTR and RTS are up while it waits: a modem can answer.
  EXPECT_EQ(lp_->modem_bits & (TIOCM_DTR | TIOCM_RTS),
            static_cast<std::uint32_t>(TIOCM_DTR | TIOCM_RTS));

  run([&] { u_->set_carrier(5, true); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
  EXPECT_NE(lp_->qdl_flags & QDL_DIALIN_OPEN, 0u);
}

TEST_F(OcFsmTest, SignalEndsTheCarrierWaitAndDeinitialises) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(50);
  ASSERT_FALSE(t->done());
  kernel_.post_signal(*t);
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, EINTR);
  EXPECT_EQ(lp_->oc_state, OC_CLOSED);
  EXPECT_EQ(count(FAS_DISABLE), 1u);
  EXPECT_EQ(lp_->qdl_flags & QDL_ENABLED, 0u);
  // Held for the modem line's guard delay like any close.
  EXPECT_NE(lp_->qdl_flags & QDL_BUSY, 0u);
  wait_guard();
}

TEST_F(OcFsmTest, DialoutWhileAnOpenWaitsThenItsCloseReinitialisesForTheWaiter) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(50);
  ASSERT_EQ(lp_->oc_state, OC_WAIT_CARRIER);

  ASSERT_EQ(open(Node::dialout, true), 0);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT_WAITER);
  // The dial-out user has the line even with carrier: the waiter keeps waiting.
  run([&] { u_->set_carrier(5, true); });
  kernel_.advance(20);
  EXPECT_FALSE(t->done());
  run([&] { u_->set_carrier(5, false); });
  kernel_.advance(5);

  const std::size_t enables = count(FAS_ENABLE);
  const clock_t closed = kernel_.lbolt();
  close(Node::dialout);
  // Disabled, held for the dial-out guard delay, enabled again for the waiter.
  EXPECT_EQ(lp_->oc_state, OC_WAIT_CARRIER);
  EXPECT_EQ(count(FAS_DISABLE), 1u);
  EXPECT_EQ(count(FAS_ENABLE), enables + 1);
  EXPECT_GE(kernel_.lbolt() - closed, 150);
  EXPECT_NE(lp_->qdl_flags & QDL_ENABLED, 0u);
  kernel_.advance(20);
  EXPECT_FALSE(t->done());

  run([&] { u_->set_carrier(5, true); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
}

TEST_F(OcFsmTest, BlockingDialinBehindADialoutAndASignalThatEndsIt) {
  run([] { qd_systime += 15; });
  ASSERT_EQ(open(Node::dialout, true), 0);
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(20);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT_WAITER);
  EXPECT_FALSE(t->done());

  // A signal ends the wait; the dial-out open keeps the line.
  kernel_.post_signal(*t);
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, EINTR);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT);
  EXPECT_NE(lp_->qdl_flags & QDL_ENABLED, 0u);
  EXPECT_EQ(count(FAS_DISABLE), 0u);
}

TEST_F(OcFsmTest, BlockingDialinWaitsForTheDialoutToCloseThenForCarrier) {
  ASSERT_EQ(open(Node::dialout, true), 0);
  run([&] { u_->set_carrier(5, true); });
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(50);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT_WAITER);
  EXPECT_FALSE(t->done()); // carrier is the dial-out's

  run([&] { u_->set_carrier(5, false); });
  kernel_.advance(2);
  close(Node::dialout);
  EXPECT_EQ(lp_->oc_state, OC_WAIT_CARRIER);
  kernel_.advance(50);
  EXPECT_FALSE(t->done());
  run([&] { u_->set_carrier(5, true); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
  EXPECT_EQ(count(FAS_ENABLE), 2u);
}

TEST_F(OcFsmTest, SecondDialinOpenWhileOneWaitsIsRefusedAndTheWaiterGoesOn) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(20);
  ASSERT_EQ(lp_->oc_state, OC_WAIT_CARRIER);
  EXPECT_EQ(open(Node::dialin, true), EBUSY);
  int err2 = 0;
  auto t2 = blocking_open(&err2);
  ASSERT_TRUE(t2->join());
  EXPECT_EQ(err2, EBUSY);
  EXPECT_EQ(lp_->oc_state, OC_WAIT_CARRIER);

  // Behind a dial-out open too.
  ASSERT_EQ(open(Node::dialout, true), 0);
  EXPECT_EQ(open(Node::dialin, true), EBUSY);
  EXPECT_EQ(open(Node::dialin, false), EBUSY);
  EXPECT_EQ(lp_->oc_state, OC_DIALOUT_WAITER);
  close(Node::dialout);
  EXPECT_EQ(lp_->oc_state, OC_WAIT_CARRIER);

  run([&] { u_->set_carrier(5, true); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
  EXPECT_EQ(messages(), "");
}

TEST_F(OcFsmTest, LineOfflineCompletesACarrierWait) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(20);
  ASSERT_FALSE(t->done());
  locked(lp_, [&] { qdf_line_offline(lp_); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
  // The open, once it succeeds, finds the line offline: the next open is refused until the
  // line is closed.
  EXPECT_EQ(open(Node::dialin, true), EBUSY);
}

TEST_F(OcFsmTest, SoftCarrierReleasesACarrierWait) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(20);
  ASSERT_FALSE(t->done());
  locked(lp_, [&] {
    lp_->tty.t_flags |= TS_SOFTCAR;
    qdf_setsoftcarr(lp_);
  });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, 0);
  EXPECT_EQ(lp_->oc_state, OC_OPEN);
}

TEST_F(OcFsmTest, TrapEntryReportsPausesAndFailsWithAnErrno) {
  ASSERT_EQ(open(Node::dialin, true), 0);
  messages();
  int r = -1;
  const clock_t before = kernel_.lbolt();
  locked(lp_, [&] { r = qdf_oc_manager(lp_, OC_IN_CLOSE_DIALOUT); });
  EXPECT_EQ(r, OC_FAILED);
  EXPECT_EQ(kernel_.lbolt() - before, 10 * hz);
  EXPECT_EQ(lp_->open_error, EIO);
  EXPECT_EQ(lp_->last_oc_state, OC_OPEN);
  EXPECT_EQ(lp_->oc_state, OC_CLOSED);
  EXPECT_EQ(lp_->qdl_flags & QDL_BUSY, 0u);
  EXPECT_EQ(messages(), "Orvane vrn0 line 5: qdf_oc_fsm: trapping input 7\n\n"
                        "Orvane Lanvara/QMX: trap in qdf_oc_action: last_oc_state=1\n");
}

TEST_F(OcFsmTest, WaiterFailsWhenTheLineCannotBeReinitialised) {
  int err = 0;
  auto t = blocking_open(&err);
  kernel_.advance(20);
  ASSERT_EQ(open(Node::dialout, true), 0);
  run([&] { u_->set_status(FAS_ENABLE, ERR_UNKNOWN); });
  close(Node::dialout);
  EXPECT_EQ(lp_->oc_state, OC_CLOSED);
  ASSERT_TRUE(t->join());
  EXPECT_NE(err, 0);
  EXPECT_EQ(lp_->qdl_flags & (QDL_ENABLED | QDL_BUSY), 0u);
}

TEST_F(OcFsmTest, FailedInitialisationEndsClosedWithNoDevice) {
  run([&] { u_->set_status(FAS_ENABLE, ERR_UNKNOWN); });
  EXPECT_EQ(open(Node::dialin, true), ENODEV);
  EXPECT_EQ(lp_->oc_state, OC_CLOSED);
  EXPECT_EQ(lp_->open_error, 0);
  int err = 0;
  auto t = blocking_open(&err);
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, ENODEV);
  run([] { qd_systime += 15; });
  EXPECT_EQ(open(Node::dialout, true), EBUSY);
  EXPECT_EQ(lp_->oc_state, OC_CLOSED);
  EXPECT_EQ(lp_->qdl_flags & (QDL_ENABLED | QDL_BUSY | QDL_INITDEINIT), 0u);
}

} // namespace

namespace {

// At unload the guard wake-up of a line closed just before must not fire into the freed
// record: it is cancelled, and the line let go at once.
TEST_F(OcFsmTest, GuardWakeupCancelledForUnload) {
  ASSERT_EQ(open(Node::dialin, true), 0);
  close(Node::dialin);
  ASSERT_NE(lp_->qdl_flags & QDL_BUSY, 0u);
  locked(lp_, [&] { qdf_guard_cancel(lp_); });
  EXPECT_EQ(lp_->qdl_flags & QDL_BUSY, 0u);
  EXPECT_EQ(lp_->edp_tid, nullptr);
  // Nothing of it fires later: a mark that the wake-up would clear stays.
  locked(lp_, [&] { lp_->qdl_flags |= QDL_BUSY; });
  kernel_.advance(lp_->dtrdel + 10);
  EXPECT_NE(lp_->qdl_flags & QDL_BUSY, 0u);
  locked(lp_, [&] { lp_->qdl_flags &= ~QDL_BUSY; });
}

// The wake-up already running, held up on the unit mutex: the cancel waits for it.
TEST_F(OcFsmTest, GuardCancelWaitsForARunningWakeup) {
  ASSERT_EQ(open(Node::dialin, true), 0);
  close(Node::dialin);
  const clock_t due = kernel_.lbolt() + lp_->dtrdel;
  kernel_.advance(lp_->dtrdel - 1);
  bool cancelled = false;
  auto t = kernel_.spawn([&] {
    mutex_enter(lp_->unit_mutex);
    {
      kemu::SleepWithLocksHeld hold;
      delay(2); // across the wake-up's tick, which then waits for the mutex
    }
    qdf_guard_cancel(lp_);
    cancelled = true;
    mutex_exit(lp_->unit_mutex);
  });
  ASSERT_TRUE(t->join());
  EXPECT_TRUE(cancelled);
  EXPECT_GT(kernel_.lbolt(), due);
  EXPECT_EQ(lp_->edp_tid, nullptr);
  EXPECT_EQ(lp_->qdl_flags & QDL_BUSY, 0u);
}

} // namespace
