// Polled commands, probing with INQUIRY, and the auto request sense capability.
#include "scsa_fixture.h"

#include <algorithm>

#include "ksys/mutex.h"
#include "ksys/time.h"

namespace scsa_test {
namespace {

// Inquiry data of a communications device, answered to INQUIRY; everything else is good.
std::optional<ScsiAnswer> inquiry_responder(ScsiCommand& c) {
  if (c.opcode() == SCMD_INQUIRY) {
    scsi_inquiry inq{};
    inq.inq_dtype = DTYPE_COMM;
    inq.inq_len = 31;
    std::memcpy(inq.inq_vid, "OrvaneCo", 8);
    std::memcpy(inq.inq_pid, "QMX-1600        ", 16);
    std::memcpy(inq.inq_revision, "V2.3", 4);
    auto room = c.data_in();
    const std::size_t n = std::min<std::size_t>(36, room.size());
    std::memcpy(room.data(), &inq, n);
    return ScsiAnswer::good(room.size() - n);
  }
  return ScsiAnswer::good();
}

class PollTest : public ScsaTest {
protected:
  void SetUp() override {
    ScsaTest::SetUp();
    toy->respond = inquiry_responder;
  }

  // A polled TEST UNIT READY as the driver's bring-up builds it.
  scsi_pkt* tur() {
    scsi_pkt* p = scsi_init_pkt(&dev()->sd_address, nullptr, nullptr, CDB_GROUP0, 1, 0, 0,
                                NULL_FUNC, nullptr);
    makecom_g0(p, dev(), FLAG_NOINTR, SCMD_TEST_UNIT_READY, 0, 0);
    p->pkt_time = hz / 4; // seconds, as the driver writes it
    p->pkt_comp = record_completion;
    return p;
  }

