// Bring-up, take-down, going offline, unit lookup and the driver-wide initialisation.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "transport_fixture.h"

namespace {

using UnitOpsTest = TransportFixture;

std::string unit_trace(qd_unit* up) {
  if constexpr (qd_trace_on) {
    return ring_text(qd_unit_ring(up));
  }
  return {};
}

// The record is in the trace as its text stands: the text has no line end of its own, and
// none is added, so the next record follows it directly.
void expect_bare_record(const std::string& trace, const std::string& record) {
  EXPECT_NE(trace.find(record), std::string::npos) << trace;
  EXPECT_EQ(trace.find(record + "\n"), std::string::npos) << trace;
}

TEST_F(UnitOpsTest, FirstBringUpRestartsTheFirmwareWithoutHoldOff) {
  qd_unit* up = scsi_unit();
  const clock_t start = kernel_.lbolt();
  EXPECT_EQ(bring_up(up), 0);
  kernel_.settle();
  std::vector<int> ops;
  for (const auto& s : target_->seen()) {
    ops.push_back(s.cdb.at(0));
  }
  EXPECT_EQ(ops, (std::vector<int>{SCMD_TEST_UNIT_READY, SCMD_SDIAG, SCMD_TEST_UNIT_READY,
                                   SCMD_WRITE, SCMD_READ}));
  EXPECT_EQ(target_->seen()[1].cdb, (Bytes{SCMD_SDIAG, 4, 0, 0, 0, 0})) << "self-test";
  EXPECT_EQ(target_->seen()[1].at, start);
  EXPECT_EQ(target_->seen()[2].at, start + hz / 2);
  EXPECT_EQ(up->qdu_flags & (QDU_OFFLINE | QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE),
            QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE);
  EXPECT_EQ(up->qdu_state, SFSM_RECEIVING);
  EXPECT_EQ(console(), "") << "no \"Module online\" before the unit was ever online";
}

TEST_F(UnitOpsTest, FirstCommand) {
  struct Case {
    const char* model;
    Bytes cmd;
  };
  for (const Case& c : {Case{"QMX-16S-115A", {FAS_GLOBAL, 0, 0, 0, 0, 0, 8, 0}},
                        Case{"QMX2-7POD-8S1P57", {PKT_END, 0, 0, 0, 0, 0, 8, 0}}}) {
    SCOPED_TRACE(c.model);
    qd_unit* up = scsi_unit(c.model);
    ASSERT_EQ(bring_up(up), 0);
    kernel_.settle();
    const auto writes = target_->seen(SCMD_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    Bytes want = c.cmd;
    want.push_back(PKT_END);
    want.push_back(QD_PKT_FILL);
    EXPECT_EQ(writes[0].data, want);
    TearDown();
    SetUp();
  }
}

TEST_F(UnitOpsTest, MaxSendSizeFollowsTheModelSpeed) {
  static const qd_unitinfo fast = {"QMX-TEST-460", 8, 4096, 0x8002F, 0};
  struct Case {
    const qd_unitinfo* row;
    int size;
  };
  qd_unit* up = scsi_unit();
  up->qdu_flags |= QDU_INITD; // nothing but the size changes
  for (const Case& c :
       {Case{qdm_get_unitinfo("QMX-8S-57"), 574}, Case{qdm_get_unitinfo("QMX-16S-115A"), 1150},
        Case{qdm_get_unitinfo("QMX-16S-230NA"), 2302}, Case{&fast, 4606}}) {
    up->qdu_info = c.row;
    EXPECT_EQ(bring_up(up), 0);
    EXPECT_EQ(up->qdu_max_send, c.size) << c.row->name;
  }
  EXPECT_TRUE(target_->seen().empty());
}

TEST_F(UnitOpsTest, OfflineUnitWaitsOutItsHoldOff) {
  start_timer();
  qd_unit* up = scsi_unit();
  up->qdu_flags |= QDU_WAS_ONLINE;
  up->qdu_offline_time = qd_systime - 10;
  const clock_t start = kernel_.lbolt();
  int r = -1;
  auto task = kernel_.spawn([&] {
    mutex_enter(&up->unit_mutex);
    r = qdm_init_unit(up);
    mutex_exit(&up->unit_mutex);
  });
  ASSERT_TRUE(task->join());
  EXPECT_EQ(r, 0);
  ASSERT_FALSE(target_->seen().empty());
  EXPECT_EQ(target_->seen()[0].at - start, 50 * hz);
  EXPECT_NE(console().find("Orvane QMX 0/3: Module online\n"), std::string::npos);
}

TEST_F(UnitOpsTest, SignalEndsTheHoldOff) {
  start_timer();
  qd_unit* up = scsi_unit();
  up->qdu_offline_time = qd_systime - 10;
  int r = -1;
  auto task = kernel_.spawn([&] {
    mutex_enter(&up->unit_mutex);
    r = qdm_init_unit(up);
    mutex_exit(&up->unit_mutex);
  });
  kernel_.advance(5 * hz);
  kernel_.post_signal(*task);
  ASSERT_TRUE(task->join());
  EXPECT_EQ(r, 1);
  EXPECT_EQ(up->qdu_offline_time, qd_systime - 61);
  EXPECT_TRUE(target_->seen().empty());
  if constexpr (qd_trace_on) {
    expect_bare_record(unit_trace(up), "unit holdoff caught signal");
  }
  EXPECT_EQ(up->qdu_flags & QDU_BUSY, 0u);

  // The next attempt starts at once.
  const clock_t now = kernel_.lbolt();
  EXPECT_EQ(bring_up(up), 0);
  ASSERT_FALSE(target_->seen().empty());
  EXPECT_EQ(target_->seen()[0].at, now);
}

TEST_F(UnitOpsTest, FailedBringUpTakesTheUnitOfflineAgain) {
  struct Case {
    std::deque<bool> turs;
    bool diag_fails;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{false, false, false}, false, "Orvane QMX 0/3: module not responding\n"},
      {{}, true, "Orvane QMX 0/3: firmware restart failed\n"},
      {{true, false, false, false, false, false, false},
       false,
       "Orvane QMX 0/3: module not responding after restart\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    qd_unit* up = scsi_unit();
    target_->tur_script = c.turs;
    target_->diag_fails = c.diag_fails;
    qd_systime = 1234;
    EXPECT_EQ(bring_up(up), 1);
    EXPECT_EQ(console(), c.text) << "already offline: no \"Module offline\"";
    EXPECT_EQ(up->qdu_offline_time, 1234);
    EXPECT_EQ(up->qdu_flags & (QDU_OFFLINE | QDU_INITD | QDU_BUSY), QDU_OFFLINE);
    EXPECT_TRUE(target_->seen(SCMD_WRITE).empty());
    TearDown();
    SetUp();
  }
}

TEST_F(UnitOpsTest, LanvaraBringUp) {
  qd_unit* up = lanvara_unit(5);
  std::memcpy(up->qdu_fwrev, "V2.3", 5);
  const unsigned char addr[4] = {10, 1, 2, 3};
  std::memcpy(&up->qdu_ipaddr, addr, 4);
  qd_systime = 2000;
  EXPECT_EQ(bring_up(up), 0);
  EXPECT_EQ(console(), "Orvane vrn5: Lanvara8S-115A (V2.3) module online at 10.1.2.3\n");
  EXPECT_EQ(up->qdu_flags & ~QDU_LANVARA,
            QDU_INITD | QDU_TRANSPORT_UP | QDU_WAS_ONLINE | QDU_ATTACHED);
  EXPECT_EQ(up->qdu_poll_time, 2000);
  EXPECT_EQ(up->qdu_max_send, 1150);

  // Take-down leaves a Lanvara unit alone.
  locked(up, [&] { qdm_deinit_unit(up); });
  EXPECT_NE(up->qdu_flags & QDU_INITD, 0u);
}

TEST_F(UnitOpsTest, TakeDownWithAnotherLineActiveChangesNothing) {
  qd_unit* up = running_unit();
  enabled_line(up, 1);
  const std::uint32_t flags = up->qdu_flags;
  locked(up, [&] { qdm_deinit_unit(up); });
  EXPECT_EQ(up->qdu_flags, flags);
  EXPECT_EQ(up->qdu_state, SFSM_RECEIVING);
  if constexpr (qd_trace_on) {
    expect_bare_record(unit_trace(up), "unit still active");
  }
}

// Records of the take-down, the transport and the Lanvara send path, each in the path
// that writes it.
TEST_F(UnitOpsTest, UnitRecordsStandAsTheirTexts) {
  if constexpr (!qd_trace_on) {
    GTEST_SKIP() << "no trace rings in this build";
  }
  struct Case {
    const char* record;
    std::function<qd_unit*()> scenario;
  };
  const std::vector<Case> cases = {
      {"already de-initd",
       [&] {
         qd_unit* up = scsi_unit();
         locked(up, [&] { qdm_deinit_unit(up); });
         return up;
       }},
      {"wait for SCSI",
       [&] {
         qd_unit* up = running_unit();
         auto task = kernel_.spawn([up] {
           mutex_enter(&up->unit_mutex);
           qdm_deinit_unit(up);
           mutex_exit(&up->unit_mutex);
         });
         kernel_.settle();
         target_->answer();
         EXPECT_TRUE(task->join(10 * hz));
         return up;
       }},
      {"bad SCSI result: command timed out",
       [&] {
         qd_unit* up = running_unit();
         hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_TIMEOUT, false).on(SCMD_READ));
         target_->answer();
         kernel_.settle();
         return up;
       }},
      {"allocb failed",
       [&] {
         qd_unit* up = lanvara_unit(5);
         kemu::fail_allocb_nth(1);
         queue_cmd(up, FAS_UNIT_POLL, 0);
         return up;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    qd_unit* up = c.scenario();
    expect_bare_record(unit_trace(up), c.record);
    TearDown();
    SetUp();
  }
}

TEST_F(UnitOpsTest, TakeDownIsNotHeldUpByAnEmptyPacket) {
  qd_unit* up = running_unit();
  locked(up, [&] { ASSERT_GT(qdm_spaceleft(up), 0); }); // an empty packet heads the chain
  auto task = kernel_.spawn([up] {
    mutex_enter(&up->unit_mutex);
    qdm_deinit_unit(up);
    mutex_exit(&up->unit_mutex);
  });
  kernel_.settle();
  EXPECT_EQ(up->qdu_state, SFSM_RECEIVING_DOWN);
  target_->answer();
  ASSERT_TRUE(task->join(10 * hz));
  EXPECT_EQ(up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP), 0u);
}

TEST_F(UnitOpsTest, TakeDownOfAnOfflineUnitDropsItsQueue) {
  qd_unit* up = running_unit();
  locked(up, [&] { qdm_unit_offline(up); });
  queue_cmd(up, FAS_INPUT_CTRL, 1);
  locked(up, [&] { qdm_deinit_unit(up); });
  EXPECT_EQ(up->pkt_head, nullptr);
  EXPECT_EQ(up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP), 0u);
}

