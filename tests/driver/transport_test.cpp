// The SCSI transport against a toy target: the WRITE/READ cycle, take-down, retries with
// their back-off and messages, and the cases where no command can be issued.
#include <algorithm>
#include <string>

#include "transport_fixture.h"

namespace {

using TransportTest = TransportFixture;

const Bytes kInputCtrlAnswer1 = {FAS_INPUT_CTRL, 1, 0, 0, 0, 0, 0, 0};

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

TEST_F(TransportTest, KickFromIdleWithEmptyChainStartsRead) {
  qd_unit* up = scsi_unit();
  up->qdu_flags = QDU_ATTACHED | QDU_INITD | QDU_TRANSPORT_UP;
  locked(up, [&] { qdm_scsifsm(up, SFSM_IN_KICK); });
  kernel_.settle();
  EXPECT_EQ(up->qdu_state, SFSM_RECEIVING);
  ASSERT_EQ(target_->seen().size(), 1u);
  EXPECT_EQ(target_->seen()[0].cdb, (Bytes{SCMD_READ, 0, 0x00, 0x10, 0x00, 0}));
}

TEST_F(TransportTest, CommandsQueuedDuringReadLeaveWithTheNextWrite) {
  qd_unit* up = running_unit();
  queue_cmd(up, FAS_INPUT_CTRL, 1);
  queue_cmd(up, FAS_INPUT_CTRL, 2);
  kernel_.settle();
  EXPECT_TRUE(target_->seen().empty()) << "a kick while a READ is outstanding sends nothing";
  EXPECT_EQ(up->qdu_state, SFSM_RECEIVING);

  target_->answer();
  kernel_.settle();
  const auto& seen = target_->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].cdb, (Bytes{SCMD_WRITE, 0, 0, 0, 18, 0}));
  const Bytes want = {7, 1, 0, 0, 0, 0, 0, 0, 7, 2, 0, 0, 0, 0, 0, 0, PKT_END, QD_PKT_FILL};
  EXPECT_EQ(seen[0].data, want);
  EXPECT_EQ(seen[1].cdb.at(0), SCMD_READ);
  EXPECT_EQ(up->pkt_head, nullptr);
  EXPECT_EQ(up->qdu_inflight, nullptr) << "the sent packet goes back to the pool";
}

TEST_F(TransportTest, WriteLengthIsRoundedUpToEven) {
  struct Case {
    int used;
    std::size_t length;
    Bytes tail; // the bytes behind the commands
  };
  for (const Case& c : {Case{8, 10, {PKT_END, QD_PKT_FILL}}, Case{9, 10, {PKT_END}}}) {
    SCOPED_TRACE(c.used);
    qd_unit* up = running_unit();
    locked(up, [&] {
      std::fill_n(qdm_putfas(up, c.used), c.used, 0x11);
      qdm_scsifsm(up, SFSM_IN_KICK);
    });
    target_->answer();
    kernel_.settle();
    const auto writes = target_->seen(SCMD_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].cdb.at(4), c.length);
    ASSERT_EQ(writes[0].data.size(), c.length);
    EXPECT_TRUE(std::equal(c.tail.begin(), c.tail.end(), writes[0].data.begin() + c.used));
    TearDown();
    SetUp();
  }
}

TEST_F(TransportTest, TakeDownWhileSendingEndsWithoutRead) {
  qd_unit* up = running_unit();
  target_->hold_writes = true;
  queue_cmd(up, FAS_INPUT_CTRL, 1);
  target_->answer();
  kernel_.settle();
  ASSERT_TRUE(target_->write_held());

  auto task = kernel_.spawn([up] {
    mutex_enter(&up->unit_mutex);
    qdm_deinit_unit(up);
    mutex_exit(&up->unit_mutex);
  });
  kernel_.settle();
  EXPECT_EQ(up->qdu_state, SFSM_SENDING_DOWN);
  EXPECT_FALSE(task->done());

  target_->release_write();
  ASSERT_TRUE(task->join());
  EXPECT_EQ(up->qdu_state, SFSM_IDLE);
  EXPECT_EQ(up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP), 0u);
  EXPECT_TRUE(target_->seen(SCMD_READ).empty());
}

