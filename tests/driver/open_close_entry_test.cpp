// Opening and closing nodes of the loaded driver: refusals, exclusive use, offline recovery,
// the dial-out guard band, carrier waits, the terminal option, the diagnostic node.
#include "loaded_driver_fixture.h"

namespace loaded_test {
namespace {

class OpenClose : public LoadedDriverFixture {
protected:
  void SetUp() override {
    LoadedDriverFixture::SetUp();
    // Ports 0 and 1 looped back, a modem on port 2, the printer port 8.
    unit_ = &topo_->add_qmx(0, 2,
                            qdemu::QmxSpec{{.model = "QMX-8S1P-115A"}}.loopback({0, 1}).peers({2}));
    load("forceload=1;\nallow_unload=1;\n");
    major_ = *ddi_->major_of("qd");
    console();
  }

  int open_minor(minor_t minor, kemu::StreamFile& f, int flags = kOpenFlags) {
    int r = -1;
    run([&] { r = kemu::open_device(makedevice(major_, minor), flags, nullptr, f); });
    return r;
  }

  qdemu::QmxUnit* unit_ = nullptr;
  major_t major_ = 0;
};

TEST_F(OpenClose, RefusedMinorsLeaveTheUnitUsable) {
  struct Case {
    minor_t minor;
    int sflag;
    int err;
  };
  const Case cases[] = {
      {0x2ff, 0, ENODEV},   // port 0xff of a SCSI unit
      {0x209, 0, ENODEV},   // the model's port count
      {0x309, 0, ENODEV},   // no unit at that target
      {0x10000, 0, ENODEV}, // a Lanvara unit qd.conf does not name
      {0x202, CLONEOPEN, ENODEV},
  };
  for (const Case& c : cases) {
    ProbeStream s;
    int r = -1;
    run([&] { r = s.open(c.minor, kOpenFlags, c.sflag); });
    EXPECT_EQ(r, c.err) << std::hex << c.minor;
    // The unit's mutex was let go: its printer, the last port, opens.
    kemu::StreamFile lp;
    EXPECT_EQ(open("lpc28", lp), 0);
    EXPECT_EQ(close(lp), 0);
  }
  EXPECT_EQ(console().find("WARNING"), std::string::npos);
}

TEST_F(OpenClose, ExclusiveUseRefusesUnprivilegedOpens) {
  kemu::StreamFile a, b, c;
  ASSERT_EQ(open("ttyc20", a), 0);
  kemu::IoResult r;
  run([&] { r = a.ioctl(TIOCEXCL, 0); });
  ASSERT_TRUE(r.ok()) << r.error;
  const cred_t user{100, 100, 100, 100};
  EXPECT_EQ(open("ttyc20", b, kOpenFlags, user), EBUSY);
  EXPECT_EQ(open("ttyc20", c), 0) << "privileged";
  EXPECT_EQ(close(c), 0);
  EXPECT_EQ(close(a), 0);
  // The last close ends exclusive use.
  EXPECT_EQ(open("ttyc20", b, kOpenFlags, user), 0);
  EXPECT_EQ(close(b), 0);
}

TEST_F(OpenClose, OfflineLineStillHeldOpenBlocksRecovery) {
  kemu::StreamFile a, b;
  ASSERT_EQ(open("ttyc21", a), 0);
  qd_unit* up = scsi_unit(0, 2);
  run([&] {
    mutex_enter(&up->unit_mutex);
    qdm_unit_offline(up);
    mutex_exit(&up->unit_mutex);
  });
  console();
  EXPECT_EQ(open("ttyc21", b), EBUSY);
  EXPECT_EQ(console(),
            "Orvane QMX 0/2 line 1: A process has this port open (blocking offline recovery).\n");
  EXPECT_EQ(close(a), 0);
}

TEST_F(OpenClose, DialOutWaitsOutTheGuardBandAfterADialInClose) {
  kemu::StreamFile in, out, fresh;
  ASSERT_EQ(open("ttyc23,cu", fresh), 0) << "a record made just now counts as closed long ago";
  EXPECT_EQ(close(fresh), 0);

  ASSERT_EQ(open("ttyc21", in), 0);
  EXPECT_EQ(close(in), 0);
  const int closed_at = line_of("ttyc21")->last_dialin_close;
  ASSERT_TRUE(kernel_.run_until([&] { return qd_systime == closed_at + 14; }));
  EXPECT_EQ(open("ttyc21,cu", out), EAGAIN);
  ASSERT_TRUE(kernel_.run_until([&] { return qd_systime == closed_at + 15; }));
  EXPECT_EQ(open("ttyc21,cu", out), 0);
  EXPECT_NE(line_of("ttyc21")->qdl_flags & QDL_DIALOUT_OPEN, 0u);
  // Now the dial-in node is the one refused.
  EXPECT_EQ(open("ttyc21", in), EBUSY);
  EXPECT_EQ(close(out), 0);
}

TEST_F(OpenClose, ModemPortWithoutCarrier) {
  kemu::StreamFile nb, blocking;
  EXPECT_EQ(open("ttyc22", nb), 0) << "a non-blocking open does not wait";
  EXPECT_EQ(close(nb), 0);
  kernel_.advance(5 * hz); // past the guard delay

  int r = -1;
  auto task =
      kernel_.spawn([&] { r = kemu::open_device("ttyc22", FREAD | FWRITE, nullptr, blocking); });
  kernel_.advance(10 * hz);
  EXPECT_FALSE(task->done()) << "a blocking open waits for carrier";
  EXPECT_EQ(line_of("ttyc22")->oc_state, OC_WAIT_CARRIER);
  unit_->peer(2)->set_carrier(true);
  ASSERT_TRUE(task->join());
  EXPECT_EQ(r, 0);
  EXPECT_EQ(close(blocking), 0);
}

TEST_F(OpenClose, SerialOpensAreTerminalsPrintersAreNot) {
  for (auto [minor, want] : {std::pair{0x200u, 1}, std::pair{0x208u, 0}}) {
    ProbeStream s;
    int r = -1;
    run([&] { r = s.open(minor); });
    ASSERT_EQ(r, 0);
    kernel_.settle();
    const auto types = s.types();
    EXPECT_EQ(std::count(types.begin(), types.end(), M_SETOPTS), want) << std::hex << minor;
    for (const ProbeStream::Up& u : s.up) {
      if (u.type == M_SETOPTS) {
        ASSERT_EQ(u.bytes.size(), sizeof(stroptions));
        EXPECT_EQ(reinterpret_cast<const stroptions*>(u.bytes.data())->so_flags, SO_ISTTY);
      }
    }
    run([&] { s.close(); });
  }
  kemu::StreamFile tty, lp;
  ASSERT_EQ(open("ttyc20", tty), 0);
  ASSERT_EQ(open("lpc28", lp), 0);
  kernel_.settle();
  EXPECT_TRUE(tty.is_tty());
  EXPECT_FALSE(lp.is_tty());
  const qd_line* printer = line_of("lpc28");
  EXPECT_EQ(printer->qdl_flags & (QDL_PARALLEL | QDL_LOCAL), QDL_PARALLEL | QDL_LOCAL);
  EXPECT_EQ(printer->cltmr + printer->lcltmr + printer->louttmr + printer->outtmr, 0);
  EXPECT_EQ(close(tty), 0);
  EXPECT_EQ(close(lp), 0);
}

// An ioctl held for want of a reply buffer waits for a buffer callback; the close frees the
// ioctl, and the callback goes with it rather than run on the closed line (or a freed one).
TEST_F(OpenClose, CloseCancelsTheBufferCallback) {
  kemu::StreamFile f;
  ASSERT_EQ(open("ttyc20", f), 0);
  kernel_.settle();
  termios t{};
  kemu::IoResult r;
  kemu::fail_allocb_nth(1);
  auto caller = kernel_.spawn([&] { r = f.ioctl(TCGETS, &t); });
  kernel_.settle();
  ASSERT_NE(line_of("ttyc20")->tty.t_iocpending, nullptr);
  ASSERT_EQ(kemu::streams_pending_bufcalls(), 1u);
  kernel_.post_signal(*caller);
  kernel_.settle(); // the callback is not due before the next tick
  ASSERT_TRUE(caller->done());
  EXPECT_EQ(r.error, EINTR);
  auto closer = kernel_.spawn([&] { EXPECT_EQ(f.close(), 0); });
  kernel_.settle();
  EXPECT_EQ(kemu::streams_pending_bufcalls(), 0u);
  ASSERT_TRUE(closer->join());
}

TEST_F(OpenClose, DiagnosticNodeIsSharedByItsOpens) {
  kemu::StreamFile a, b;
  ASSERT_EQ(open("qmxdiag", a), 0);
  ASSERT_EQ(open("qmxdiag", b), 0);
  ASSERT_NE(qd_diag, nullptr);
  EXPECT_NE(qd_diag->qdl_flags & QDL_DIAG, 0u);
  EXPECT_EQ(qd_diag->unit, &global_unit);
  EXPECT_EQ(global_unit.qdu_target, 255);
  EXPECT_EQ(close(a), 0);
  EXPECT_NE(qd_diag->tty.t_readq, nullptr) << "the stream stays while b holds it";
  EXPECT_EQ(close(b), 0);
  EXPECT_EQ(qd_diag->tty.t_readq, nullptr);
}

} // namespace
} // namespace loaded_test
