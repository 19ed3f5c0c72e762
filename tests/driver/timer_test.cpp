// The driver timer: its clock, the 30-second line scan of SCSI units and the keep-alive
// polls of Lanvara units.
#include "transport_fixture.h"

namespace {

using TimerTest = TransportFixture;

// The FAS_INPUT_CTRL polls waiting in the unit's chain (its READ is held, so nothing leaves).
std::vector<Bytes> queued_commands(const qd_unit* up) {
  std::vector<Bytes> out;
  for (const qd_pkt* p = up->pkt_head; p != nullptr; p = p->next) {
    for (const unsigned char* c = p->data; c < p->qd_wptr; c += 8) {
      out.emplace_back(c, c + 8);
    }
  }
  return out;
}

const Bytes kPollLine1 = {FAS_INPUT_CTRL, 1, 0, 0, 0, QD_PKT_FILL, QD_PKT_FILL, QD_PKT_FILL};

// The first run after load scans at once; later scans follow every 30 s. A line whose
// polls stay unanswered gets five and goes offline at the sixth scan, without a sixth poll.
TEST_F(TimerTest, ScansEveryThirtySecondsAndGivesUpOnSilentLines) {
  qd_unit* up = running_unit();
  qd_line* lp = enabled_line(up, 1);
  start_timer();
  kernel_.advance(hz);
  EXPECT_EQ(qd_systime, 1001);
  EXPECT_EQ(queued_commands(up), std::vector<Bytes>{kPollLine1});
  EXPECT_EQ(lp->missed_polls, 1);
  kernel_.advance(29 * hz);
  EXPECT_EQ(queued_commands(up).size(), 1u);
  kernel_.advance(hz + 3 * 30 * hz); // scans at 1031, 1061, 1091, 1121
  EXPECT_EQ(lp->missed_polls, 5);
  EXPECT_EQ(lp->qdl_flags & QDL_OFFLINE, 0u);
  kernel_.advance(30 * hz);
  EXPECT_NE(lp->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_EQ(queued_commands(up).size(), 5u) << "no sixth poll";
}

TEST_F(TimerTest, AnAnswerStartsTheCountAgain) {
  qd_unit* up = running_unit();
  qd_line* lp = enabled_line(up, 1);
  start_timer();
  kernel_.advance(hz + 30 * hz);
  ASSERT_EQ(lp->missed_polls, 2);
  target_->answer({FAS_INPUT_CTRL, 1, 0, 0, 0, 0, 0, 0});
  kernel_.settle();
  EXPECT_EQ(lp->missed_polls, 0);
}

TEST_F(TimerTest, OnlyEnabledLinesArePolledAndWatched) {
  qd_unit* up = running_unit();
  struct Case {
    unsigned line;
    std::uint32_t flags;
    bool polled;
  };
  const std::vector<Case> cases = {
      {1, QDL_ENABLED, true},
      {2, QDL_ENABLED | QDL_DISABLE_PEND, false},
      {3, QDL_ENABLED | QDL_OFFLINE, false},
      {4, 0, false},
  };
  std::vector<qd_line*> lines;
  for (const Case& c : cases) {
    qd_line* lp = enabled_line(up, c.line);
    lp->qdl_flags = c.flags | QDL_SEND_OUT;
    lp->outtmr = 300;
    lines.push_back(lp);
  }
  start_timer();
  kernel_.advance(hz);
  EXPECT_EQ(queued_commands(up), std::vector<Bytes>{kPollLine1});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].line);
    EXPECT_EQ(lines[i]->missed_polls, cases[i].polled ? 1 : 0);
    EXPECT_EQ(lines[i]->wdog_count, cases[i].polled ? 1 : 0) << "output watchdog";
  }
}

TEST_F(TimerTest, UnitsOutsideTheScanAreSkipped) {
  qd_unit* up = running_unit();
  qd_unit* far = nullptr;
  qd_unit* unattached = nullptr;
  run([&] {
    far = make_unit("QMX-16S-115A", 1, 4); // bus 1, with qd_bus_cnt 1
    unattached = make_unit("QMX-16S-115A", 0, 5);
    unattached->qdu_flags &= ~QDU_ATTACHED;
  });
  qd_line* near_line = enabled_line(up, 1);
  qd_line* far_line = enabled_line(far, 1);
  qd_line* unattached_line = enabled_line(unattached, 1);
  start_timer();
  kernel_.advance(hz);
  EXPECT_EQ(near_line->missed_polls, 1);
  EXPECT_EQ(far_line->missed_polls, 0);
  EXPECT_EQ(unattached_line->missed_polls, 0);
  EXPECT_EQ(far->pkt_head, nullptr);
  EXPECT_EQ(unattached->pkt_head, nullptr);
}

TEST_F(TimerTest, LanvaraUnitsArePolledEveryTenSecondsOnTheirOwnSecond) {
  qd_unit* up = lanvara_unit(13);
  up->qdu_flags = QDU_LANVARA | QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP;
  up->qdu_poll_time = qd_systime;
  start_timer();
  kernel_.advance(2 * hz); // 1001, 1002
  EXPECT_TRUE(unit_node_messages(up).empty());
  kernel_.advance(hz); // 1003: 13 mod 10
  const Bytes poll = {FAS_UNIT_POLL, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(unit_node_messages(up), std::vector<Bytes>{poll});
  EXPECT_EQ(up->qdu_poll_sent, kernel_.lbolt());
  kernel_.advance(9 * hz);
  EXPECT_EQ(unit_node_messages(up).size(), 1u);
  kernel_.advance(hz); // 1013
  EXPECT_EQ(unit_node_messages(up).size(), 2u);
}

TEST_F(TimerTest, LanvaraPollRule) {
  struct Case {
    int n;
    int silent; // seconds since the last answer at the visit
    bool offline;
  };
  const std::vector<Case> cases = {{3, 180, false}, {13, 181, true}};
  std::vector<qd_unit*> units;
  for (const Case& c : cases) {
    qd_unit* up = lanvara_unit(c.n);
    up->qdu_flags = QDU_LANVARA | QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP;
    up->qdu_poll_time = 1003 - c.silent;
    units.push_back(up);
  }
  // Never opened, and offline: neither polled nor taken offline.
  qd_unit* unopened = nullptr;
  run([&] { unopened = make_unit("Lanvara8S-115A", 0, 23); });
  unopened->qdu_flags = QDU_LANVARA | QDU_ATTACHED | QDU_INITD;
  qd_unit* offline = lanvara_unit(33);
  offline->qdu_poll_time = 0;

  start_timer();
  kernel_.advance(3 * hz);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].n);
    EXPECT_EQ((units[i]->qdu_flags & QDU_OFFLINE) != 0, cases[i].offline);
    EXPECT_EQ(unit_node_messages(units[i]).size(), cases[i].offline ? 0u : 1u);
  }
  EXPECT_EQ(console(), "Orvane vrnd: Module offline\n");
  EXPECT_EQ(unopened->qdu_flags & QDU_OFFLINE, 0u);
  EXPECT_EQ(unopened->pkt_head, nullptr);
  EXPECT_TRUE(unit_node_messages(offline).empty());
}

TEST_F(TimerTest, StopsWhenTheDriverGoesDown) {
  start_timer();
  kernel_.advance(2 * hz);
  qd_going_down = 1;
  kernel_.advance(hz);
  EXPECT_EQ(qd_timer_running, 0);
  const int now = qd_systime;
  kernel_.advance(5 * hz);
  EXPECT_EQ(qd_systime, now);
}

} // namespace
