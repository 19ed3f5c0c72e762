// The unit lock of the firmware update: lines offline with M_HANGUP, the answer once the
// unit's transport is down or EBUSY after 15 one-second checks, the unlock that ends the
// lines' hold-off at once, and the refusals.
#include <cerrno>
#include <cstring>
#include <memory>

#include "diag_fixture.h"
#include "driver_fixture.h"

namespace diag_test {
namespace {

int bus_target(const qd_unit* up) {
  return up->qdu_bus * 256 + up->qdu_target;
}

class DiagLock : public DiagFixture {
protected:
  // Sends QMXLOCK from a task of its own, as kvupdate does while ports are in use.
  std::unique_ptr<kemu::Kernel::Task> lock_async(int value, int timeout = -1) {
    kemu::StreamFile& d = diag();
    return kernel_.spawn([this, &d, value, timeout] {
      int v = value;
      lock_result_ = istr(d, QMXLOCK, v, timeout);
      lock_done_at_ = kernel_.lbolt();
    });
  }

  kemu::IoResult lock_result_{-1, -1};
  clock_t lock_done_at_ = 0;
};

TEST_F(DiagLock, UnitWithNoPortInUseIsLockedAtTheFirstCheck) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  int v = bus_target(up);
  const clock_t start_at = kernel_.lbolt();
  ASSERT_TRUE(istr(diag(), QMXLOCK, v).ok());
  EXPECT_EQ(kernel_.lbolt() - start_at, hz);
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u);
  EXPECT_EQ(up->qdu_lock_mp, nullptr);
}

TEST_F(DiagLock, LinesGoOfflineAndTheAnswerWaitsForTheTransport) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  kemu::StreamFile& p1 = open_node(port_name(up, 1));
  kemu::StreamFile& p3 = open_node(port_name(up, 3));

  auto task = lock_async(bus_target(up));
  kernel_.advance(hz / 2);
  EXPECT_NE(p1.poll() & kemu::kPollHup, 0u);
  EXPECT_NE(p3.poll() & kemu::kPollHup, 0u);
  EXPECT_NE(up->qd_lines[1]->qdl_flags & QDL_OFFLINE, 0u);
  EXPECT_NE(up->qd_lines[3]->qdl_flags & QDL_OFFLINE, 0u);
  kernel_.advance(5 * hz);
  EXPECT_FALSE(task->done()) << "the transport still runs";

  // The users close their ports: the last close takes the unit down.
  close_node(p1);
  close_node(p3);
  EXPECT_EQ(up->qdu_flags & (QDU_INITD | QDU_TRANSPORT_UP), 0u);
  const clock_t down_at = kernel_.lbolt();
  ASSERT_TRUE(task->join());
  EXPECT_TRUE(lock_result_.ok()) << lock_result_.error;
  EXPECT_LE(lock_done_at_ - down_at, hz) << "the next one-second check answers";
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u);
  EXPECT_EQ(console(), "");
}

TEST_F(DiagLock, LinesStillEnabledAtTheUnitAfterFifteenChecksGiveEbusy) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  open_node(port_name(up, 1));
  open_node(port_name(up, 5));
  close_node(open_node(port_name(up, 3))); // opened once, disabled now

  const clock_t start_at = kernel_.lbolt();
  auto task = lock_async(bus_target(up), 0); // the stream head's default time limit, as kvupdate
  ASSERT_TRUE(task->join());
  EXPECT_EQ(lock_result_.error, EBUSY) << "the refusal must beat the default time limit";
  EXPECT_EQ(lock_done_at_ - start_at, 15 * hz);
  EXPECT_EQ(console(), "QMXLOCK: could not clear line 1 at module.\n"
                       "QMXLOCK: could not clear line 5 at module.\n");
  EXPECT_NE(up->qdu_flags & QDU_LOCKED, 0u) << "locked until QMXUNLOCK";
}

