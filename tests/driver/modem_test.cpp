// Modem signals through FAS_SET_MODEM, DTR held low for the guard time, and soft carrier.
#include "openclose_fixture.h"

namespace {

class ModemTest : public OpenCloseFixture {
protected:
  qd_line* enabled(unsigned line, Node node = Node::dialin) {
    qd_line* lp = nullptr;
    run([&] {
      u_ = &lanvara();
      lp = port(*u_, line);
      lp->dtrdel = 120;
      lp->grddel = 25;
      u_->start_serving();
      EXPECT_EQ(open_line(lp, node, true), 0);
    });
    kernel_.advance(2);
    run([&] { u_->forget(); });
    return lp;
  }
  int sigs(qd_line* lp, int bits, int cmd, int forced = 0) {
    int r = -1;
    locked(lp, [&] { r = qdf_set_modem_sigs(lp, bits, cmd, forced); });
    kernel_.advance(1);
    return r;
  }
  // RTS and DTR operation bytes of the FAS_SET_MODEM commands the unit got.
  std::vector<std::pair<int, int>> ops() const {
    std::vector<std::pair<int, int>> out;
    for (const auto& c : u_->seen(FAS_SET_MODEM)) {
      out.emplace_back(c.b[2], c.b[3]);
    }
    return out;
  }
  ScriptedUnit* u_ = nullptr;
};

constexpr int DTR = TIOCM_DTR;
constexpr int RTS = TIOCM_RTS;

TEST_F(ModemTest, CommandsAndTheModemWord) {
  qd_line* lp = enabled(0);
  ASSERT_EQ(lp->modem_bits & (DTR | RTS), static_cast<std::uint32_t>(DTR | RTS));
  struct Step {
    int bits;
    int cmd;
    int forced;
    int result;
    std::uint32_t word; // DTR and RTS afterwards
    std::pair<int, int> op;
  };
  const Step steps[] = {
      {DTR | RTS, TIOCMBIS, 0, 0, DTR | RTS, {}},           // already set: nothing
      {DTR | RTS, TIOCMBIS, 1, 2, DTR | RTS, {0x81, 0x81}}, // forced: sent all the same
      {RTS, TIOCMBIC, 0, 2, DTR, {0x82, 0x80}},             // RTS down, DTR left alone
      {RTS | TIOCM_CAR, TIOCMSET, 0, 2, RTS, {0x81, 0x82}}, // SET: others ignored
      {0, TIOCMBIS, 0, 0, RTS, {}},                         // no bits
      {DTR, TIOCMGET, 1, 0, RTS, {}},                       // not a setting command
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::to_string(s.bits) + "/" + std::to_string(s.cmd));
    run([&] { u_->forget(); });
    EXPECT_EQ(sigs(lp, s.bits, s.cmd, s.forced), s.result);
    EXPECT_EQ(lp->modem_bits & (DTR | RTS), s.word);
    if (s.result == 2) {
      EXPECT_EQ(ops(), (std::vector<std::pair<int, int>>{s.op}));
    } else {
      EXPECT_TRUE(ops().empty());
    }
  }
  // With HUPCL the operation bytes go without bit 7.
  locked(lp, [&] { lp->qdl_flags |= QDL_HUPCL; });
  run([&] { u_->forget(); });
  EXPECT_EQ(sigs(lp, RTS, TIOCMBIC), 2);
  EXPECT_EQ(ops(), (std::vector<std::pair<int, int>>{{0x02, 0x00}}));
}

TEST_F(ModemTest, NothingForALineThatCannotTakeIt) {
  qd_line* lp = enabled(1);
  for (const std::uint32_t flags : {QDL_DISABLE_PEND, QDL_OFFLINE}) {
    SCOPED_TRACE(flags);
    locked(lp, [&] { lp->qdl_flags |= flags; });
    EXPECT_EQ(sigs(lp, DTR, TIOCMBIC, 1), 0);
    EXPECT_NE(lp->modem_bits & DTR, 0u);
    locked(lp, [&] { lp->qdl_flags &= ~flags; });
  }
  locked(lp, [&] { lp->qdl_flags &= ~QDL_ENABLED; });
  EXPECT_EQ(sigs(lp, DTR, TIOCMBIC, 1), 0);
  EXPECT_TRUE(ops().empty());
}

// DTR raised again only after it has been low for the line's guard time.
TEST_F(ModemTest, DtrHeldLowForTheGuardTime) {
  struct Case {
    const char* name;
    Node node;
    bool clocal;
    bool local;
    clock_t guard;
  };
  const Case cases[] = {
      {"modem dial-in", Node::dialin, false, false, 120},
      {"CLOCAL dial-in", Node::dialin, true, false, 25},
      {"soft carrier dial-in", Node::dialin, false, true, 25},
      {"dial-out, CLOCAL or not", Node::dialout, true, false, 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qd_line* lp = enabled(2, c.node);
    locked(lp, [&] {
      if (c.clocal) {
        lp->tty.t_cflag |= CLOCAL;
      }
      if (c.local) {
        lp->qdl_flags |= QDL_LOCAL;
      }
    });
    ASSERT_EQ(sigs(lp, DTR, TIOCMBIC), 2);
    const clock_t dropped = kernel_.lbolt() - 1;
    kernel_.advance(10);
    clock_t raised = 0;
    auto t = kernel_.spawn([&] {
      mutex_enter(lp->unit_mutex);
      EXPECT_EQ(qdf_set_modem_sigs(lp, DTR, TIOCMBIS, 0), 2);
      raised = ddi_get_lbolt();
      mutex_exit(lp->unit_mutex);
    });
    ASSERT_TRUE(t->join());
    EXPECT_EQ(raised - dropped, c.guard);
    // Once the guard time has passed, raising DTR does not wait.
    ASSERT_EQ(sigs(lp, DTR, TIOCMBIC), 2);
    kernel_.advance(c.guard);
    const clock_t before = kernel_.lbolt();
    locked(lp, [&] { EXPECT_EQ(qdf_set_modem_sigs(lp, DTR, TIOCMBIS, 0), 2); });
    EXPECT_EQ(kernel_.lbolt(), before);
    run([&] { u_->stop_serving(); });
  }
}

TEST_F(ModemTest, LineDisabledWhileDtrWaitsSendsNothing) {
  qd_line* lp = enabled(3);
  ASSERT_EQ(sigs(lp, DTR, TIOCMBIC), 2);
  run([&] { u_->forget(); });
  int r = -1;
  auto t = kernel_.spawn([&] {
    mutex_enter(lp->unit_mutex);
    r = qdf_set_modem_sigs(lp, DTR, TIOCMBIS, 0);
    mutex_exit(lp->unit_mutex);
  });
  kernel_.advance(10);
  locked(lp, [&] { qdf_line_offline(lp); });
  ASSERT_TRUE(t->join());
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(ops().empty());
}

} // namespace
