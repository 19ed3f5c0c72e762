// scsi_transport and its completions: every outcome's fields, when and where completions
// run, time-outs on the kernel clock, refusals, and packets that are used again.
#include "scsa_fixture.h"

#include <algorithm>

#include "ksys/mutex.h"
#include "ksys/time.h"

namespace scsa_test {
namespace {

constexpr uint_t kBus = STATE_GOT_BUS | STATE_GOT_TARGET;
constexpr uint_t kSent = kBus | STATE_SENT_CMD;
constexpr uint_t kFull = kSent | STATE_XFERRED_DATA | STATE_GOT_STATUS;
constexpr std::size_t kLen = 64;

// A READ of kLen bytes that the toy fills with 0xA5.
class TransportTest : public ScsaTest {
protected:
  void SetUp() override {
    ScsaTest::SetUp();
    toy->respond = [](ScsiCommand& c) -> std::optional<ScsiAnswer> {
      std::fill(c.data_in().begin(), c.data_in().end(), 0xA5);
      return ScsiAnswer::good();
    };
  }

  scsi_pkt* read_packet(int statuslen = 1, int target = kTarget) {
    bytes.assign(kLen, 0x11);
    bp = make_buf(bytes, B_BUSY | B_READ | B_REMAPPED);
    scsi_pkt* p = packet(&bp, statuslen, target);
    makecom_g0_s(p, dev(target), 0, SCMD_READ, static_cast<int>(kLen), 0);
    return p;
  }

  void destroy(scsi_pkt* p) {
    ASSERT_TRUE(k.call([&] { scsi_destroy_pkt(p); }));
  }

