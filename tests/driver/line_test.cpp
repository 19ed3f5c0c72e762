// The line record's creation values and the node kind of a minor number.
#include "driver_fixture.h"

namespace {

using LineTest = DriverFixture;

TEST_F(LineTest, PortRecordCreationValues) {
  kernel_.advance(500);
  run([] {
    qd_systime = 1234;
    qd_unit* up = make_unit("QMX-8S1P-115A", 2, 6);
    qd_line* lp = make_line(up, 8);
    EXPECT_EQ(lp->line_num, 8);
    EXPECT_EQ(lp->unit, up);
    EXPECT_EQ(lp->unit_mutex, &up->unit_mutex);
    EXPECT_EQ(lp->qdl_flags, QDL_OFFLINE);
    EXPECT_EQ(lp->cltmr, 60);
    EXPECT_EQ(lp->lcltmr, 300);
    EXPECT_EQ(lp->louttmr, 0);
    EXPECT_EQ(lp->outtmr, 0);
    EXPECT_EQ(lp->dtrdel, 200);
    EXPECT_EQ(lp->grddel, 20);
    EXPECT_EQ(lp->last_dialin_close, 1234 - 15);
    EXPECT_EQ(lp->last_dtr_drop, ddi_get_lbolt() - 200);
    EXPECT_EQ(lp->err_level, qd_err_level);
    EXPECT_EQ(lp->fas_log_ptr, &lp->fas_log[0][0]);
    EXPECT_EQ(lp->oc_state, OC_CLOSED);
    EXPECT_EQ(lp->output, nullptr);
  });
}

TEST(NodeKind, ByMinorNumber) {
  const std::pair<minor_t, qd_node_kind> cases[] = {
      {0xffff, qd_node_kind::diag},      {0x2ffff, qd_node_kind::diag},
      {0x100ff, qd_node_kind::unitnode}, {0x11aff, qd_node_kind::unitnode},
      {0x1ffff, qd_node_kind::unitnode}, {0x301ff, qd_node_kind::unitnode},
      {0x001ff, qd_node_kind::refused},  {0x000ff, qd_node_kind::refused},
      {0x0f3ff, qd_node_kind::refused},  {0x00100, qd_node_kind::port},
      {0x2010f, qd_node_kind::port},     {0x10000, qd_node_kind::port},
      {0x312fe, qd_node_kind::port},
  };
  for (const auto& [minor, kind] : cases) {
    EXPECT_EQ(qd_minor_kind(minor), kind) << std::hex << minor;
  }
}

} // namespace