TEST_F(TransportTest, TakeDownWhileReceivingDispatchesTheAnswersFirst) {
  qd_unit* up = running_unit();
  qd_line* lp = enabled_line(up, 1);
  lp->qdl_flags = QDL_ENABLED; // enabled, but no longer holding the unit up
  lp->missed_polls = 3;

  auto task = kernel_.spawn([up] {
    mutex_enter(&up->unit_mutex);
    qdm_deinit_unit(up);
    mutex_exit(&up->unit_mutex);
  });
  kernel_.settle();
  EXPECT_EQ(up->qdu_state, SFSM_RECEIVING_DOWN);

  target_->answer(kInputCtrlAnswer1);
  ASSERT_TRUE(task->join());
  EXPECT_EQ(lp->missed_polls, 0);
  EXPECT_EQ(up->qdu_state, SFSM_IDLE);
  EXPECT_EQ(up->qdu_flags & QDU_TRANSPORT_UP, 0u);
  EXPECT_TRUE(target_->seen().empty()) << "nothing follows the last READ";
}

// A failing WRITE or READ is retried after 0.5, 1, 2, 5 and 15 s; the sixth failure takes
// the unit offline.
TEST_F(TransportTest, RetryScheduleAndExpiry) {
  struct Case {
    uchar_t op;
    const char* problem;
    const char* expired;
  };
  for (const Case& c :
       {Case{SCMD_READ, "Orvane QMX 0/3: Problem during retry of SCSI recv: command timed out\n",
             "Orvane QMX 0/3: SCSI recv retries expired\n"},
        Case{SCMD_WRITE, "Orvane QMX 0/3: Problem during retry of SCSI send: command timed out\n",
             "Orvane QMX 0/3: SCSI send retries expired\n"}}) {
    SCOPED_TRACE(c.op);
    qd_unit* up = running_unit();
    hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_TIMEOUT, false).on(c.op).times(6));
    if (c.op == SCMD_WRITE) {
      queue_cmd(up, FAS_INPUT_CTRL, 1);
    }
    target_->answer();
    kernel_.settle();
    EXPECT_EQ(hba_->faults_pending(3, 0), 5u);
    int left = 5;
    for (clock_t wait : {50, 100, 200, 500, 1500}) {
      kernel_.advance(wait - 1);
      EXPECT_EQ(hba_->faults_pending(3, 0), static_cast<std::size_t>(left)) << wait;
      kernel_.advance(1);
      EXPECT_EQ(hba_->faults_pending(3, 0), static_cast<std::size_t>(--left)) << wait;
    }
    const std::string text = console();
    EXPECT_EQ(count_of(text, c.problem), 3) << text;
    EXPECT_EQ(count_of(text, c.expired), 1) << text;
    EXPECT_NE(up->qdu_flags & QDU_OFFLINE, 0u);
    EXPECT_EQ(up->qdu_inflight, nullptr);
    EXPECT_EQ(free_packets(), qd_pkts.qd_pkt_cnt - 1) << "all but the receive packet are free";
    TearDown();
    SetUp();
  }
}

TEST_F(TransportTest, GoodCompletionResetsTheBackoff) {
  qd_unit* up = running_unit();
  hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_RESET, false).on(SCMD_READ).times(2));
  target_->answer();
  kernel_.advance(150);
  ASSERT_TRUE(target_->read_held());
  EXPECT_EQ(up->qdu_recv_backoff, 10);
  target_->answer();
  kernel_.settle();
  EXPECT_EQ(up->qdu_recv_backoff, 0);

  // The next failure starts the schedule again at half a second.
  hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_RESET, false).on(SCMD_READ));
  target_->answer();
  kernel_.advance(49);
  EXPECT_FALSE(target_->read_held());
  kernel_.advance(1);
  EXPECT_TRUE(target_->read_held());
}

// A READ whose command reached the unit is retried with control byte 0x40 (send the batch
// again); the next completion clears it.
TEST_F(TransportTest, ResendControlByte) {
  qd_unit* up = running_unit();
  hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_TRAN_ERR, true).on(SCMD_READ).times(2));
  hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_TRAN_ERR, false).on(SCMD_READ));
  target_->answer();
  kernel_.settle();
  ASSERT_TRUE(target_->read_held());
  target_->answer(); // seen by the unit, lost on its way back
  kernel_.advance(50);
  ASSERT_TRUE(target_->read_held());
  target_->answer(); // the same again
  kernel_.settle();
  EXPECT_EQ(up->qdu_recvpkt->pkt_cdbp[5], QD_CDB_RESEND);
  kernel_.advance(100); // this retry fails before the unit sees it
  EXPECT_EQ(up->qdu_recvpkt->pkt_cdbp[5], 0);
  kernel_.advance(200);
  ASSERT_TRUE(target_->read_held());
  std::vector<int> control;
  for (const auto& r : target_->seen(SCMD_READ)) {
    control.push_back(r.cdb.at(5));
  }
  EXPECT_EQ(control, (std::vector<int>{0, QD_CDB_RESEND, 0}));
}