  std::vector<std::uint8_t> bytes;
  buf bp{};
};

struct Outcome {
  const char* name;
  std::optional<ScsiFault> fault;
  int statuslen;
  bool arq;
  int target;
  uchar_t reason;
  uint_t state;
  uint_t statistics;
  uchar_t status;
  long resid;
  bool reached_target;
  int arq_key; // -1: no auto request sense data expected
  bool arq_ili;
};

TEST_F(TransportTest, EveryOutcomeFillsThePacketAsDocumented) {
  constexpr int kEmpty = 5;
  const Outcome table[] = {
      {"good", {}, 1, false, kTarget, CMD_CMPLT, kFull, 0, STATUS_GOOD, 0, true, -1, false},
      {"busy status", ScsiFault::status_byte(STATUS_BUSY), 1, false, kTarget, CMD_CMPLT,
       kSent | STATE_GOT_STATUS, 0, STATUS_BUSY, kLen, false, -1, false},
      {"check, key, arq", ScsiFault::check(KEY_UNIT_ATTENTION), 32, true, kTarget, CMD_CMPLT,
       kSent | STATE_GOT_STATUS | STATE_ARQ_DONE, 0, STATUS_CHECK, kLen, false, KEY_UNIT_ATTENTION,
       false},
      {"check, ILI, arq", ScsiFault::check(KEY_NO_SENSE, true), 32, true, kTarget, CMD_CMPLT,
       kSent | STATE_GOT_STATUS | STATE_ARQ_DONE, 0, STATUS_CHECK, kLen, false, KEY_NO_SENSE, true},
      {"check, no sense", ScsiFault::check_without_sense(), 32, true, kTarget, CMD_CMPLT,
       kSent | STATE_GOT_STATUS, 0, STATUS_CHECK, kLen, false, -1, false},
      {"check, arq off", ScsiFault::check(KEY_ILLEGAL_REQUEST), 32, false, kTarget, CMD_CMPLT,
       kSent | STATE_GOT_STATUS, 0, STATUS_CHECK, kLen, false, -1, false},
      {"check, status area too small", ScsiFault::check(KEY_ILLEGAL_REQUEST), 1, true, kTarget,
       CMD_CMPLT, kSent | STATE_GOT_STATUS, 0, STATUS_CHECK, kLen, false, -1, false},
      {"parity", ScsiFault::parity(), 1, false, kTarget, CMD_CMPLT, kFull, STAT_PERR, 0, 0, true,
       -1, false},
      {"empty target",
       {},
       1,
       false,
       kEmpty,
       CMD_INCOMPLETE,
       STATE_GOT_BUS,
       0,
       0,
       kLen,
       false,
       -1,
       false},
  };
  for (const Outcome& o : table) {
    SCOPED_TRACE(o.name);
    g_seen.clear();
    toy->cdbs.clear();
    hba.clear_faults();
    if (o.fault) {
      hba.inject(o.target, 0, o.fault->on(SCMD_READ));
    }
    scsi_pkt* p = read_packet(o.statuslen, o.target);
    ASSERT_TRUE(k.call(
        [&] { scsi_ifsetcap(&dev(o.target)->sd_address, "auto-rqsense", o.arq ? 1 : 0, 1); }));
    EXPECT_EQ(transport(p), TRAN_ACCEPT);
    k.settle();
    ASSERT_EQ(g_seen.size(), 1u);
    const Seen& s = g_seen[0];
    EXPECT_EQ(s.reason, o.reason);
    EXPECT_EQ(s.state, o.state);
    EXPECT_EQ(s.statistics, o.statistics);
    EXPECT_EQ(s.status, o.status);
    EXPECT_EQ(s.resid, o.resid);
    EXPECT_EQ(bytes[0], o.resid == 0 ? 0xA5 : 0x11) << "data only when transferred";
    EXPECT_EQ(toy->cdbs.size(), o.reached_target ? 1u : 0u);
    if (o.arq_key >= 0) {
      scsi_arq_status arq{};
      std::memcpy(&arq, s.scb.data(), sizeof arq);
      EXPECT_EQ(arq.sts_status, STATUS_CHECK);
      EXPECT_EQ(arq.sts_rqpkt_reason, CMD_CMPLT);
      EXPECT_EQ(arq.sts_sensedata.es_key & SENSE_KEY_MASK, o.arq_key);
      EXPECT_EQ((arq.sts_sensedata.es_key & SENSE_ILI) != 0, o.arq_ili);
    }
    destroy(p);
  }
}

TEST_F(TransportTest, EveryReasonWithAndWithoutTheCommandSent) {
  for (uchar_t reason = CMD_INCOMPLETE; reason <= CMD_REASON_LAST; ++reason) {
    for (bool sent : {false, true}) {
      SCOPED_TRACE(testing::Message() << "reason " << int{reason} << " sent " << sent);
      g_seen.clear();
      toy->cdbs.clear();
      hba.inject(kTarget, 0, ScsiFault::fail(reason, sent));
      scsi_pkt* p = read_packet();
      EXPECT_EQ(transport(p), TRAN_ACCEPT);
      k.settle();
      ASSERT_EQ(g_seen.size(), 1u);
      EXPECT_EQ(g_seen[0].reason, reason);
      EXPECT_EQ(g_seen[0].state, sent ? kSent : kBus);
      EXPECT_EQ(g_seen[0].resid, static_cast<long>(kLen));
      EXPECT_EQ(bytes[0], 0x11) << "no data from a failed command";
      EXPECT_EQ(toy->cdbs.size(), sent ? 1u : 0u);
      destroy(p);
    }
  }
}

TEST_F(TransportTest, ShortReadCopiesOnlyWhatArrived) {
  toy->respond = [](ScsiCommand& c) -> std::optional<ScsiAnswer> {
    std::fill(c.data_in().begin(), c.data_in().end(), 0xA5);
    return ScsiAnswer::good(24);
  };
  scsi_pkt* p = read_packet();
  EXPECT_EQ(transport(p), TRAN_ACCEPT);
  k.settle();
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].resid, 24);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xA5), 40);
  EXPECT_EQ(bytes[40], 0x11);
  destroy(p);
}

TEST_F(TransportTest, WriteDataIsTakenAtTransport) {
  toy->respond = [](ScsiCommand&) { return std::optional<ScsiAnswer>(); };
  std::vector<std::uint8_t> out = {1, 2, 3, 4, 5, 6, 7, 100, 0, 0};
  buf wb = make_buf(out, B_BUSY | B_WRITE);
  scsi_pkt* p = packet(&wb);
  makecom_g0_s(p, dev(), 0, SCMD_WRITE, static_cast<int>(out.size()), 0);
  EXPECT_EQ(transport(p), TRAN_ACCEPT);
  out[0] = 0xEE; // the driver reuses its buffer once the command is out
  ASSERT_EQ(toy->held.size(), 1u);
  EXPECT_EQ(toy->held[0]->dir(), DataDir::kOut);
  EXPECT_EQ(toy->written.at(0), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 100, 0, 0}));
  toy->held[0]->complete(ScsiAnswer::good());
  k.settle();
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].state, kFull);
  destroy(p);
}

