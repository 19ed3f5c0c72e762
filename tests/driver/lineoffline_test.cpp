// A line going offline: the stream is hung up once, output state is dropped, a carrier
// wait completes, and a pod is reported offline once until one of its lines comes back.
#include "openclose_fixture.h"

namespace {

class LineOfflineTest : public OpenCloseFixture {};

TEST_F(LineOfflineTest, OpenLineIsHungUpOnceAndLosesItsOutputState) {
  LineStream* s = stream();
  ScriptedUnit* u = nullptr;
  qd_line* lp = nullptr;
  run([&] {
    u = &lanvara();
    lp = port(*u, 4);
    u->start_serving();
    EXPECT_EQ(open_line(lp, Node::dialin, true, s), 0);
  });
  locked(lp, [&] {
    lp->qdl_flags |= QDL_SEND_OUT | QDL_OUTPUT_ACTIVE | QDL_DRAIN_WAIT | QDL_DRAIN_WANTED;
    qd_systime += 5;
    qdf_line_offline(lp);
  });
  const std::uint32_t dropped =
      QDL_SEND_OUT | QDL_OUTPUT_ACTIVE | QDL_DRAIN_WAIT | QDL_DRAIN_WANTED;
  EXPECT_EQ(lp->qdl_flags & dropped, 0u);
  EXPECT_EQ(lp->qdl_flags & (QDL_OFFLINE | QDL_ENABLED | QDL_CARRIER),
            QDL_OFFLINE | QDL_ENABLED | QDL_CARRIER);
  EXPECT_EQ(lp->modem_bits, 0u);
  EXPECT_EQ(lp->output, &qdf_drain_output);
  EXPECT_EQ(lp->offline_time, qd_systime);
  EXPECT_EQ(s->types, std::vector<unsigned char>{M_HANGUP});

  // Again: only the time moves.
  locked(lp, [&] {
    qd_systime += 7;
    qdf_line_offline(lp);
    qdf_line_offline(nullptr);
  });
  EXPECT_EQ(lp->offline_time, qd_systime);
  EXPECT_EQ(s->types, std::vector<unsigned char>{M_HANGUP});
}

// The line went offline under its open: the close sends nothing to the unreachable port,
// and the next open resets the port before enabling it.
TEST_F(LineOfflineTest, RecoveryAfterGoingOfflineWhileOpen) {
  ScriptedUnit* u = nullptr;
  qd_line* lp = nullptr;
  run([&] {
    u = &lanvara();
    u->unit()->qdu_caps = QDU_CAP_RESET;
    lp = port(*u, 1);
    u->start_serving();
    EXPECT_EQ(open_line(lp, Node::dialin, true), 0);
  });
  kernel_.advance(2);
  locked(lp, [&] { qdf_line_offline(lp); });
  run([&] {
    u->forget();
    close_line(lp, Node::dialin);
  });
  kernel_.advance(2);
  EXPECT_TRUE(u->seen().empty());
  EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_INITDEINIT | QDL_OFFLINE | QDL_BUSY), QDL_OFFLINE);
  EXPECT_EQ(u->unit()->qdu_enabled_lines, 0);

  run([&] { EXPECT_EQ(open_line(lp, Node::dialin, true), 0); });
  const auto ops = u->opcodes(1);
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(ops[0], FAS_RESET);
  EXPECT_EQ(ops[1], FAS_ENABLE);
  EXPECT_EQ(lp->qdl_flags & (QDL_ENABLED | QDL_OFFLINE), QDL_ENABLED);
}

TEST_F(LineOfflineTest, UnitNodeRecordIsOnlyMarked) {
  ScriptedUnit* u = nullptr;
  qd_line* lp = nullptr;
  run([&] {
    u = &lanvara();
    lp = static_cast<qd_line*>(qd_malloc(sizeof(qd_line)));
    lp->unit = u->unit();
    lp->unit_mutex = &u->unit()->unit_mutex;
    lp->line_num = QD_UNITNODE_LINE;
    lp->qdl_flags = QDL_UNITNODE | QDL_ENABLED;
    u->unit()->qdu_unitnode = lp;
  });
  locked(lp, [&] { qdf_line_offline(lp); });
  EXPECT_EQ(lp->qdl_flags, QDL_UNITNODE | QDL_ENABLED | QDL_OFFLINE);
  EXPECT_EQ(lp->output, nullptr);
}

TEST_F(LineOfflineTest, PodReportedOnceUntilOneOfItsLinesIsEnabledAgain) {
  ScriptedUnit* u = nullptr;
  qd_line* l0 = nullptr;
  qd_line* l3 = nullptr;
  qd_line* l20 = nullptr;
  run([&] {
    u = &scsi("QMX-7POD-8S1P-57", 0, 3);
    l0 = port(*u, 0);
    l3 = port(*u, 3);
    l20 = port(*u, 20);
    u->start_serving();
  });
  console();
  // New records are offline already: their first report comes from a line that was up.
  run([&] {
    EXPECT_EQ(open_line(l0, Node::dialin, true), 0);
    EXPECT_EQ(open_line(l3, Node::dialin, true), 0);
    EXPECT_EQ(open_line(l20, Node::dialin, true), 0);
  });
  EXPECT_EQ(messages(), "");

  locked(l0, [&] {
    qdf_line_offline(l0);
    qdf_line_offline(l3);
    qdf_line_offline(l20);
  });
  EXPECT_EQ(messages(),
            "Orvane QMX 0/3: Satellite 0 offline\nOrvane QMX 0/3: Satellite 1 offline\n");
  EXPECT_EQ(u->unit()->qdu_pod_offline, 0x3u);

  // Line 3 comes back (a close that finds it offline, then an open that enables it).
  run([&] { close_line(l3, Node::dialin); });
  kernel_.advance(l3->grddel + 1);
  run([&] { EXPECT_EQ(open_line(l3, Node::dialin, true), 0); });
  EXPECT_EQ(u->unit()->qdu_pod_offline, 0x2u);
  console();
  locked(l3, [&] {
    qdf_line_offline(l3);
    qdf_line_offline(l20);
  });
  EXPECT_EQ(messages(), "Orvane QMX 0/3: Satellite 0 offline\n");
}

} // namespace
