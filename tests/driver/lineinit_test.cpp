// Bringing a line up at its unit and down again: the command sequence, every failure of
// the enable, the disable with its watchdogs, and the hold-off after a busy port.
#include <sstream>

#include "openclose_fixture.h"

namespace {

class LineInitTest : public OpenCloseFixture {
protected:
  ScriptedUnit& unit(const char* model = "Lanvara16S-230A") {
    ScriptedUnit* u = nullptr;
    run([&] { u = &lanvara(model); });
    return *u;
  }
  qd_line* line(ScriptedUnit& u, unsigned n) {
    qd_line* lp = nullptr;
    run([&] {
      lp = port(u, n);
      u.start_serving();
    });
    return lp;
  }
  // The open, and the ticks the unit needs to take what the enable queued last.
  int open(qd_line* lp, Node node = Node::dialin) {
    int err = -1;
    run([&] { err = open_line(lp, node, true); });
    kernel_.advance(2);
    return err;
  }
  // The line's console messages (prefix included) are exactly `want`, in that order.
  static void expect_line_messages(const std::string& out, const std::string& prefix,
                                   const std::string& want) {
    std::string got;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
      if (l.rfind(prefix, 0) == 0) {
        got += l + "\n";
      }
    }
    EXPECT_EQ(got, want) << out;
  }
  void close(qd_line* lp, Node node = Node::dialin) {
    run([&] { close_line(lp, node); });
  }
};

TEST_F(LineInitTest, EnableSendsResetEnableParametersStatusInputAndModemSignals) {
  ScriptedUnit& u = unit();
  qd_line* lp = line(u, 3);
  ASSERT_EQ(open(lp), 0);
  // Without "ttymodes": 9600 bit/s, 8 bits, receiver on, XON output flow control.
  EXPECT_EQ(lp->tty.t_iflag, IXON);
  EXPECT_EQ(lp->tty.t_cflag, B9600 | CS8 | CREAD);
  EXPECT_EQ(lp->speed, 9600);
  // A new record is offline; a unit without the reset capability is not reset.
  // (then the status request that the first status answer re-arms)
  EXPECT_EQ(u.opcodes(3),
            (std::vector<unsigned char>{FAS_ENABLE, FAS_EXT_PARAMS, FAS_FLOW_CTRL, FAS_STAT_CHG,
                                        FAS_RECV, FAS_SET_MODEM, FAS_STAT_CHG}));
  EXPECT_EQ(u.seen(FAS_EXT_PARAMS)[0].b, (Cmd{24, 3, 3, 0, 0, 1, 10, 10}));
  EXPECT_EQ(u.seen(FAS_FLOW_CTRL)[0].b, (Cmd{12, 3, 0, 1, 0x11, 0x13, 2302 & 0xff, 2302 >> 8}));
  EXPECT_EQ(u.seen(FAS_STAT_CHG)[0].b[2], 0x84);
  const Cmd recv = u.seen(FAS_RECV)[0].b;
  EXPECT_EQ(recv[2], 0x80);
  EXPECT_EQ(recv[3], 1);
  const Cmd modem = u.seen(FAS_SET_MODEM)[0].b;
  EXPECT_EQ(modem[2], 0x81); // RTS raised, HUPCL clear
  EXPECT_EQ(modem[3], 0x81); // DTR raised
  EXPECT_EQ(lp->qdl_flags & ~QDL_BUSY, QDL_INITDEINIT | QDL_ENABLED | QDL_DIALIN_OPEN);
  EXPECT_EQ(lp->output, &qdf_serial_output);

  // Taken offline, the next enable resets the port first on firmware that can.
  close(lp);
  ASSERT_TRUE(kernel_.run_until([&] { return (lp->qdl_flags & QDL_BUSY) == 0; }));
  locked(lp, [&] { qdf_line_offline(lp); });
  u.unit()->qdu_caps |= QDU_CAP_RESET;
  run([&] { u.forget(); });
  ASSERT_EQ(open(lp), 0);
  const auto ops = u.opcodes(3);
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(ops[0], FAS_RESET);
  EXPECT_EQ(ops[1], FAS_ENABLE);
}

