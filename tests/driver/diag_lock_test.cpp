// The unit lock of the firmware update: lines offline with M_HANGUP, the answer once the
// unit's transport is down or EBUSY after 15 one-second checks, the unlock that ends the
// lines' hold-off at once, and the refusals.
#include <cerrno>
#include <memory>

#include "diag_fixture.h"

namespace diag_test {
namespace {

int bus_target(int bus, int target) {
  return bus * 256 + target;
}

class DiagLock : public DiagFixture {
protected:
  // Sends QMXLOCK from a task of its own, as kvupdate does while its ports are in use.
  std::unique_ptr<kemu::Kernel::Task> lock_async(int value, int timeout = -1) {
    kemu::StreamFile& d = diag();
    return kernel_.spawn([this, &d, value, timeout] {
      int v = value;
      lock_result_ = istr(d, QMXLOCK, v, timeout);
      lock_done_at_ = kernel_.lbolt();
    });
  }

  // What a close of the port does at the unit: the line comes down, and the unit with the
  // last line in use.
  void close_line(qd_line* lp) {
    locked(lp->unit, [&] { qdf_deinit_line(lp); });
  }

  kemu::IoResult lock_result_{-1, -1};
  clock_t lock_done_at_ = 0;
};

TEST_F(DiagLock, UnitWithNoPortInUseIsLockedAtTheFirstCheck) {
  qd_unit* up = scsi_unit(2);
  int v = bus_target(0, 2);
  const clock_t start = kernel_.lbolt();
  ASSERT_TRUE(istr(diag(), QMXLOCK, v).ok());
  EXPECT_EQ(kernel_.lbolt() - start, hz);
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u);
  EXPECT_EQ(up->qdu_lock_mp, nullptr);
}

TEST_F(DiagLock, LinesGoOfflineAndTheAnswerWaitsForTheTransport) {
  qd_unit* up = running_unit(2);
  qd_line* l1 = enabled_line(up, 1);
  qd_line* l3 = enabled_line(up, 3);
  l3->qdl_flags &= ~QDL_CARRIER; // an open waiting for carrier is woken
  kemu::StreamFile& p1 = open(port_minor(up, 1));
  kemu::StreamFile& p3 = open(port_minor(up, 3));

  auto task = lock_async(bus_target(0, 2));
  kernel_.advance(hz / 2);
  EXPECT_NE(p1.poll() & kemu::kPollHup, 0u);
  EXPECT_NE(p3.poll() & kemu::kPollHup, 0u);
  EXPECT_NE(l1->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_NE(l3->qdl_flags & QDL_CARRIER, 0u);
  kernel_.advance(5 * hz);
  EXPECT_FALSE(task->done()) << "the transport still runs";

  close_line(l1);
  close_line(l3);
  EXPECT_EQ(up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP), 0u);
  const clock_t down_at = kernel_.lbolt();
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(lock_result_.ok()) << lock_result_.error;
  EXPECT_LE(lock_done_at_ - down_at, hz) << "the next one-second check answers";
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u);
  EXPECT_EQ(console(), "");
}

TEST_F(DiagLock, LinesStillEnabledAtTheUnitAfterFifteenChecksGiveEbusy) {
  qd_unit* up = running_unit(2);
  enabled_line(up, 1);
  enabled_line(up, 3);
  qd_line* idle = enabled_line(up, 6);
  idle->qdl_flags = QDL_OFFLINE; // opened once, not enabled now
  open(port_minor(up, 1));

  const clock_t start = kernel_.lbolt();
  auto task = lock_async(bus_target(0, 2));
  ASSERT_TRUE(task->join());
  EXPECT_EQ(lock_result_.error, EBUSY);
  EXPECT_EQ(lock_done_at_ - start, 15 * hz);
  EXPECT_EQ(console(), "QMXLOCK: could not clear line 1 at module.\n"
                       "QMXLOCK: could not clear line 3 at module.\n");
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u) << "locked until QMXUNLOCK";
}