TEST_F(UnitOpsTest, GoingOffline) {
  qd_unit* up = running_unit();
  qd_line* l0 = enabled_line(up, 0);
  qd_line* l5 = enabled_line(up, 5);
  queue_cmd(up, FAS_INPUT_CTRL, 0);
  qd_systime = 1500;
  locked(up, [&] { qdm_unit_offline(up); });
  EXPECT_EQ(console(), "Orvane QMX 0/3: Module offline\n");
  EXPECT_NE(l0->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_NE(l5->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_EQ(up->pkt_head, nullptr);
  EXPECT_EQ(up->pkt_tail, nullptr);
  EXPECT_EQ(free_packets(), qd_pkts.qd_pkt_cnt - 1);
  EXPECT_EQ(up->qdu_offline_time, 1500);

  // Again: only the time and the lines' offline processing are renewed.
  qd_systime = 1507;
  locked(up, [&] { qdm_unit_offline(up); });
  EXPECT_EQ(console(), "");
  EXPECT_EQ(up->qdu_offline_time, 1507);
  EXPECT_EQ(l5->offline_time, 1507);
}

TEST_F(UnitOpsTest, LanvaraUnitGoingOfflineIsNoLongerAttached) {
  qd_unit* up = lanvara_unit(7);
  bring_up(up);
  console();
  locked(up, [&] { qdm_unit_offline(up); });
  EXPECT_EQ(console(), "Orvane vrn7: Module offline\n");
  EXPECT_EQ(up->qdu_flags & (QDU_ATTACHED | QDU_OFFLINE), QDU_OFFLINE);
  EXPECT_NE(up->qdu_unitnode->qdl_flags & QDL_OFFLINE, 0u);
}

TEST_F(UnitOpsTest, FindUnit) {
  qd_unit* scsi = nullptr;
  qd_unit* vrn = nullptr;
  run([&] {
    scsi = make_unit("QMX-16S-115A", 1, 2);
    vrn = make_unit("Lanvara8S-115A", 0, 5);
  });
  EXPECT_EQ(qdm_findunit(0x1203), scsi);
  EXPECT_EQ(qdm_findunit(0x21203), scsi) << "dial-out node";
  EXPECT_EQ(qdm_findunit(0x1303), nullptr);
  EXPECT_EQ(qdm_findunit(0x105ff), vrn) << "unit node, unattached";
  EXPECT_EQ(qdm_findunit(0x10500), nullptr) << "port of an unattached Lanvara unit";
  vrn->qdu_flags |= QDU_ATTACHED;
  EXPECT_EQ(qdm_findunit(0x10500), vrn);
  scsi->qdu_flags &= ~QDU_ATTACHED;
  EXPECT_EQ(qdm_findunit(0x1203), nullptr) << "probed, never attached";
}

class InitDriverTest : public TransportFixture {
protected:
  kemu::TreeSpec tree() override {
    kemu::TreeSpec t;
    t.ttymodes = ttymodes_;
    return t;
  }
  std::optional<std::vector<std::uint8_t>> ttymodes_ = kemu::default_ttymodes();
};

TEST_F(InitDriverTest, OncePerLoadWithBannerTimerAndLocks) {
  run([] { qd_trace_drv("test\n"); });
  console();
  run([] { qdm_init_driver(nullptr); });
  const std::string text = console();
  const std::string first =
      std::string("Orvane Lanvara(R)/QMX(TM) Module Driver R3.014 ") + qd_trace_banner + "\n";
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_EQ(text.substr(first.size(), 14), "     for Solar");
  EXPECT_TRUE(text.ends_with(" configured.\n")) << text;
  EXPECT_EQ(qd_timer_running, 1);
  EXPECT_STREQ(qd_scsi_ioctl_mutex.name, "scsi_ioctl");
  EXPECT_STREQ(qd_lbolt.name, "qd_lbolt");
  ASSERT_NE(dflt_termios, nullptr);
  const auto modes = kemu::default_ttymodes();
  EXPECT_EQ(std::memcmp(dflt_termios, modes.data(), sizeof(termios)), 0);

  run([] { qdm_init_driver(nullptr); });
  EXPECT_EQ(console(), "");
  if constexpr (qd_trace_on) {
    const std::string trace = ring_text(qd_ring_of(qd_trcbuf));
    EXPECT_TRUE(trace.ends_with("qdm_init_driver called again")) << trace;
  }
  kernel_.advance(3 * hz);
  EXPECT_EQ(qd_systime, 1003) << "one timer, once a second";
}

TEST_F(InitDriverTest, TtymodesOfAnotherSizeAreNotUsed) {
  for (std::size_t len : {0, 35, 37, 255}) {
    SCOPED_TRACE(len);
    ttymodes_ = std::vector<std::uint8_t>(len, 0x5a);
    TearDown();
    SetUp();
    run([] { qdm_init_driver(nullptr); });
    EXPECT_EQ(dflt_termios, nullptr);
  }
  ttymodes_.reset();
  TearDown();
  SetUp();
  run([] { qdm_init_driver(nullptr); });
  EXPECT_EQ(dflt_termios, nullptr);
}

} // namespace