// When a command cannot be issued at all, nothing will complete: the unit goes offline and
// the packet it was sending returns to the pool.
TEST_F(TransportTest, CommandsThatCannotBeIssuedTakeTheUnitOffline) {
  struct Case {
    const char* name;
    bool write;
    std::function<void()> fault;
    std::vector<const char*> messages;
  };
  const std::vector<Case> cases = {
      {"busy past the limit",
       false,
       [this] { hba_->inject(3, 0, kemu::ScsiFault::busy().on(SCMD_READ).times(kemu::kForever)); },
       {"WARNING: Orvane Lanvara/QMX: scsi_transport() failed--TRAN_BUSY\n",
        "Orvane QMX 0/3: Going offline: scsi_transport() failed--TRAN_BUSY\n"}},
      {"refused on retry",
       true,
       [this] { hba_->inject(3, 0, kemu::ScsiFault::refuse(TRAN_BADPKT).on(SCMD_WRITE).times(2)); },
       {"WARNING: Orvane Lanvara/QMX: qdm_scsi_retrysend: scsi_transport() failed, "
        "tstat=0xFFFFFFFF\n",
        "Orvane QMX 0/3: Going offline: scsi_transport() failed\n"}},
      {"no buffer header for a WRITE",
       true,
       [this] { scsa_->fail_getrbuf_nth(1); },
       {"Orvane QMX 0/3: Going offline: no buffer header for SCSI send\n"}},
      {"no command packet for a WRITE",
       true,
       [this] { scsa_->fail_init_pkt_nth(1); },
       {"Orvane QMX 0/3: Going offline: no SCSI packet for send\n"}},
      {"no command packet for a READ",
       false,
       [this] { scsa_->fail_init_pkt_nth(1); },
       {"Orvane QMX 0/3: Going offline: no SCSI packet for recv\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qd_unit* up = running_unit();
    if (c.write) {
      queue_cmd(up, FAS_INPUT_CTRL, 1);
    }
    c.fault();
    target_->answer();
    kernel_.advance(2 * hz);
    const std::string text = console();
    for (const char* m : c.messages) {
      EXPECT_NE(text.find(m), std::string::npos) << m << "\nin:\n" << text;
    }
    EXPECT_NE(text.find("Module offline"), std::string::npos);
    EXPECT_NE(up->qdu_flags & QDU_OFFLINE, 0u);
    EXPECT_EQ(up->qdu_retry_tid, nullptr);
    EXPECT_EQ(hba_->in_transport(), 0u);
    EXPECT_EQ(free_packets(), qd_pkts.qd_pkt_cnt - 1);
    TearDown();
    SetUp();
  }
}

TEST_F(TransportTest, RetryPendingWhenTheUnitGoesOfflineIsDropped) {
  qd_unit* up = running_unit();
  hba_->inject(3, 0, kemu::ScsiFault::fail(CMD_RESET, false).on(SCMD_READ));
  target_->answer();
  kernel_.settle();
  ASSERT_NE(up->qdu_retry_tid, nullptr);
  locked(up, [&] { qdm_unit_offline(up); });
  EXPECT_EQ(up->qdu_retry_tid, nullptr);
  kernel_.advance(hz);
  EXPECT_TRUE(target_->seen(SCMD_READ).empty());
  EXPECT_EQ(hba_->in_transport(), 0u);
}

TEST_F(TransportTest, OfflineUnitIgnoresKicksAndAnswers) {
  qd_unit* up = running_unit();
  qd_line* lp = enabled_line(up, 1);
  lp->missed_polls = 4;
  // A trap: a WRITE completion while receiving.
  locked(up, [&] { qdm_scsifsm(up, SFSM_IN_SEND_DONE); });
  const std::string text = console();
  EXPECT_NE(text.find("Orvane QMX 0/3: Trap at state 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("WARNING: SCSI FSM trap\n"), std::string::npos) << text;
  ASSERT_NE(up->qdu_flags & QDU_OFFLINE, 0u);

  // The READ still outstanding completes: its answers concern commands that were dropped.
  target_->answer(kInputCtrlAnswer1);
  kernel_.settle();
  EXPECT_EQ(lp->missed_polls, 4);
  queue_cmd(up, FAS_INPUT_CTRL, 1);
  kernel_.settle();
  EXPECT_TRUE(target_->seen().empty());
  EXPECT_NE(up->pkt_head, nullptr) << "queued behind the offline mark until a restart";
}

} // namespace