TEST_F(LineInitTest, TtymodesGiveTheLinesSettings) {
  termios modes{};
  modes.c_iflag = IXON | IXOFF;
  modes.c_cflag = B19200 | CS7 | PARENB | CREAD | CRTSCTS;
  dflt_termios = &modes;
  ScriptedUnit& u = unit("Lanvara8S1P-115");
  qd_line* lp = line(u, 1);
  ASSERT_EQ(open(lp), 0);
  EXPECT_EQ(lp->tty.t_cflag, modes.c_cflag);
  EXPECT_EQ(u.seen(FAS_SET_PARAMS)[0].b, (Cmd{11, 1, 2, 0, 2, 1, 0xBB, 0}));
  EXPECT_EQ(u.seen(FAS_FLOW_CTRL)[0].b,
            (Cmd{12, 1, 0x81, 0x81, 0x11, 0x13, 1150 & 0xff, 1150 >> 8}));
  dflt_termios = nullptr;
}

TEST_F(LineInitTest, PrinterPortEnableAsksForPrinterStateAndNoInput) {
  ScriptedUnit& u = unit("Lanvara8S1P-115");
  qd_line* lp = line(u, 8);
  ASSERT_EQ(open(lp), 0);
  EXPECT_EQ(u.seen(FAS_STAT_CHG, 8)[0].b[2], 0x8B);
  EXPECT_TRUE(u.seen(FAS_RECV, 8).empty());
  EXPECT_EQ(lp->qdl_flags & (QDL_PARALLEL | QDL_LOCAL), QDL_PARALLEL | QDL_LOCAL);
}

// Each way an enable can fail, and the few answers it tolerates.
TEST_F(LineInitTest, EnableOutcomes) {
  struct Case {
    const char* name;
    bool reset_cap;
    unsigned char op;    // scripted command
    int status;          // its answer status, or -1 for no answer
    bool flow_silent;    // FAS_FLOW_CTRL not answered either
    int err;             // errno of the open
    clock_t waited;      // ticks the open took at least
    const char* message; // console text after the line prefix, or ""
  };
  const Case cases[] = {
      {"reset not answered", true, FAS_RESET, -1, false, ENODEV, 60 * hz,
       "FAS_RESET error, timed out\n"},
      {"reset: update firmware", true, FAS_RESET, ERR_BAD_CMD, false, 0, 0,
       "FAS_RESET error, time to update firmware!\n"},
      {"reset busy on a Lanvara unit", true, FAS_RESET, ERR_BUSY, false, 0, 0, ""},
      {"reset error", true, FAS_RESET, ERR_UNKNOWN, false, ENODEV, 0,
       "error status 7 on FAS_RESET cmd\n"},
      {"nothing answered", false, FAS_ENABLE, -1, true, ENODEV, 60 * hz, "line enable timed out\n"},
      {"enable not answered", false, FAS_ENABLE, -1, false, ENODEV, 0,
       "FAS_ENABLE didn't complete\n"},
      {"port busy on a Lanvara unit", false, FAS_ENABLE, ERR_BUSY, false, ENODEV, 0, ""},
      {"enable error", false, FAS_ENABLE, ERR_UNKNOWN, false, ENODEV, 0,
       "error status 7 on FAS_ENABLE cmd\n"},
      {"offline counts on newer firmware", true, FAS_ENABLE, FAS_ST_OFFLINE, false, ENODEV, 0,
       "error status 8 on FAS_ENABLE cmd\n"},
      {"offline ignored on older firmware", false, FAS_ENABLE, FAS_ST_OFFLINE, false, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedUnit& u = unit();
    u.unit()->qdu_caps = c.reset_cap ? QDU_CAP_RESET : 0;
    if (c.status < 0) {
      u.silence(c.op);
    } else {
      u.set_status(c.op, static_cast<unsigned char>(c.status));
    }
    u.silence(FAS_FLOW_CTRL, c.flow_silent);
    qd_line* lp = line(u, 0);
    messages();
    const clock_t start = kernel_.lbolt();
    EXPECT_EQ(open(lp), c.err);
    EXPECT_GE(kernel_.lbolt() - start, c.waited);
    EXPECT_LT(kernel_.lbolt() - start, c.waited + hz);
    const std::string prefix = "Orvane vrn0 line 0: ";
    expect_line_messages(messages(), prefix, *c.message != '\0' ? prefix + c.message : "");
    if (c.err != 0) {
      EXPECT_EQ(lp->oc_state, OC_CLOSED);
      EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_INITDEINIT | QDL_BUSY | QDL_OFFLINE),
                QDL_OFFLINE);
      EXPECT_EQ(u.unit()->qdu_enabled_lines, 0);
      EXPECT_EQ(lp->edp_tid, nullptr);
    } else {
      EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_OFFLINE), QDL_ENABLED);
      EXPECT_EQ(u.unit()->qdu_enabled_lines, 1);
    }
    run([&] { u.stop_serving(); });
  }
}