TEST_F(DiagLock, UnlockEndsTheLinesHoldOffAtOnce) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  kemu::StreamFile& port = open_node(port_name(up, 1));
  auto lock = lock_async(bus_target(up));
  kernel_.advance(hz / 2);
  close_node(port);
  ASSERT_TRUE(lock->join());
  ASSERT_TRUE(lock_result_.ok());

  // The unit had reported the port busy: its next open holds off while the unit is locked,
  // and for 60 seconds after the line went offline.
  qd_line* lp = up->qd_lines[1];
  locked(up, [&] { lp->last_fas_status = ERR_BUSY; });
  kemu::StreamFile* reopened = nullptr;
  auto reopen = kernel_.spawn([&] { reopened = &open_node(port_name(up, 1)); });
  kernel_.advance(120 * hz);
  EXPECT_FALSE(reopen->done());
  EXPECT_EQ(lp->qdl_flags & QDL_INITDEINIT, 0u) << "still holding off";

  int v = bus_target(up);
  ASSERT_TRUE(istr(diag(), QMXUNLOCK, v).ok());
  EXPECT_EQ(up->qdu_flags & QDU_LOCKED, 0u);
  kernel_.settle(); // no clock tick needed
  EXPECT_TRUE(reopen->done() || (lp->qdl_flags & QDL_INITDEINIT) != 0);
  ASSERT_TRUE(reopen->join());
  ASSERT_NE(reopened, nullptr);
  EXPECT_TRUE(reopened->is_open());
  console();
}

// A firmware update: an open of a port while its unit is locked and reprogrammed is given
// up by its caller; after the update restarts and unlocks the unit, the port opens again.
TEST_F(DiagLock, OpenGivenUpWhileTheUnitIsLockedLeavesItUsable) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  int v = bus_target(up);
  ASSERT_TRUE(istr(diag(), QMXLOCK, v).ok());
  const auto write_buffer = [&](std::uint8_t buffer) {
    qd_scsi_cmd c{};
    c.target = 2;
    c.cdb_len = 10;
    c.timeout = 10;
    const std::uint8_t cdb[10] = {0x3B, 5, buffer};
    std::memcpy(c.cdb, cdb, sizeof cdb);
    ASSERT_TRUE(istr(diag(), QMXSCSI, c).ok());
    EXPECT_EQ(c.scsi_stat, 0);
  };
  write_buffer(0); // reprogramming mode: the unit's FAS firmware stops

  kemu::StreamFile port;
  int err = 0;
  auto opener = kernel_.spawn(
      [&] { err = kemu::open_device(port_name(up, 1), loaded_test::kOpenFlags, nullptr, port); });
  kernel_.advance(5 * hz);
  kernel_.post_signal(*opener); // the program's open alarm
  kernel_.advance(hz);
  ASSERT_TRUE(opener->done()) << "an open of a locked unit's port waits interruptibly";
  EXPECT_EQ(err, ENODEV) << "a failed line initialisation, whatever ended it";
  if constexpr (qd_trace_on) {
    EXPECT_NE(ring_text(qd_line_ring(up->qd_lines[1])).find("holdoff caught signal\n"),
              std::string::npos);
  }

  write_buffer(4); // restart: the mode ends
  ASSERT_TRUE(istr(diag(), QMXUNLOCK, v).ok());
  kernel_.advance(2 * hz);
  const clock_t before = kernel_.lbolt();
  kemu::StreamFile& again = open_node(port_name(up, 1));
  EXPECT_TRUE(again.is_open());
  EXPECT_LT(kernel_.lbolt() - before, 5 * hz);
  EXPECT_EQ(up->qdu_flags & QDU_OFFLINE, 0u);
  close_node(again);
  console();
}