TEST_F(TransportTest, CompletionRunsAtInterruptLevelNeverInsideTransport) {
  scsi_pkt* p = read_packet();
  std::size_t during = 99;
  ASSERT_TRUE(k.call([&] {
    EXPECT_EQ(scsi_transport(p), TRAN_ACCEPT);
    during = g_seen.size(); // the toy answered inside scsi_transport, with no delay
  }));
  EXPECT_EQ(during, 0u);
  k.settle();
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_TRUE(g_seen[0].interrupt_level);
  EXPECT_EQ(g_seen[0].at, 0) << "queued at the tick of the answer";
  destroy(p);
}

// The completion takes the mutex the caller holds across scsi_transport.
struct LockedCompletion {
  kmutex_t m;
  std::vector<std::string> log;
};
LockedCompletion g_lc;

void locked_completion(scsi_pkt*) {
  mutex_enter(&g_lc.m);
  g_lc.log.push_back("completion@" + std::to_string(ddi_get_lbolt()));
  mutex_exit(&g_lc.m);
}

TEST_F(TransportTest, CompletionWaitsForTheCallersMutex) {
  g_lc = {};
  mutex_init(&g_lc.m, "unit_mutex", MUTEX_DRIVER, nullptr);
  scsi_pkt* p = read_packet();
  p->pkt_comp = locked_completion;
  ASSERT_TRUE(k.call([&] {
    mutex_enter(&g_lc.m);
    EXPECT_EQ(scsi_transport(p), TRAN_ACCEPT);
    {
      kemu::SleepWithLocksHeld asleep;
      delay(5); // the completion starts now and blocks on the mutex
    }
    g_lc.log.push_back("caller releases@" + std::to_string(ddi_get_lbolt()));
    mutex_exit(&g_lc.m);
  }));
  k.settle();
  EXPECT_EQ(g_lc.log, (std::vector<std::string>{"caller releases@5", "completion@5"}));
  destroy(p);
}

TEST_F(TransportTest, AnswerDelayAndLatencyAddUp) {
  toy->respond = [](ScsiCommand&) {
    ScsiAnswer a = ScsiAnswer::good();
    a.delay = 10;
    return std::optional<ScsiAnswer>(a);
  };
  hba.inject(kTarget, 0, ScsiFault::latency(30));
  scsi_pkt* p = read_packet();
  EXPECT_EQ(transport(p), TRAN_ACCEPT);
  k.advance(39);
  EXPECT_TRUE(g_seen.empty());
  k.advance(1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].at, 40);
  destroy(p);
}

TEST_F(TransportTest, SwallowedCommandTimesOutAtPktTimeSeconds) {
  for (bool sent : {false, true}) {
    SCOPED_TRACE(sent ? "sent" : "not sent");
    g_seen.clear();
    toy->held.clear();
    toy->respond = [](ScsiCommand&) { return std::optional<ScsiAnswer>(); };
    hba.inject(kTarget, 0, ScsiFault::no_completion(sent));
    scsi_pkt* p = read_packet();
    p->pkt_time = 15;
    const clock_t t0 = k.lbolt();
    EXPECT_EQ(transport(p), TRAN_ACCEPT);
    k.advance(15 * hz - 1);
    EXPECT_TRUE(g_seen.empty());
    k.advance(1);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].at, t0 + 15 * hz);
    EXPECT_EQ(g_seen[0].reason, CMD_TIMEOUT);
    EXPECT_EQ(g_seen[0].statistics, STAT_TIMEOUT);
    EXPECT_EQ(g_seen[0].state, sent ? kSent : kBus);
    EXPECT_EQ(g_seen[0].resid, static_cast<long>(kLen));
    ASSERT_EQ(toy->held.size(), sent ? 1u : 0u);
    if (sent) { // the target answers after all: too late
      EXPECT_FALSE(toy->held[0]->active());
      toy->held[0]->complete(ScsiAnswer::good());
      k.advance(hz);
      EXPECT_EQ(g_seen.size(), 1u);
    }
    destroy(p);
  }
}