// An enable answer that comes after its open gave up does not mark the line enabled: the
// next open would be refused for good.
TEST_F(LineInitTest, LateEnableAnswerIsIgnored) {
  ScriptedUnit& u = unit();
  u.silence(FAS_ENABLE);
  u.silence(FAS_FLOW_CTRL);
  qd_line* lp = line(u, 0);
  ASSERT_EQ(open(lp), ENODEV);
  locked(lp, [&] { u.answer_now(Cmd{FAS_ENABLE, 0, 0, 0, 0, 0, 0, 0}); });
  EXPECT_EQ(lp->qdl_flags & QDL_ENABLED, 0u);
  u.silence(FAS_ENABLE, false);
  u.silence(FAS_FLOW_CTRL, false);
  EXPECT_EQ(open(lp), 0);
  close(lp);
  run([&] { u.stop_serving(); });
  messages();
}

TEST_F(LineInitTest, DisableAnsweredAtOnceReleasesTheUnit) {
  ScriptedUnit& u = unit();
  qd_line* l0 = line(u, 0);
  qd_line* l1 = line(u, 1);
  ASSERT_EQ(open(l0), 0);
  ASSERT_EQ(open(l1), 0);
  EXPECT_EQ(u.unit()->qdu_enabled_lines, 2);
  locked(l0, [&] { l0->qdl_flags |= QDL_DRAIN_WAIT; });
  close(l0);
  EXPECT_EQ(u.seen(FAS_DISABLE, 0).size(), 1u);
  EXPECT_EQ(l0->qdl_flags & (QDL_ENABLED | QDL_INITDEINIT | QDL_DRAIN_WAIT | QDL_OFFLINE), 0u);
  EXPECT_EQ(l0->modem_bits, 0u);
  EXPECT_EQ(u.unit()->qdu_enabled_lines, 1);
  EXPECT_EQ(messages(), "");
}

// The watchdog on the FAS_DISABLE answer by kind of line: the unit holds the answer while
// output is still queued at the port, until the driver flushes it.
TEST_F(LineInitTest, DisableWatchdogFlushesStuckOutput) {
  struct Case {
    const char* name;
    Node node;
    bool clocal;
    clock_t limit; // seconds
  };
  for (const Case& c :
       {Case{"modem dial-in", Node::dialin, false, 7}, Case{"local dial-in", Node::dialin, true, 4},
        Case{"dial-out", Node::dialout, true, 7}}) {
    SCOPED_TRACE(c.name);
    ScriptedUnit& u = unit();
    qd_line* lp = line(u, 2);
    lp->cltmr = 7;
    lp->lcltmr = 4;
    ASSERT_EQ(open(lp, c.node), 0);
    locked(lp, [&] {
      if (c.clocal) {
        lp->tty.t_cflag |= CLOCAL;
      }
    });
    u.output_stuck(2);
    run([&] { u.forget(); });
    const clock_t start = kernel_.lbolt();
    close(lp, c.node);
    // The flush left at the watchdog's end, and the answer that it freed ended the wait.
    const auto flush = u.seen(FAS_OUTPUT_CTRL, 2);
    ASSERT_EQ(flush.size(), 1u);
    EXPECT_GE(flush[0].at - start, c.limit * hz);
    EXPECT_LE(flush[0].at - start, c.limit * hz + 1);
    EXPECT_LT(kernel_.lbolt() - start, c.limit * hz + 3 * hz);
    EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_OFFLINE), 0u);
    EXPECT_EQ(messages(), "");
    run([&] { u.stop_serving(); });
  }
}