TEST_F(DiagLock, RequestsThatNameNoSCSIUnitAreRefused) {
  add_qmx(3);
  start("vrn3=\"Lanvara8S1P-115,10.1.2.3\";\n");
  // The Lanvara unit 3 online: a minor number with its bit set would find it.
  ASSERT_TRUE(istr(open_node("vrnn3"), VRNONLINE, nullptr, 0).ok());
  qd_unit* scsi = unit(3);
  qd_unit* vrn = vrn_unit(3);
  kemu::StreamFile& d = diag();
  struct Case {
    const char* what;
    int value;
  };
  for (const Case& c : {Case{"no unit there", 7}, Case{"bus 16: the Lanvara bit", 16 * 256 + 3},
                        Case{"target 0x13", 0x13}, Case{"negative", -1}}) {
    int v = c.value;
    EXPECT_EQ(istr(d, QMXLOCK, v).error, ENODEV) << c.what;
    EXPECT_EQ(istr(d, QMXUNLOCK, v).error, ENODEV) << c.what;
  }
  if constexpr (qd_trace_units) {
    // The refusals' NAK records, with the errno, are the diagnostic unit's.
    const qd_trace_ring* r = qd_ring_of(global_unit.qdu_trc);
    std::string ring(r->data, QD_TRC_SIZE);
    ring.resize(ring.find('~'));
    std::size_t naks = 0;
    for (std::size_t at = ring.find("NAK(13)\n"); at != std::string::npos;
         at = ring.find("NAK(13)\n", at + 1)) {
      ++naks;
    }
    EXPECT_EQ(naks, 8u) << ring;
  }
  short half = 3;
  EXPECT_EQ(istr(d, QMXLOCK, half).error, EINVAL) << "short record";
  EXPECT_EQ((scsi->qdu_flags | vrn->qdu_flags) & QDU_LOCKED, 0u);
  console();
}

TEST_F(DiagLock, BusAndTargetAreTheDriversOwnNumbers) {
  add_qmx(9);
  topo_->add_qmx(1, 9, qdemu::QmxSpec{{.model = "QMX-8S-115A"}});
  start();
  qd_unit* first = unit(9);
  qd_unit* second = scsi_unit(1, 9);
  ASSERT_TRUE(first != nullptr && second != nullptr);
  int v = bus_target(second);
  ASSERT_TRUE(istr(diag(), QMXLOCK, v).ok());
  EXPECT_NE(second->qdu_flags & QDU_LOCKED, 0u);
  EXPECT_EQ(first->qdu_flags & QDU_LOCKED, 0u);
}

TEST_F(DiagLock, SecondLockWhileTheFirstIsCheckedIsRefused) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  open_node(port_name(up, 1));
  auto first = lock_async(bus_target(up), 2);
  ASSERT_TRUE(first->join());
  EXPECT_EQ(lock_result_.error, ETIME) << "the first caller gave up; its request is held";
  int v = bus_target(up);
  EXPECT_EQ(istr(diag(), QMXLOCK, v).error, EBUSY);
  kernel_.advance(15 * hz);
  EXPECT_EQ(up->qdu_lock_mp, nullptr) << "the held request was answered";
  console();
  // With nobody checking any more, a new request is taken.
  auto again = lock_async(bus_target(up), 2);
  ASSERT_TRUE(again->join());
  EXPECT_NE(up->qdu_lock_mp, nullptr);
}

TEST_F(DiagLock, AnswerForAClosedDiagnosticStreamIsDropped) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  open_node(port_name(up, 1));
  auto task = lock_async(bus_target(up), 2);
  ASSERT_TRUE(task->join());
  close_node(diag());
  kernel_.advance(15 * hz);
  EXPECT_EQ(up->qdu_lock_mp, nullptr);
  console();
}

TEST_F(DiagLock, UnloadCancelsTheCheckAndFreesTheRequest) {
  add_qmx(2);
  start();
  qd_unit* up = unit(2);
  open_node(port_name(up, 1));
  auto task = lock_async(bus_target(up), 2);
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