TEST_F(TransportTest, NoTimeLimitMeansTheCommandWaitsForever) {
  for (int pkt_time : {0, SCSI_TIME_NONE, 2147483647}) {
    SCOPED_TRACE(pkt_time);
    g_seen.clear();
    hba.inject(kTarget, 0, ScsiFault::no_completion());
    scsi_pkt* p = read_packet();
    p->pkt_time = pkt_time;
    EXPECT_EQ(transport(p), TRAN_ACCEPT);
    // Even a century of kernel time brings no time-out.
    EXPECT_FALSE(k.run_until([] { return !g_seen.empty(); }, 100L * 365 * 24 * 3600 * hz));
    EXPECT_EQ(scsa.in_transport(), 1u);
    destroy(p);
    const auto reports = k.take_reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].what.find("still in transport"), std::string::npos);
    EXPECT_EQ(scsa.in_transport(), 0u);
  }
}

TEST_F(TransportTest, RefusalsReturnTheirCodeAndNeverComplete) {
  for (int tran : {TRAN_BUSY, TRAN_BADPKT, TRAN_FATAL_ERROR}) {
    SCOPED_TRACE(tran);
    hba.inject(kTarget, 0, ScsiFault::refuse(tran).times(2));
    scsi_pkt* p = read_packet();
    EXPECT_EQ(transport(p), tran);
    EXPECT_EQ(transport(p), tran);
    k.settle();
    EXPECT_TRUE(g_seen.empty());
    EXPECT_TRUE(toy->cdbs.empty());
    EXPECT_EQ(transport(p), TRAN_ACCEPT) << "the script is used up";
    k.settle();
    EXPECT_EQ(g_seen.size(), 1u);
    g_seen.clear();
    toy->cdbs.clear();
    destroy(p);
  }
}

TEST_F(TransportTest, FaultsHitOnlyTheirOpcode) {
  hba.inject(kTarget, 0, ScsiFault::busy().on(SCMD_READ));
  std::vector<std::uint8_t> out(8, 0);
  buf wb = make_buf(out, B_BUSY | B_WRITE);
  scsi_pkt* w = packet(&wb);
  makecom_g0_s(w, dev(), 0, SCMD_WRITE, 8, 0);
  scsi_pkt* r = read_packet();
  EXPECT_EQ(transport(w), TRAN_ACCEPT);
  EXPECT_EQ(hba.faults_pending(kTarget, 0), 1u);
  EXPECT_EQ(transport(r), TRAN_BUSY);
  EXPECT_EQ(hba.faults_pending(kTarget, 0), 0u);
  k.settle();
  destroy(w);
  destroy(r);
}

TEST_F(TransportTest, ReTransportStartsClean) {
  ASSERT_TRUE(k.call([&] { scsi_ifsetcap(&dev()->sd_address, "auto-rqsense", 1, 1); }));
  hba.inject(kTarget, 0, ScsiFault::check(KEY_ABORTED_COMMAND));
  scsi_pkt* p = read_packet(sizeof(scsi_arq_status));
  EXPECT_EQ(transport(p), TRAN_ACCEPT);
  k.settle();
  ASSERT_EQ(g_seen.size(), 1u);
  ASSERT_NE(p->pkt_state & STATE_ARQ_DONE, 0u);

  toy->respond = [](ScsiCommand&) { return std::optional<ScsiAnswer>(); };
  p->pkt_statistics = STAT_PERR; // as a previous failure might have left it
  ASSERT_TRUE(k.call([&] {
    EXPECT_EQ(scsi_transport(p), TRAN_ACCEPT);
    EXPECT_EQ(p->pkt_reason, CMD_CMPLT);
    EXPECT_EQ(p->pkt_state, 0u);
    EXPECT_EQ(p->pkt_statistics, 0u);
    EXPECT_EQ(p->pkt_resid, 0);
    EXPECT_TRUE(std::all_of(p->pkt_scbp, p->pkt_scbp + sizeof(scsi_arq_status),
                            [](uchar_t b) { return b == 0; }));
  }));
  ASSERT_EQ(toy->held.size(), 1u);
  toy->held[0]->complete(ScsiAnswer::good());
  k.settle();
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[1].state, kFull);
  EXPECT_EQ(g_seen[1].status, STATUS_GOOD);
  destroy(p);
}