TEST_F(LineInitTest, DisableFailures) {
  struct Case {
    const char* name;
    int status; // -1: never answered
    clock_t waited;
    const char* message;
  };
  for (const Case& c :
       {Case{"never answered", -1, (60 + 3) * hz, "FAS_DISABLE timed out\n"},
        Case{"error status", ERR_UNKNOWN, 0, "error status 7 on FAS_DISABLE cmd\n"}}) {
    SCOPED_TRACE(c.name);
    ScriptedUnit& u = unit();
    qd_line* lp = line(u, 6);
    ASSERT_EQ(open(lp), 0);
    if (c.status < 0) {
      u.silence(FAS_DISABLE);
    } else {
      u.set_status(FAS_DISABLE, static_cast<unsigned char>(c.status));
    }
    // A drain watchdog as a close interrupted by a signal leaves it.
    locked(lp, [&] {
      lp->outtmr = lp->louttmr = 600;
      lp->qdl_flags |= QDL_SEND_OUT;
      qdf_wait_out(lp);
      lp->qdl_flags &= ~QDL_SEND_OUT;
    });
    ASSERT_NE(lp->drain_tid, nullptr);
    messages();
    const clock_t start = kernel_.lbolt();
    close(lp);
    EXPECT_GE(kernel_.lbolt() - start, c.waited);
    EXPECT_LT(kernel_.lbolt() - start, c.waited + hz);
    const std::string prefix = "Orvane vrn0 line 6: ";
    expect_line_messages(messages(), prefix, prefix + c.message);
    EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_INITDEINIT | QDL_OFFLINE), QDL_OFFLINE);
    EXPECT_EQ(lp->edp_tid, nullptr);
    EXPECT_EQ(lp->drain_tid, nullptr);
    // A failed deinitialisation holds no guard delay.
    EXPECT_EQ(lp->qdl_flags & QDL_BUSY, 0u);
    EXPECT_EQ(u.unit()->qdu_enabled_lines, 0);
    run([&] { u.stop_serving(); });
  }
}

// Printers have no close watchdog: the wait for the FAS_DISABLE answer has no limit, but
// it ends when the line or its unit goes offline.
TEST_F(LineInitTest, DisableWithoutWatchdogEndsWhenTheLineGoesOffline) {
  for (const bool whole_unit : {false, true}) {
    SCOPED_TRACE(whole_unit ? "unit offline" : "line offline");
    ScriptedUnit& u = unit("Lanvara8S1P-115");
    qd_line* lp = line(u, 8);
    ASSERT_EQ(open(lp), 0);
    ASSERT_EQ(lp->lcltmr, 0);
    u.silence(FAS_DISABLE);
    run([&] {
      u.stop_serving();
      u.start_serving(hz);
    });
    bool closed = false;
    auto t = kernel_.spawn([&] {
      close_line(lp, Node::dialin);
      closed = true;
    });
    kernel_.advance(400L * hz);
    EXPECT_FALSE(closed);
    EXPECT_EQ(u.seen(FAS_DISABLE, 8).size(), 1u);
    run([&] {
      mutex_enter(&u.unit()->unit_mutex);
      if (whole_unit) {
        qdm_unit_offline(u.unit());
      } else {
        qdf_line_offline(lp);
      }
      mutex_exit(&u.unit()->unit_mutex);
    });
    ASSERT_TRUE(t->join(hz));
    EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_DISABLE_PEND | QDL_INITDEINIT), 0u);
    EXPECT_EQ(lp->oc_state, OC_CLOSED);
    EXPECT_EQ(u.unit()->qdu_enabled_lines, 0);
    run([&] { u.stop_serving(); });
  }
}