TEST_F(DiagLock, UnlockEndsTheLinesHoldOffAtOnce) {
  qd_unit* up = running_unit(2);
  qd_line* lp = enabled_line(up, 1);
  auto lock = lock_async(bus_target(0, 2));
  kernel_.advance(hz / 2);
  close_line(lp);
  ASSERT_TRUE(lock->join());
  ASSERT_TRUE(lock_result_.ok());

  // The unit had reported the port busy: its next open holds off while the unit is
  // locked, and for 60 seconds after the line went offline.
  lp->last_fas_status = ERR_BUSY;
  int result = -1;
  auto reopen = kernel_.spawn([&] { locked(up, [&] { result = qdf_init_line(lp); }); });
  kernel_.advance(120 * hz);
  EXPECT_FALSE(reopen->done());
  EXPECT_EQ(lp->qdl_flags & QDL_INITDEINIT, 0u) << "still holding off";

  int v = bus_target(0, 2);
  ASSERT_TRUE(istr(diag(), QMXUNLOCK, v).ok());
  EXPECT_EQ(up->qdu_flags & QDU_LOCKED, 0u);
  kernel_.settle(); // no clock tick needed
  EXPECT_TRUE(reopen->done() || (lp->qdl_flags & QDL_INITDEINIT) != 0);
  ASSERT_TRUE(reopen->join());
  EXPECT_EQ(result, 0) << "the port is enabled again";
  console();
}

TEST_F(DiagLock, RequestsThatNameNoSCSIUnitAreRefused) {
  qd_unit* scsi = scsi_unit(3);
  qd_unit* vrn = lanvara_unit(3);
  vrn->qdu_flags |= QDU_ATTACHED; // online, so that its minor number would find it
  kemu::StreamFile& d = diag();
  struct Case {
    const char* what;
    int value;
  };
  for (const Case& c :
       {Case{"no unit there", bus_target(0, 7)}, Case{"bus 16: the Lanvara bit", bus_target(16, 3)},
        Case{"target 0x13", bus_target(0, 0x13)}, Case{"negative", -1}}) {
    int v = c.value;
    EXPECT_EQ(istr(d, QMXLOCK, v).error, ENODEV) << c.what;
    EXPECT_EQ(istr(d, QMXUNLOCK, v).error, ENODEV) << c.what;
  }
  short half = 3;
  EXPECT_EQ(istr(d, QMXLOCK, half).error, EINVAL) << "short record";
  EXPECT_EQ((scsi->qdu_flags | vrn->qdu_flags) & QDU_LOCKED, 0u);
}

TEST_F(DiagLock, BusAndTargetNameTheUnitOfThatMinor) {
  qd_unit* other = scsi_unit(9);
  qd_unit* up = nullptr;
  run([&] { up = make_unit("QMX-8S-115A", 1, 9); });
  int v = bus_target(1, 9);
  ASSERT_TRUE(istr(diag(), QMXLOCK, v).ok());
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u);
  EXPECT_EQ(other->qdu_flags & QDU_LOCKED, 0u);
}

TEST_F(DiagLock, SecondLockWhileTheFirstIsCheckedIsRefused) {
  qd_unit* up = running_unit(2);
  enabled_line(up, 1);
  auto first = lock_async(bus_target(0, 2), 2);
  ASSERT_TRUE(first->join());
  EXPECT_EQ(lock_result_.error, ETIME) << "the first caller gave up; its request is held";
  int v = bus_target(0, 2);
  EXPECT_EQ(istr(diag(), QMXLOCK, v).error, EBUSY);
  kernel_.advance(15 * hz);
  EXPECT_EQ(up->qdu_lock_mp, nullptr) << "the held request was answered";
  console();
  // With nobody checking any more, a new request is taken.
  auto again = lock_async(bus_target(0, 2), 2);
  ASSERT_TRUE(again->join());
  EXPECT_NE(up->qdu_lock_mp, nullptr);
}

TEST_F(DiagLock, AnswerForAClosedDiagnosticStreamIsDropped) {
  qd_unit* up = running_unit(2);
  enabled_line(up, 1);
  auto task = lock_async(bus_target(0, 2), 2);
  ASSERT_TRUE(task->join());
  close(diag());
  kernel_.advance(15 * hz);
  EXPECT_EQ(up->qdu_lock_mp, nullptr);
  console();
}

TEST_F(DiagLock, UnloadCancelsTheCheckAndFreesTheRequest) {
  qd_unit* up = running_unit(2);
  enabled_line(up, 1);
  auto task = lock_async(bus_target(0, 2), 2);
  ASSERT_TRUE(task->join());
  ASSERT_NE(up->qdu_lock_tid, nullptr);
  locked(up, [&] { qdm_lock_cancel(up); });
  EXPECT_EQ(up->qdu_lock_tid, nullptr);
  EXPECT_EQ(up->qdu_lock_mp, nullptr);
  kernel_.advance(20 * hz);
  EXPECT_EQ(console(), "") << "no check ran after the cancel";
}

} // namespace
} // namespace diag_test