  int poll_under_lock(scsi_pkt* p) {
    int rc = 99;
    EXPECT_TRUE(k.call([&] {
      kmutex_t m{};
      mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
      mutex_enter(&m);
      rc = scsi_poll(p);
      mutex_exit(&m);
    }));
    return rc;
  }
};

TEST_F(PollTest, SuccessAndEachKindOfFailure) {
  struct Case {
    const char* name;
    std::optional<ScsiFault> fault;
    int target;
    int rc;
  } const cases[] = {
      {"good", {}, kTarget, 0},
      {"check condition", ScsiFault::check(KEY_NOT_READY), kTarget, -1},
      {"busy status", ScsiFault::status_byte(STATUS_BUSY), kTarget, -1},
      {"reason", ScsiFault::fail(CMD_DATA_OVR, true), kTarget, -1},
      {"refused busy", ScsiFault::busy(), kTarget, -1},
      {"refused fatal", ScsiFault::refuse(TRAN_FATAL_ERROR), kTarget, -1},
      {"empty target", {}, 6, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) {
      hba.inject(c.target, 0, *c.fault);
    }
    scsi_pkt* p = scsi_init_pkt(&dev(c.target)->sd_address, nullptr, nullptr, CDB_GROUP0, 1, 0, 0,
                                NULL_FUNC, nullptr);
    makecom_g0(p, dev(c.target), FLAG_NOINTR, SCMD_TEST_UNIT_READY, 0, 0);
    p->pkt_time = 1;
    p->pkt_comp = record_completion;
    EXPECT_EQ(poll_under_lock(p), c.rc);
    EXPECT_TRUE(g_seen.empty()) << "a polled packet has no completion call";
    ASSERT_TRUE(k.call([&] { scsi_destroy_pkt(p); }));
  }
}

TEST_F(PollTest, TimesOutAfterPktTimeSeconds) {
  hba.inject(kTarget, 0, ScsiFault::no_completion());
  scsi_pkt* p = tur();
  int rc = 99;
  auto task = k.spawn([&] {
    kmutex_t m{};
    mutex_init(&m, "unit_mutex", MUTEX_DRIVER, nullptr);
    mutex_enter(&m);
    rc = scsi_poll(p);
    mutex_exit(&m);
  });
  // hz / 4 seconds is 25 s on the kernel clock, not a quarter of a second.
  k.advance(25 * hz - 1);
  EXPECT_FALSE(task->done());
  k.advance(1);
  ASSERT_TRUE(task->done());
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(p->pkt_reason, CMD_TIMEOUT);
  ASSERT_TRUE(k.call([&] { scsi_destroy_pkt(p); }));
}

// ---- scsi_probe --------------------------------------------------------------------------------

using ProbeTest = PollTest;

TEST_F(ProbeTest, PresentTargetFillsInquiryDataUntilUnprobe) {
  const std::size_t before = k.kmem_outstanding_count();
  scsi_device* d = dev();
  int rc = -1;
  ASSERT_TRUE(k.call([&] { rc = scsi_probe(d, NULL_FUNC); }));
  EXPECT_EQ(rc, SCSIPROBE_EXISTS);
  ASSERT_NE(d->sd_inq, nullptr);
  EXPECT_EQ(d->sd_inq->inq_dtype, DTYPE_COMM);
  EXPECT_EQ(std::string(d->sd_inq->inq_vid, 8), "OrvaneCo");
  EXPECT_EQ(std::string(d->sd_inq->inq_pid, 8), "QMX-1600");
  EXPECT_EQ(std::string(d->sd_inq->inq_revision, 4), "V2.3");
  ASSERT_EQ(toy->cdbs.size(), 1u);
  EXPECT_EQ(toy->cdbs[0][0], SCMD_INQUIRY);
  EXPECT_EQ(toy->cdbs[0][4], sizeof(scsi_inquiry));
  EXPECT_EQ(k.kmem_outstanding_count(), before + 1) << "only sd_inq is kept";
  ASSERT_TRUE(k.call([&] { scsi_unprobe(d); }));
  EXPECT_EQ(d->sd_inq, nullptr);
  EXPECT_EQ(k.kmem_outstanding_count(), before);
}

TEST_F(ProbeTest, ResultByWhatTheAddressAnswers) {
  struct Case {
    const char* name;
    std::optional<ScsiFault> fault;
    int target;
    int result;
  } const cases[] = {
      {"empty", {}, 9, SCSIPROBE_NORESP},
      {"inquiry refused by check condition", ScsiFault::check(KEY_ILLEGAL_REQUEST), kTarget,
       SCSIPROBE_NONCCS},
      {"adapter busy", ScsiFault::busy(), kTarget, SCSIPROBE_BUSY},
      {"command lost", ScsiFault::fail(CMD_UNX_BUS_FREE, true), kTarget, SCSIPROBE_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) {
      hba.inject(c.target, 0, c.fault->on(SCMD_INQUIRY));
    }
    int rc = -1;
    ASSERT_TRUE(k.call([&] { rc = scsi_probe(dev(c.target), NULL_FUNC); }));
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(dev(c.target)->sd_inq, nullptr);
  }
}

TEST_F(ProbeTest, NoMemoryUnlessItMayWait) {
  int rc = -1;
  k.fail_kmem_nth(1);
  ASSERT_TRUE(k.call([&] { rc = scsi_probe(dev(), NULL_FUNC); }));
  EXPECT_EQ(rc, SCSIPROBE_NOMEM);
  k.fail_kmem_nth(1);
  ASSERT_TRUE(k.call([&] { rc = scsi_probe(dev(), SLEEP_FUNC); }));
  EXPECT_EQ(rc, SCSIPROBE_EXISTS);
  k.clear_kmem_faults();
  ASSERT_TRUE(k.call([&] { scsi_unprobe(dev()); }));
}

// Inquiry texts carry no NUL; code that prints them as strings must still stop in sd_inq.
TEST_F(ProbeTest, InquiryDataEndsWithinItsBlock) {
  toy->respond = [](ScsiCommand& c) {
    std::fill(c.data_in().begin(), c.data_in().end(), 'A');
    return std::optional<ScsiAnswer>(ScsiAnswer::good());
  };
  ASSERT_TRUE(k.call([&] { EXPECT_EQ(scsi_probe(dev(), NULL_FUNC), SCSIPROBE_EXISTS); }));
  EXPECT_EQ(std::strlen(dev()->sd_inq->inq_pid), sizeof(scsi_inquiry) - 16);
  ASSERT_TRUE(k.call([&] { scsi_unprobe(dev()); }));
}

// ---- auto request sense ----------------------------------------------------------------------

TEST_F(ScsaTest, AutoRequestSenseFollowsTheAdapter) {
  struct Case {
    kemu::ArqSupport support;
    int set_on;
    int get_after;
    bool enabled;
  } const cases[] = {
      {kemu::ArqSupport::kSettable, 1, 1, true},
      {kemu::ArqSupport::kNotSettable, 0, 0, false},
      {kemu::ArqSupport::kUnknown, -1, -1, false},
  };
  for (const Case& c : cases) {
    hba.set_arq_support(c.support);
    scsi_address* ap = &dev()->sd_address;
    EXPECT_EQ(scsi_ifsetcap(ap, "auto-rqsense", 1, 1), c.set_on);
    EXPECT_EQ(scsi_ifgetcap(ap, "auto-rqsense", 1), c.get_after);
    EXPECT_EQ(hba.arq_enabled(kTarget), c.enabled);
    EXPECT_FALSE(hba.arq_enabled(kTarget + 1)) << "whom=1: this target only";
    EXPECT_EQ(scsi_ifsetcap(ap, "no-such-cap", 1, 1), -1);
  }
  hba.set_arq_support(kemu::ArqSupport::kSettable);
  EXPECT_EQ(scsi_ifsetcap(&dev()->sd_address, "auto-rqsense", 1, 0), 1);
  EXPECT_TRUE(hba.arq_enabled(0) && hba.arq_enabled(15)) << "whom=0: every target";
  EXPECT_EQ(scsi_ifsetcap(&dev()->sd_address, "auto-rqsense", 0, 1), 1);
  EXPECT_FALSE(hba.arq_enabled(kTarget));
}

} // namespace
} // namespace scsa_test