// A SCSI unit that reported the port busy holds the line off for 60 seconds after it went
// offline; a signal ends the hold-off and the next attempt starts at once.
TEST_F(LineInitTest, HoldOffAfterABusyPort) {
  ScriptedUnit* u = nullptr;
  qd_line* lp = nullptr;
  run([&] {
    u = &scsi("QMX-16S-115A", 1, 2);
    lp = port(*u, 4);
    u->start_serving();
  });
  start_clock();
  run([&] {
    lp->last_fas_status = ERR_BUSY;
    lp->offline_time = qd_systime - 20;
  });
  int err = -1;
  auto t = kernel_.spawn([&] { err = open_line(lp, Node::dialin, true); });
  kernel_.advance(30 * hz);
  EXPECT_FALSE(t->done());
  EXPECT_TRUE(u->seen(FAS_ENABLE).empty());
  kernel_.post_signal(*t);
  ASSERT_TRUE(t->join());
  EXPECT_EQ(err, ENODEV);
  EXPECT_EQ(lp->offline_time, qd_systime - 61);
  EXPECT_EQ(u->unit()->qdu_offline_time, qd_systime - 61);
  EXPECT_EQ(lp->oc_state, OC_CLOSED);

  const clock_t start = kernel_.lbolt();
  EXPECT_EQ(open(lp), 0);
  EXPECT_LT(kernel_.lbolt() - start, hz);

  // Unheld, the same wait runs out by itself.
  close(lp);
  ASSERT_TRUE(kernel_.run_until([&] { return (lp->qdl_flags & QDL_BUSY) == 0; }));
  run([&] {
    mutex_enter(lp->unit_mutex);
    qdf_line_offline(lp);
    lp->last_fas_status = ERR_BUSY;
    mutex_exit(lp->unit_mutex);
  });
  const int went = qd_systime;
  EXPECT_EQ(open(lp), 0);
  EXPECT_EQ(qd_systime, went + 60);
}

} // namespace

namespace {

// The answer wakes the disable just before its watchdog fires, and the watchdog, already
// started, waits for the mutex behind it: the late watchdog must not outlive the wait and
// mark the line timed out afterwards.
TEST_F(LineInitTest, WatchdogFiringAsTheAnswerArrivesLeavesNothingBehind) {
  ScriptedUnit& u = unit();
  qd_line* lp = line(u, 9);
  lp->cltmr = 5;
  ASSERT_EQ(open(lp), 0);
  run([&] { u.stop_serving(); });
  u.silence(FAS_DISABLE);
  messages();
  bool closed = false;
  auto closer = kernel_.spawn([&] {
    close_line(lp, Node::dialin);
    closed = true;
  });
  kernel_.settle();
  const clock_t due = kernel_.lbolt() + 5 * hz;
  ASSERT_EQ(u.seen(FAS_DISABLE, 9).size(), 0u); // queued, not yet taken
  kernel_.advance(5 * hz - 1);
  auto answerer = kernel_.spawn([&] {
    mutex_enter(&u.unit()->unit_mutex);
    u.serve_locked();
    u.answer_now({FAS_DISABLE, 9, 0});
    kemu::SleepWithLocksHeld hold;
    delay(2); // across the watchdog's tick
    mutex_exit(&u.unit()->unit_mutex);
  });
  ASSERT_TRUE(answerer->join());
  ASSERT_TRUE(closer->join());
  EXPECT_TRUE(closed);
  EXPECT_GT(kernel_.lbolt(), due);
  EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_OFFLINE | QDL_EDP_TIMEOUT), 0u);
  EXPECT_EQ(messages(), "");
  // Only the guard wake-up of the clean close is left, and nothing after it.
  kernel_.advance(10 * hz);
  EXPECT_EQ(lp->qdl_flags & (QDL_EDP_TIMEOUT | QDL_BUSY), 0u);
  EXPECT_EQ(lp->edp_tid, nullptr);
}

} // namespace