TEST_F(TransportTest, MisuseIsReportedAndIgnored) {
  // A second answer to one command.
  toy->respond = [](ScsiCommand& c) {
    c.complete(ScsiAnswer::good());
    return std::optional<ScsiAnswer>(ScsiAnswer::check(KEY_HARDWARE_ERROR));
  };
  scsi_pkt* p = read_packet();
  EXPECT_EQ(transport(p), TRAN_ACCEPT);
  k.settle();
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].status, STATUS_GOOD);
  // A packet transported while in flight.
  toy->respond = [](ScsiCommand&) { return std::optional<ScsiAnswer>(); };
  EXPECT_EQ(transport(p), TRAN_ACCEPT);
  EXPECT_EQ(transport(p), TRAN_BADPKT);
  toy->held[0]->complete(ScsiAnswer::good());
  k.settle();
  EXPECT_EQ(g_seen.size(), 2u);
  // A data area that is not the packet's, and a packet freed twice.
  ASSERT_TRUE(k.call([&] {
    scsi_destroy_pkt(p);
    caddr_t data = nullptr;
    scsi_pkt* q = get_pktiopb(&dev()->sd_address, &data, CDB_GROUP0, 1, 8, 1, NULL_FUNC);
    free_pktiopb(q, data, 9);
    scsi_destroy_pkt(q);
  }));
  const auto reports = k.take_reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_NE(reports[0].what.find("answered a command twice"), std::string::npos);
  EXPECT_NE(reports[1].what.find("still in transport"), std::string::npos);
  EXPECT_NE(reports[2].what.find("free_pktiopb"), std::string::npos);
  EXPECT_NE(reports[3].what.find("did not make"), std::string::npos);
}

// Without auto request sense, the sense stays with the adapter for a REQUEST SENSE.
TEST_F(TransportTest, KeptSenseAnswersTheNextRequestSenseOnly) {
  hba.inject(kTarget, 0, ScsiFault::check(KEY_MEDIUM_ERROR).on(SCMD_READ).times(2));
  auto failing_read = [&] {
    scsi_pkt* p = read_packet();
    EXPECT_EQ(transport(p), TRAN_ACCEPT);
    k.settle();
    destroy(p);
  };
  auto request_sense = [&](std::vector<std::uint8_t>& into) {
    into.assign(SENSE_LENGTH, 0);
    buf sb = make_buf(into, B_BUSY | B_READ);
    scsi_pkt* p = packet(&sb);
    makecom_g0(p, dev(), 0, SCMD_REQUEST_SENSE, 0, SENSE_LENGTH);
    EXPECT_EQ(transport(p), TRAN_ACCEPT);
    k.settle();
    destroy(p);
  };

  failing_read();
  EXPECT_FALSE(hba.pending_sense(kTarget, 0).empty());
  std::vector<std::uint8_t> sense;
  request_sense(sense);
  EXPECT_TRUE(toy->cdbs.empty()) << "answered by the adapter";
  EXPECT_EQ(sense[0], CLASS_EXTENDED_SENSE);
  EXPECT_EQ(sense[2] & SENSE_KEY_MASK, KEY_MEDIUM_ERROR);
  EXPECT_TRUE(hba.pending_sense(kTarget, 0).empty());

  failing_read();
  scsi_pkt* tur = packet(nullptr);
  makecom_g0(tur, dev(), 0, SCMD_TEST_UNIT_READY, 0, 0);
  EXPECT_EQ(transport(tur), TRAN_ACCEPT);
  k.settle();
  destroy(tur);
  EXPECT_TRUE(hba.pending_sense(kTarget, 0).empty()) << "another command discards it";
  request_sense(sense);
  ASSERT_EQ(toy->cdbs.size(), 2u);
  EXPECT_EQ(toy->cdbs[1][0], SCMD_REQUEST_SENSE);
}

} // namespace
} // namespace scsa_test
