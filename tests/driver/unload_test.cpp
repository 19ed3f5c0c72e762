// Detach and unload: refusals, the warning of the first attempt, the forced takedown with
// its hang-ups, units that do not come down, and loading again in the same process.
#include <array>

#include "loaded_driver_fixture.h"

namespace loaded_test {
namespace {

class Unload : public LoadedDriverFixture {
protected:
  // Reads until the stream ends (hang-up), then closes it: a program that lets go of its
  // port when told to. Spawned before the unload, it runs while the unload waits.
  std::unique_ptr<kemu::Kernel::Task> close_on_hangup(kemu::StreamFile& f, bool& hung_up) {
    return kernel_.spawn([&f, &hung_up] {
      f.set_flags(FREAD | FWRITE);
      std::array<std::byte, 64> buf{};
      while (f.read(buf).value > 0) {
      }
      hung_up = (f.poll() & kemu::kPollHup) != 0;
      f.close();
    });
  }

  // Nothing of the driver is left: no module, no node, no kernel memory, no unit.
  void expect_gone() {
    EXPECT_FALSE(loaded());
    EXPECT_TRUE(ddi_->minor_nodes().empty());
    EXPECT_EQ(kernel_.kmem_outstanding_count(), 0u);
    EXPECT_EQ(std::count(std::begin(qd_units), std::end(qd_units), nullptr), QD_NUNITS);
  }
};

TEST_F(Unload, RefusedUnlessTheConfigurationAllowsIt) {
  topo_->add_qmx(0, 2, qdemu::QmxSpec{{.model = "QMX-4S-115A"}}.loopback({1}));
  load("forceload=1;\n");
  EXPECT_EQ(unload(), EBUSY);
  EXPECT_TRUE(loaded());
  EXPECT_EQ(qd_going_down, 0);
  kemu::StreamFile f;
  ASSERT_EQ(open("ttyc21", f), 0) << "the driver still serves its ports";
  EXPECT_EQ(write(f, "ok").value, 2);
  EXPECT_EQ(read(f, 2), "ok");
  EXPECT_EQ(close(f), 0);
}

TEST_F(Unload, FirstAttemptWarnsTheSecondHangsUpAndCompletes) {
  topo_->add_qmx(0, 2, qdemu::QmxSpec{{.model = "QMX-8S-115A"}}.loopback({5}));
  load();
  kemu::StreamFile f;
  ASSERT_EQ(open("ttyc25", f), 0);
  console();

  EXPECT_EQ(unload(), EBUSY);
  EXPECT_EQ(console(), "Warning: line 5 still active at bus 0 target 2\n");
  EXPECT_EQ(qd_going_down, 0) << "nothing changed";
  EXPECT_EQ(write(f, "still").value, 5);
  EXPECT_EQ(read(f, 5), "still");

  bool hung_up = false;
  auto program = close_on_hangup(f, hung_up);
  const clock_t start = kernel_.lbolt();
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  EXPECT_TRUE(program->done());
  EXPECT_TRUE(hung_up);
  EXPECT_GE(kernel_.lbolt() - start, 3 * hz) << "the pause for the hung-up ports";
  EXPECT_EQ(console(), "") << "no second warning";
  expect_gone();
}

TEST_F(Unload, FirstDetachTakesDownEverythingTheOthersOnlyTheirNodes) {
  topo_->add_qmx(0, 2, {{.model = "QMX-4S-115A"}});
  topo_->add_qmx(1, 3, {{.model = "QMX-2S1P-115"}});
  load("forceload=1;\nallow_unload=1;\n");
  ASSERT_EQ(ddi_->nodes_of("qd").size(), 5u);

  EXPECT_EQ(ddi_->detach(child(1, 3)), DDI_SUCCESS);
  EXPECT_EQ(qd_takedown_done, 1);
  EXPECT_EQ(ddi_->find_minor("ttyd30"), std::nullopt);
  EXPECT_TRUE(ddi_->find_minor("qmxdiag").has_value()) << "the pseudo instance's own";
  EXPECT_TRUE(ddi_->find_minor("ttyc20").has_value());

  const clock_t at = kernel_.lbolt();
  EXPECT_EQ(ddi_->detach(child(0, 2)), DDI_SUCCESS);
  EXPECT_EQ(kernel_.lbolt(), at) << "no second takedown";
  EXPECT_EQ(ddi_->find_minor("ttyc20"), std::nullopt);
  EXPECT_EQ(unload(), 0);
  expect_gone();
}

// A unit held up by a program that ignores its hang-up: the takedown gives up after 20
// seconds and releases nothing twice when it is tried again.
TEST_F(Unload, UnitThatDoesNotComeDownIsReleasedOnlyOnce) {
  topo_->add_qmx(0, 2, {{.model = "QMX-4S-115A"}});
  topo_->add_qmx(0, 4, {{.model = "QMX-4S-115A"}});
  load();
  kemu::StreamFile f;
  ASSERT_EQ(open("ttyc21", f), 0);
  EXPECT_EQ(unload(), EBUSY);
  console();
  EXPECT_EQ(unload(), EBUSY);
  EXPECT_EQ(console(), "qd: module didn't come down gracefully, bus=0 target=2\n");
  EXPECT_NE(scsi_unit(0, 2), nullptr);
  EXPECT_EQ(scsi_unit(0, 4), nullptr) << "the other unit came down and was released";
  EXPECT_TRUE(loaded());

  EXPECT_EQ(close(f), 0);
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  EXPECT_EQ(console(), "");
  expect_gone();
}

// While the unload waits for a unit, a new open of a node waits too, and fails once the
// driver has gone: no stream is left on freed records.
TEST_F(Unload, OpensWaitWhileTheDriverDetachesAndFailOnceItHasGone) {
  topo_->add_qmx(0, 2, {{.model = "QMX-4S-115A"}});
  load();
  kemu::StreamFile port;
  ASSERT_EQ(open("ttyc21", port), 0);
  EXPECT_EQ(unload(), EBUSY); // the first attempt only warns
  console();
  auto program = kernel_.spawn([&] {
    delay(10 * hz); // lets go of its port long after the hang-up
    port.close();
  });
  kemu::StreamFile diag;
  int diag_err = -1;
  auto opener = kernel_.spawn([&] {
    delay(5 * hz);
    diag_err = kemu::open_device("qmxdiag", kOpenFlags, nullptr, diag);
  });
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  ASSERT_TRUE(program->join());
  ASSERT_TRUE(opener->join());
  EXPECT_EQ(diag_err, ENXIO);
  EXPECT_FALSE(diag.is_open());
  expect_gone();
}

TEST_F(Unload, OpenLanvaraUnitNodeOrDiagnosticNodeHoldsTheDriver) {
  load("vrn0=\"Lanvara8S-115A,10.0.0.1\";\nallow_unload=1;\n");
  kemu::StreamFile daemon, diag;
  ASSERT_EQ(open("vrnn0", daemon), 0);
  ASSERT_EQ(open("qmxdiag", diag), 0);
  console();
  EXPECT_EQ(unload(), EBUSY);
  EXPECT_EQ(console(), "qd: qmxdiag is still open\n");
  EXPECT_EQ(close(diag), 0);
  EXPECT_EQ(unload(), EBUSY);
  EXPECT_EQ(console(), "qd: module didn't come down gracefully, vrn0\n");
  EXPECT_EQ(close(daemon), 0);
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  expect_gone();
}

// An unload refused because the diagnostic node is open changes nothing: the open port is
// not hung up, new opens work, the timer runs, and the next attempt can succeed.
TEST_F(Unload, RefusalForAnOpenDiagnosticNodeChangesNothing) {
  topo_->add_qmx(0, 2, qdemu::QmxSpec{{.model = "QMX-4S-115A"}}.loopback({1, 2}));
  load();
  kemu::StreamFile port, diag;
  ASSERT_EQ(open("ttyc21", port), 0);
  ASSERT_EQ(open("qmxdiag", diag), 0);
  EXPECT_EQ(unload(), EBUSY); // the first attempt warns
  console();
  const clock_t start = kernel_.lbolt();
  EXPECT_EQ(unload(), EBUSY);
  EXPECT_EQ(console(), "qd: qmxdiag is still open\n");
  EXPECT_EQ(kernel_.lbolt(), start) << "refused before the hang-up pause";
  EXPECT_EQ(qd_going_down, 0);
  EXPECT_EQ(port.poll() & kemu::kPollHup, 0u) << "the open port was not hung up";
  EXPECT_EQ(write(port, "still").value, 5);
  EXPECT_EQ(read(port, 5), "still");
  EXPECT_EQ(close(diag), 0);

  kemu::StreamFile other;
  ASSERT_EQ(open("ttyc22", other), 0);
  EXPECT_EQ(write(other, "ok").value, 2);
  EXPECT_EQ(read(other, 2), "ok");
  EXPECT_EQ(close(other), 0);
  const int clock = qd_systime;
  kernel_.advance(2 * hz);
  EXPECT_EQ(qd_systime, clock + 2) << "the driver timer runs";

  EXPECT_EQ(close(port), 0);
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  expect_gone();
}

// A closed port holds its line for the guard delay with a callout; the unload cancels it
// before the line's record is freed, so nothing fires later.
TEST_F(Unload, PendingCalloutsOfALineAreCancelled) {
  topo_->add_qmx(0, 2, {{.model = "QMX-4S-115A"}});
  load();
  kemu::StreamFile f;
  ASSERT_EQ(open("ttyc20", f), 0);
  qd_line* lp = line_of("ttyc20");
  lp->dtrdel = 600 * hz;
  EXPECT_EQ(close(f), 0);
  ASSERT_NE(lp->edp_tid, nullptr) << "the guard wake-up waits";
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  kernel_.advance(700 * hz);
  expect_gone();
}

// An attach that failed after starting the driver leaves no instance to detach: _fini
// still releases the timer and the memory.
TEST_F(Unload, FiniReleasesADriverWhoseOnlyAttachFailed) {
  topo_->add_qmx(0, 2, {{.model = "QMX-4S-115A"}});
  ddi_->fail_minor_node_nth(1);
  EXPECT_EQ(load("allow_unload=1;\n", false),
            (std::vector<kemu::Attach>{kemu::Attach::kAttachFailed, kemu::Attach::kProbeFailed}));
  EXPECT_EQ(qd_timer_running, 1);
  EXPECT_EQ(unload(), 0) << ddi_->last_error();
  EXPECT_EQ(qd_timer_running, 0);
  expect_gone();
}

TEST_F(Unload, LoadsAndUnloadsManyTimesInOneProcess) {
  auto& unit = topo_->add_qmx(0, 2, qdemu::QmxSpec{{.model = "QMX-4S-115A"}}.loopback({3}));
  for (unsigned round = 1; round <= 3; ++round) {
    load();
    EXPECT_NE(console().find("Orvane QMX-4S-115A V2.3 at bus/target = 0/2\n"), std::string::npos)
        << round;
    EXPECT_EQ(unit.stats().restarts, round);
    EXPECT_EQ(qd_unload_tries, 0);
    kemu::StreamFile f;
    ASSERT_EQ(open("ttyc23", f), 0);
    EXPECT_EQ(write(f, "round").value, 5);
    EXPECT_EQ(read(f, 5), "round");
    EXPECT_EQ(close(f), 0);
    EXPECT_EQ(unload(), 0) << ddi_->last_error();
    expect_gone();
  }
}

} // namespace
} // namespace loaded_test
