// Driver-wide state returns to its load-time values, so that one process can load the
// driver again and again.
#include <algorithm>

#include "driver_fixture.h"

namespace {

using StateTest = DriverFixture;

// What a load leaves behind: units, lines, packets, trace text.
void use_the_driver() {
  qd_unit* up = DriverFixture::make_unit("QMX-16S-115A", 0, 7);
  qd_unit* vrn = DriverFixture::make_unit("Lanvara8S-115A", 0, 2);
  qd_line* lp = DriverFixture::make_line(up, 3);
  const unsigned char cmd[8] = {FAS_ENABLE, 3, 0, 0, 0, 0, 0, 0};
  {
    const HeldLock held(&up->unit_mutex);
    ASSERT_NE(qdm_putfas(up, 8), nullptr);
    qdf_logfasout(lp, cmd);
  }
  {
    const HeldLock held(&vrn->unit_mutex);
    ASSERT_NE(qdm_putfas(vrn, 8), nullptr);
  }
  qd_trace_unit(up, "used\n");
  qd_devs[7] = reinterpret_cast<scsi_device*>(up);
  qd_bus_cnt = 1;
  qd_diag = lp;
  global_unit.qdu_flags = QDU_LOCKED;
  qd_systime += 100;
  qd_err_level = 2;
}

TEST_F(StateTest, EveryLoadStartsFromLoadTimeValues) {
  for (int load = 0; load < 3; ++load) {
    SCOPED_TRACE(load);
    qd_reset_driver_state();
    EXPECT_EQ(qd_systime, 1000);
    EXPECT_EQ(qd_err_level, 1u);
    EXPECT_TRUE(std::all_of(std::begin(qd_units), std::end(qd_units),
                            [](qd_unit* u) { return u == nullptr; }));
    EXPECT_EQ(qd_devs[7], nullptr);
    EXPECT_EQ(qd_bus_cnt, 0);
    EXPECT_EQ(global_unit.qdu_flags, 0u);
    EXPECT_EQ(global_unit.pkt_head, nullptr);
    EXPECT_EQ(global_unit.qdu_target, 255);
    EXPECT_EQ(qd_diag, nullptr);
    EXPECT_EQ(qd_pkts.qd_pkt_free, nullptr);
    EXPECT_EQ(qd_pkts.qd_pkt_cnt, 0);
    EXPECT_EQ(qd_mem_head, nullptr);
    EXPECT_EQ(qd_mem_mutex_made, 0);
    console();
    run([this] {
      use_the_driver();
      EXPECT_EQ(qd_pkts.qd_pkt_cnt, 12);
      qd_freeall();
      EXPECT_EQ(kernel_.kmem_outstanding_count(), 0u);
    });
    // Every load sets the driver-wide ring up afresh.
    if constexpr (qd_trace_on) {
      EXPECT_NE(console().find("qd_trcbuf at"), std::string::npos);
    }
  }
}

} // namespace
